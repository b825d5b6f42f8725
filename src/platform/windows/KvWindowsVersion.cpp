#include "platform/windows/KvWindowsVersion.h"

#include "platform/common/KvVersionResource.h"
#include "platform/windows/win32/KvWin32Version.h"

KvPlatformVersion *KvPlatformVersion::native()
{
    static KvWindowsVersion version;
    return &version;
}

KvFileInfo KvWindowsVersion::fileInfo(const QString &path)
{
    KvFileInfo info(path);
    const std::wstring name = path.toStdWString();
    const DWORD size = KvWin32Version::size(name);
    std::vector<unsigned char> block;
    if (size == 0 || !KvWin32Version::read(name, size, block))
        return info;
    KvVersionResource::describe(
        [&block](const QString &subBlock, QByteArray &value) {
            // VerQueryValueW may rewrite parts of the block it is given, so
            // it works on a copy of its own.
            const std::vector<unsigned char> bytes(block);
            std::vector<unsigned char> found;
            if (!KvWin32Version::query(bytes, subBlock.toStdWString(), found))
                return false;
            value = QByteArray(reinterpret_cast<const char *>(found.data()), int(found.size()));
            return true;
        },
        info);
    return info;
}
