#include "platform/windows/KvWindowsJobs.h"

#include "platform/windows/win32/KvWin32Job.h"
#include "platform/windows/win32/KvWin32Threads.h"
#include "platform/windows/win32/KvWin32Toolhelp.h"

KvPlatformJobs *KvPlatformJobs::native()
{
    static KvWindowsJobs jobs;
    return &jobs;
}

HANDLE KvWindowsJobs::createJobObject()
{
    return KvWin32Job::create();
}

bool KvWindowsJobs::setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info)
{
    return KvWin32Job::setExtendedLimitFlags(job, info.limitFlags);
}

bool KvWindowsJobs::setInformationJobObject(HANDLE job, const KvJobCpuRateControlInformation &info)
{
    return KvWin32Job::setCpuRateControl(job, info.controlFlags, info.cpuRate);
}

bool KvWindowsJobs::assignProcessToJobObject(HANDLE job, HANDLE process)
{
    return KvWin32Job::assignProcess(job, process);
}

bool KvWindowsJobs::isProcessInJob(HANDLE process, HANDLE job, bool &result)
{
    return KvWin32Job::isProcessInJob(process, job, result);
}

HANDLE KvWindowsJobs::openThread(DWORD access, DWORD threadId)
{
    return access == ThreadSuspendResume ? KvWin32Threads::open(threadId)
                                         : OpenThread(access, FALSE, threadId);
}

DWORD KvWindowsJobs::suspendThread(HANDLE thread)
{
    return KvWin32Threads::suspend(thread);
}

DWORD KvWindowsJobs::resumeThread(HANDLE thread)
{
    return KvWin32Threads::resume(thread);
}

bool KvWindowsJobs::getProcessCreationTime(HANDLE process, quint64 &creationTime)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return false;
    creationTime = (quint64(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    return true;
}

bool KvWindowsJobs::cpuCapsAvailable(QString &reason)
{
    Q_UNUSED(reason)
    return true;
}

int KvWindowsJobs::removeLeftoverJobs(QList<LeftoverJob> *)
{
    // Jobs are unnamed and go with the last handle and the last member; a
    // later run cannot reach them.
    return -1;
}

KvPlatformJobs::LeftoverResume KvWindowsJobs::resumeLeftoverSuspension(HANDLE process,
                                                                       DWORD suspensions)
{
    const DWORD processId = GetProcessId(process);
    if (processId == 0)
        return LeftoverResumeFailed;
    HANDLE snapshot = KvWin32Toolhelp::createSnapshot(4 /* TH32CS_SNAPTHREAD */);
    if (snapshot == INVALID_HANDLE_VALUE)
        return LeftoverResumeFailed;
    bool resumedAny = false;
    // Suspensions of anyone else stay counted on the threads.
    bool stillSuspended = false;
    KvWin32Toolhelp::ThreadEntry entry;
    for (bool more = KvWin32Toolhelp::threadFirst(snapshot, entry); more;
         more = KvWin32Toolhelp::threadNext(snapshot, entry)) {
        if (entry.ownerProcessId != processId)
            continue;
        HANDLE thread = KvWin32Threads::open(entry.threadId);
        if (!thread)
            continue;
        DWORD previous = 0;
        for (DWORD i = 0; i < suspensions; ++i)
            previous = KvWin32Threads::resume(thread);
        stillSuspended = stillSuspended || (previous != DWORD(-1) && previous > 1);
        CloseHandle(thread);
        resumedAny = true;
    }
    CloseHandle(snapshot);
    if (!resumedAny)
        return LeftoverResumeFailed;
    return stillSuspended ? LeftoverStillSuspended : LeftoverResumed;
}
