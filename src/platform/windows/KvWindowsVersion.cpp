#include "platform/windows/KvWindowsVersion.h"

#include "platform/windows/win32/KvWin32Version.h"

KvPlatformVersion *KvPlatformVersion::native()
{
    static KvWindowsVersion version;
    return &version;
}

DWORD KvWindowsVersion::getFileVersionInfoSize(const QString &path)
{
    return KvWin32Version::size(path.toStdWString());
}

bool KvWindowsVersion::getFileVersionInfo(const QString &path, DWORD size, QByteArray &block)
{
    std::vector<unsigned char> bytes;
    if (!KvWin32Version::read(path.toStdWString(), size, bytes))
        return false;
    block = QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
    return true;
}

bool KvWindowsVersion::verQueryValue(const QByteArray &block, const QString &subBlock,
                                     QByteArray &value)
{
    // VerQueryValueW may rewrite parts of the block it is given, so it works
    // on a copy of its own.
    const std::vector<unsigned char> bytes(block.cbegin(), block.cend());
    std::vector<unsigned char> found;
    if (!KvWin32Version::query(bytes, subBlock.toStdWString(), found))
        return false;
    value = QByteArray(reinterpret_cast<const char *>(found.data()), int(found.size()));
    return true;
}
