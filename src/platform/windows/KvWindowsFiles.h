#pragma once

#include "platform/KvPlatformFiles.h"

class KvWindowsFiles : public KvPlatformFiles
{
public:
    KvStatus replace(const QString &from, const QString &to) override;
};
