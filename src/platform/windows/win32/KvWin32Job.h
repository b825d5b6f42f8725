#pragma once

// Job objects, in plain C++ so that they can be cross-compiled and exercised
// without Qt. Each function is one kernel32 call with the structure the
// governor relies on.

#include "KvWin32Handle.h"

#include <vector>

class KvWin32Job
{
public:
    // CreateJobObjectW(NULL, NULL): empty on failure.
    static KvWin32Handle create();

    // SetInformationJobObject(job, JobObjectExtendedLimitInformation = 9,
    // ...): a JOBOBJECT_EXTENDED_LIMIT_INFORMATION, all zero but
    // BasicLimitInformation.LimitFlags.
    static bool setExtendedLimitFlags(HANDLE job, DWORD limitFlags);

    // SetInformationJobObject(job, JobObjectCpuRateControlInformation = 15,
    // ...): a JOBOBJECT_CPU_RATE_CONTROL_INFORMATION of 8 bytes.
    static bool setCpuRateControl(HANDLE job, DWORD controlFlags, DWORD cpuRate);

    // AssignProcessToJobObject(job, process).
    static bool assignProcess(HANDLE job, HANDLE process);

    // IsProcessInJob(process, job, &result).
    static bool isProcessInJob(HANDLE process, HANDLE job, bool &result);

    // QueryInformationJobObject(job, JobObjectBasicProcessIdList = 3, ...):
    // the ids of the processes in the job now.
    static bool processIds(HANDLE job, std::vector<DWORD> &ids);
};
