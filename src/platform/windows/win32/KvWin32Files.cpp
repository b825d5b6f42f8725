#include "platform/windows/win32/KvWin32Files.h"

KvWin32Handle KvWin32Files::openForAppending(const std::wstring &path)
{
    return KvWin32Handle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}
