#pragma once

#include "platform/KvPlatformVersion.h"

// Version resources on Linux: read from PE files and from our own ELF
// executables by our own parser.
class KvLinuxVersion : public KvPlatformVersion
{
public:
    KvFileInfo fileInfo(const QString &path) override;

private:
    QByteArray readBlock(const QString &path);
};
