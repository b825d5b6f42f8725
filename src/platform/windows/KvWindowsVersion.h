#pragma once

#include "platform/KvPlatformVersion.h"

// Version resources through version.dll.
class KvWindowsVersion : public KvPlatformVersion
{
public:
    DWORD getFileVersionInfoSize(const QString &path) override;
    bool getFileVersionInfo(const QString &path, DWORD size, QByteArray &block) override;
    bool verQueryValue(const QByteArray &block, const QString &subBlock,
                       QByteArray &value) override;
};
