#pragma once

#include "support/KvFileInfo.h"
#include "support/KvInstallable.h"

// Version resources. The block is Windows' VS_VERSIONINFO format on every
// platform: Windows reads it from the file's resources (version.dll); Linux
// finds it in a PE file's resource section or in the section that our own
// ELF executables carry, and parses it itself.
class KvPlatformVersion : public KvInstallable<KvPlatformVersion>
{
public:
    virtual ~KvPlatformVersion() = default;

    static KvPlatformVersion *native();

    // The file at path, with the company name, product name and version of
    // its version resource; what cannot be read stays empty. A bare name is
    // looked up the way the platform looks up programs.
    virtual KvFileInfo fileInfo(const QString &path) = 0;

protected:
    KvPlatformVersion() = default;
};
