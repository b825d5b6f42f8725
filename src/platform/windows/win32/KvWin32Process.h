#pragma once

// One process, reached by its id, in plain C++ (see KvWin32Job.h).

#include "KvWin32Handle.h"

#include <string>

class KvWin32Process
{
public:
    // OpenProcess(access, FALSE, processId): empty on failure.
    static KvWin32Handle open(DWORD access, DWORD processId);
    // QueryFullProcessImageNameW(process, 0, buffer of 2048 characters).
    static bool imagePath(HANDLE process, std::wstring &path);
    // GetProcessTimes(process, ...): the creation FILETIME as one number.
    // With the id it tells the process from a later one given the same id.
    static bool creationTime(HANDLE process, unsigned long long &time);
    // GetProcessTimes, once: the creation time as above, and the kernel and
    // user time together in 100 ns units.
    static bool times(HANDLE process, unsigned long long &created, unsigned long long &used);
};
