#pragma once

// One process, reached by its id, in plain C++ (see KvWin32Job.h).

#include "KvWin32Handle.h"

#include <string>
#include <vector>

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
    // GetExitCodeProcess(process, ...) != STILL_ACTIVE: the process has
    // ended, though a handle still holds it and its times can be read.
    static bool hasExited(HANDLE process);
    // CreateProcessW(program, "\"program\" arguments", ...): the new process,
    // empty on failure. It inherits exactly the handles in inherited
    // (PROC_THREAD_ATTRIBUTE_HANDLE_LIST; each one must be inheritable) and
    // has input, one of them, as its standard input when given. No busy
    // cursor waits for a window of it (STARTF_FORCEOFFFEEDBACK).
    static KvWin32Handle start(const std::wstring &program, const std::wstring &arguments,
                               std::vector<HANDLE> inherited, HANDLE input, DWORD &processId);
};
