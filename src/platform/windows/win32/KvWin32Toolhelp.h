#pragma once

// Tool-help snapshots in plain C++ (see KvWin32Job.h). Each call takes a
// snapshot and reads it whole; false, with the thread's last error, when no
// snapshot could be taken.

#include <windows.h>

#include <string>
#include <vector>

class KvWin32Toolhelp
{
public:
    struct ProcessEntry
    {
        DWORD processId = 0;
        DWORD parentProcessId = 0;
        // The bare file name, as PROCESSENTRY32W's szExeFile.
        std::wstring exeFile;
    };

    // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), Process32FirstW and
    // Process32NextW.
    static bool processes(std::vector<ProcessEntry> &entries);
    // CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0), Thread32First and
    // Thread32Next: the threads of one process. The snapshot holds every
    // thread of the machine.
    static bool threadsOf(DWORD processId, std::vector<DWORD> &threadIds);
};
