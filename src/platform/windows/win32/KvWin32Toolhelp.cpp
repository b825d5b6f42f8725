#include "KvWin32Toolhelp.h"

#include <tlhelp32.h>

#include <cstring>

// 556 bytes in a 32-bit process, 568 in a 64-bit one: dwSize must be the size
// of the caller's own structure or the first read fails.
static_assert(sizeof(PROCESSENTRY32W) == (sizeof(void *) == 8 ? 568 : 556),
              "unexpected PROCESSENTRY32W layout");
static_assert(sizeof(THREADENTRY32) == 28, "THREADENTRY32 is 28 bytes");

namespace {

template<class Read>
bool readProcess(HANDLE snapshot, KvWin32Toolhelp::ProcessEntry &entry, Read read)
{
    PROCESSENTRY32W raw;
    std::memset(&raw, 0, sizeof raw);
    raw.dwSize = sizeof raw;
    if (!read(snapshot, &raw))
        return false;
    entry.processId = raw.th32ProcessID;
    entry.parentProcessId = raw.th32ParentProcessID;
    entry.exeFile = raw.szExeFile;
    return true;
}

template<class Read>
bool readThread(HANDLE snapshot, KvWin32Toolhelp::ThreadEntry &entry, Read read)
{
    THREADENTRY32 raw;
    std::memset(&raw, 0, sizeof raw);
    raw.dwSize = sizeof raw;
    if (!read(snapshot, &raw))
        return false;
    entry.threadId = raw.th32ThreadID;
    entry.ownerProcessId = raw.th32OwnerProcessID;
    entry.basePriority = raw.tpBasePri;
    return true;
}

} // namespace

HANDLE KvWin32Toolhelp::createSnapshot(DWORD flags)
{
    return CreateToolhelp32Snapshot(flags, 0);
}

bool KvWin32Toolhelp::processFirst(HANDLE snapshot, ProcessEntry &entry)
{
    return readProcess(snapshot, entry, Process32FirstW);
}

bool KvWin32Toolhelp::processNext(HANDLE snapshot, ProcessEntry &entry)
{
    return readProcess(snapshot, entry, Process32NextW);
}

bool KvWin32Toolhelp::threadFirst(HANDLE snapshot, ThreadEntry &entry)
{
    return readThread(snapshot, entry, Thread32First);
}

bool KvWin32Toolhelp::threadNext(HANDLE snapshot, ThreadEntry &entry)
{
    return readThread(snapshot, entry, Thread32Next);
}

HANDLE KvWin32Toolhelp::openProcess(DWORD access, DWORD processId)
{
    return OpenProcess(access, FALSE, processId);
}

bool KvWin32Toolhelp::fullImageName(HANDLE process, std::wstring &path)
{
    wchar_t buffer[2048];
    DWORD size = 2048;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size))
        return false;
    path.assign(buffer, size);
    return true;
}
