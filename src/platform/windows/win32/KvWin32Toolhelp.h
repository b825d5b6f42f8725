#pragma once

// Tool-help snapshots and process images in plain C++ (see KvWin32Job.h).

#include <windows.h>

#include <string>

class KvWin32Toolhelp
{
public:
    struct ProcessEntry
    {
        DWORD processId = 0;
        DWORD parentProcessId = 0;
        std::wstring exeFile;
    };

    struct ThreadEntry
    {
        DWORD threadId = 0;
        DWORD ownerProcessId = 0;
        LONG basePriority = 0;
    };

    // CreateToolhelp32Snapshot(flags, 0): INVALID_HANDLE_VALUE on failure.
    static HANDLE createSnapshot(DWORD flags);

    // Process32FirstW / Process32NextW with a PROCESSENTRY32W (556 bytes in a
    // 32-bit build),
    // cleared before the read.
    static bool processFirst(HANDLE snapshot, ProcessEntry &entry);
    static bool processNext(HANDLE snapshot, ProcessEntry &entry);

    // Thread32First / Thread32Next with a THREADENTRY32 of 28 bytes.
    static bool threadFirst(HANDLE snapshot, ThreadEntry &entry);
    static bool threadNext(HANDLE snapshot, ThreadEntry &entry);

    // OpenProcess(access, FALSE, processId): NULL on failure.
    static HANDLE openProcess(DWORD access, DWORD processId);

    // QueryFullProcessImageNameW(process, 0, buffer of 2048 characters).
    static bool fullImageName(HANDLE process, std::wstring &path);
};
