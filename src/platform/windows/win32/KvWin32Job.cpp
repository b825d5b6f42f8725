#include "KvWin32Job.h"

#include <cstring>

namespace {

// The extended limits are 112 bytes in a 32-bit process and 144 in a 64-bit
// one; the kernel rejects any other length, so the real structure is passed.
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == (sizeof(void *) == 8 ? 144 : 112),
              "unexpected JOBOBJECT_EXTENDED_LIMIT_INFORMATION layout");

struct CpuRateControlInformation
{
    DWORD controlFlags;
    DWORD cpuRate;
};
static_assert(sizeof(CpuRateControlInformation) == 8, "CPU rate control information is 8 bytes");

const JOBOBJECTINFOCLASS BasicProcessIdListClass = static_cast<JOBOBJECTINFOCLASS>(3);
const JOBOBJECTINFOCLASS ExtendedLimitInformationClass = static_cast<JOBOBJECTINFOCLASS>(9);
const JOBOBJECTINFOCLASS CpuRateControlInformationClass = static_cast<JOBOBJECTINFOCLASS>(15);

} // namespace

KvWin32Handle KvWin32Job::create()
{
    return KvWin32Handle(CreateJobObjectW(nullptr, nullptr));
}

bool KvWin32Job::setExtendedLimitFlags(HANDLE job, DWORD limitFlags)
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION information;
    std::memset(&information, 0, sizeof information);
    information.BasicLimitInformation.LimitFlags = limitFlags;
    return SetInformationJobObject(job, ExtendedLimitInformationClass, &information,
                                   sizeof information) != FALSE;
}

bool KvWin32Job::setCpuRateControl(HANDLE job, DWORD controlFlags, DWORD cpuRate)
{
    CpuRateControlInformation information = {controlFlags, cpuRate};
    return SetInformationJobObject(job, CpuRateControlInformationClass, &information,
                                   sizeof information) != FALSE;
}

bool KvWin32Job::assignProcess(HANDLE job, HANDLE process)
{
    return AssignProcessToJobObject(job, process) != FALSE;
}

bool KvWin32Job::isProcessInJob(HANDLE process, HANDLE job, bool &result)
{
    BOOL inJob = FALSE;
    if (!IsProcessInJob(process, job, &inJob))
        return false;
    result = inJob != FALSE;
    return true;
}

bool KvWin32Job::processIds(HANDLE job, std::vector<DWORD> &ids)
{
    // The list holds as many ids as its buffer has room for; a job that has
    // more is asked again with room for them all.
    std::vector<ULONG_PTR> buffer(64);
    for (;;) {
        const auto list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(buffer.data());
        if (!QueryInformationJobObject(job, BasicProcessIdListClass, list,
                                       DWORD(buffer.size() * sizeof(ULONG_PTR)), nullptr) &&
            GetLastError() != ERROR_MORE_DATA)
            return false;
        if (list->NumberOfProcessIdsInList >= list->NumberOfAssignedProcesses) {
            ids.assign(list->ProcessIdList, list->ProcessIdList + list->NumberOfProcessIdsInList);
            return true;
        }
        buffer.resize(list->NumberOfAssignedProcesses + 16);
    }
}
