#pragma once

#include "platform/KvInstallable.h"
#include "platform/KvPlatformTypes.h"

#include <QByteArray>
#include <QString>

// Version resources (version.dll). The block is Windows' VS_VERSIONINFO
// format on every platform: Windows reads it from the file's resources; the
// other backends find it in a PE file's resource section or in the section
// that our own ELF executables carry, and parse it themselves.
class KvPlatformVersion : public KvInstallable<KvPlatformVersion>
{
public:
    virtual ~KvPlatformVersion() = default;

    static KvPlatformVersion *native();

    // GetFileVersionInfoSizeW(path, NULL): the size of the version block, or
    // 0 when the file has none or cannot be found. A bare name is looked up
    // the way the platform looks up programs.
    virtual DWORD getFileVersionInfoSize(const QString &path) = 0;

    // GetFileVersionInfoW(path, 0, size, block): the version block, at most
    // size bytes, or false.
    virtual bool getFileVersionInfo(const QString &path, DWORD size, QByteArray &block) = 0;

    // VerQueryValueW(block, subBlock, ...): the bytes of the value that
    // subBlock names ("\\", "\\VarFileInfo\\Translation",
    // "\\StringFileInfo\\040904b0\\CompanyName"), or false. String values
    // come as UTF-16 including their terminating zero where the block has one.
    virtual bool verQueryValue(const QByteArray &block, const QString &subBlock,
                               QByteArray &value) = 0;

protected:
    KvPlatformVersion() = default;
};
