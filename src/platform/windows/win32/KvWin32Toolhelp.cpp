#include "KvWin32Toolhelp.h"

#include "KvWin32Handle.h"

#include <tlhelp32.h>

// 556 bytes in a 32-bit process, 568 in a 64-bit one: dwSize must be the size
// of the caller's own structure or the first read fails.
static_assert(sizeof(PROCESSENTRY32W) == (sizeof(void *) == 8 ? 568 : 556),
              "unexpected PROCESSENTRY32W layout");
static_assert(sizeof(THREADENTRY32) == 28, "THREADENTRY32 is 28 bytes");

namespace {

// Walks a snapshot of flags, handing each entry to take.
template<class Entry, class First, class Next, class Take>
bool walk(DWORD flags, First first, Next next, Take take)
{
    const KvWin32Handle snapshot(CreateToolhelp32Snapshot(flags, 0));
    if (!snapshot)
        return false;
    Entry entry{};
    entry.dwSize = sizeof entry;
    for (bool more = first(snapshot.get(), &entry) != FALSE; more;
         more = next(snapshot.get(), &entry) != FALSE)
        take(entry);
    return true;
}

} // namespace

bool KvWin32Toolhelp::processes(std::vector<ProcessEntry> &entries)
{
    entries.clear();
    return walk<PROCESSENTRY32W>(
        TH32CS_SNAPPROCESS, Process32FirstW, Process32NextW,
        [&entries](const PROCESSENTRY32W &entry) {
            entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
        });
}

bool KvWin32Toolhelp::threadsOf(DWORD processId, std::vector<DWORD> &threadIds)
{
    threadIds.clear();
    return walk<THREADENTRY32>(TH32CS_SNAPTHREAD, Thread32First, Thread32Next,
                               [&](const THREADENTRY32 &entry) {
                                   if (entry.th32OwnerProcessID == processId)
                                       threadIds.push_back(entry.th32ThreadID);
                               });
}
