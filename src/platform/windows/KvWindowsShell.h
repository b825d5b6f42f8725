#pragma once

#include "platform/KvPlatformShell.h"

class KvWindowsShell : public KvPlatformShell
{
public:
    QString executableNameFilter() const override;
};
