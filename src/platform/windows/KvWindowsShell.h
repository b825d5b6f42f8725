#pragma once

#include "platform/KvPlatformShell.h"

class KvWindowsShell : public KvPlatformShell
{
public:
    QString executableNameFilter() const override;
    QString essentialRole(quint32 processId, const QString &executable) const override;
};
