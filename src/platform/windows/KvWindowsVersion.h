#pragma once

#include "platform/KvPlatformVersion.h"

// Version resources through version.dll.
class KvWindowsVersion : public KvPlatformVersion
{
public:
    KvFileInfo fileInfo(const QString &path) override;
};
