#include "platform/windows/KvWindowsFiles.h"

#include "platform/windows/KvWindowsError.h"

KvPlatformFiles *KvPlatformFiles::native()
{
    static KvWindowsFiles backend;
    return &backend;
}

KvStatus KvWindowsFiles::replace(const QString &from, const QString &to)
{
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                     reinterpret_cast<const wchar_t *>(to.utf16()), MOVEFILE_REPLACE_EXISTING))
        return KvWindowsError::last();
    return {};
}
