#include "platform/windows/KvWindowsSuspension.h"

#include "platform/windows/KvThreadSweep.h"
#include "platform/windows/KvWindowsError.h"
#include "platform/windows/win32/KvWin32Process.h"
#include "platform/windows/win32/KvWin32Threads.h"
#include "platform/windows/win32/KvWin32Toolhelp.h"
#include "support/KvLog.h"

KvPlatformSuspension *KvPlatformSuspension::native()
{
    static KvWindowsSuspension backend;
    return &backend;
}

KvStatus KvWindowsSuspension::suspend(quint32 processId)
{
    return eachThread(processId, "suspend", [](HANDLE thread) { KvWin32Threads::suspend(thread); });
}

KvStatus KvWindowsSuspension::resume(quint32 processId)
{
    return eachThread(processId, "resume", [](HANDLE thread) { KvWin32Threads::resume(thread); });
}

KvResult<KvPlatformSuspension::LeftoverResume>
KvWindowsSuspension::resumeLeftover(quint32 processId, quint64 startTime, int count)
{
    const KvWin32Handle process =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SUSPEND_RESUME, processId);
    unsigned long long created = 0;
    // Not there, or another process has the id by now.
    if (!process || !KvWin32Process::creationTime(process.get(), created) || created != startTime ||
        KvWin32Process::hasExited(process.get()))
        return LeftoverResume::Ended;
    // The earlier run's counts are gone with it: each of its suspensions is
    // undone once per thread. Those of anyone else stay counted.
    bool stillSuspended = false;
    const KvStatus resumed = eachThread(processId, nullptr, [&](HANDLE thread) {
        DWORD previous = 0;
        for (int i = 0; i < count; ++i)
            previous = KvWin32Threads::resume(thread);
        stillSuspended = stillSuspended || (previous != DWORD(-1) && previous > 1);
    });
    if (!resumed)
        return resumed.error();
    return stillSuspended ? LeftoverResume::StillSuspended : LeftoverResume::Resumed;
}

KvStatus KvWindowsSuspension::eachThread(quint32 processId, const char *purpose,
                                         const std::function<void(HANDLE)> &act)
{
    std::vector<DWORD> threads;
    if (!KvWin32Toolhelp::threadsOf(processId, threads))
        return KvWindowsError::last();
    KvError error{int(ERROR_INVALID_PARAMETER), QStringLiteral("the process has no threads")};
    const bool reached = KvThreadSweep::run(
        threads, &KvWin32Threads::open, [&act](const KvWin32Handle &thread) { act(thread.get()); },
        [&](DWORD threadId) {
            error = KvWindowsError::last();
            if (purpose) {
                kvCriticalWithCode(lcGovernor, error.code)
                    << "failed to open thread #" << threadId << " to " << purpose;
            }
        });
    if (!reached)
        return error;
    return {};
}
