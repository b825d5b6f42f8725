#include "KvWin32Process.h"

KvWin32Handle KvWin32Process::open(DWORD access, DWORD processId)
{
    return KvWin32Handle(OpenProcess(access, FALSE, processId));
}

bool KvWin32Process::imagePath(HANDLE process, std::wstring &path)
{
    wchar_t buffer[2048];
    DWORD size = 2048;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size))
        return false;
    path.assign(buffer, size);
    return true;
}

bool KvWin32Process::creationTime(HANDLE process, unsigned long long &time)
{
    unsigned long long used = 0;
    return times(process, time, used);
}

bool KvWin32Process::times(HANDLE process, unsigned long long &created, unsigned long long &used)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return false;
    const auto value = [](const FILETIME &t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    created = value(creation);
    used = value(kernel) + value(user);
    return true;
}
