#include "platform/linux/KvThreadSuspendCounts.h"

#include "platform/linux/KvLinuxProcessIdentity.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

KvThreadSuspendCounts::~KvThreadSuspendCounts()
{
    releaseAll();
}

DWORD KvThreadSuspendCounts::suspend(DWORD processId, quint64 stamp, int pidfd, DWORD threadId)
{
    forgetEnded();
    const ProcessKey key(processId, stamp);
    auto found = processes.find(key);
    const DWORD previous = found == processes.end() ? 0 : found->counts.value(threadId);
    if (previous >= maximumCount) {
        errno = EOVERFLOW;
        return DWORD(-1);
    }
    if (found == processes.end()) {
        Process process;
        process.pidfd = ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
        if (process.pidfd < 0)
            return DWORD(-1);
        // Noted before the stop, under the lock: a copy that lets go of the
        // process meanwhile sees this hold and leaves it stopped.
        KvLinuxHoldRecords::Guard guard(records);
        records.setStopped(key, true);
        if (!KvLinuxProcessIdentity::sendSignal(pidfd, SIGSTOP)) {
            const int saved = errno;
            records.setStopped(key, false);
            ::close(process.pidfd);
            errno = saved;
            return DWORD(-1);
        }
        found = processes.insert(key, process);
    } else if (!KvLinuxProcessIdentity::sendSignal(pidfd, SIGSTOP)) {
        // Stopped already, unless something else continued it meanwhile:
        // stopping again costs nothing and keeps the count's promise.
        return DWORD(-1);
    }
    found->counts[threadId] = previous + 1;
    return previous;
}

DWORD KvThreadSuspendCounts::resume(DWORD processId, quint64 stamp, DWORD threadId)
{
    const ProcessKey key(processId, stamp);
    auto found = processes.find(key);
    if (found == processes.end())
        return 0;
    auto thread = found->counts.find(threadId);
    if (thread == found->counts.end())
        return 0;
    const DWORD previous = *thread;
    if (previous > 1) {
        *thread = previous - 1;
        return previous;
    }
    found->counts.erase(thread);
    // Threads that ended while counted would keep the process stopped for
    // good; a revert lists only the threads that exist. One live thread still
    // counted keeps it stopped anyway, so the search ends there: resuming
    // every thread of a large process in turn stays linear.
    for (auto it = found->counts.begin(); it != found->counts.end();) {
        const QByteArray task =
            "/proc/" + QByteArray::number(processId) + "/task/" + QByteArray::number(it.key());
        if (::access(task.constData(), F_OK) == 0)
            break;
        it = found->counts.erase(it);
    }
    if (found->counts.isEmpty()) {
        KvLinuxHoldRecords::Guard guard(records);
        release(key, found->pidfd);
        processes.erase(found);
    }
    return previous;
}

void KvThreadSuspendCounts::release(const ProcessKey &key, int pidfd)
{
    records.setStopped(key, false);
    // Continued unless another copy holds it stopped still (and a process
    // that has ended meanwhile takes no harm from the signal).
    if (!records.stoppedByOthers(key))
        KvLinuxProcessIdentity::sendSignal(pidfd, SIGCONT);
    if (pidfd >= 0)
        ::close(pidfd);
}

bool KvThreadSuspendCounts::holds(DWORD processId, quint64 stamp) const
{
    return processes.contains(ProcessKey(processId, stamp));
}

void KvThreadSuspendCounts::releaseAll()
{
    if (processes.isEmpty())
        return;
    KvLinuxHoldRecords::Guard guard(records);
    for (auto it = processes.constBegin(); it != processes.constEnd(); ++it)
        release(it.key(), it->pidfd);
    processes.clear();
}

void KvThreadSuspendCounts::forgetEnded()
{
    for (auto it = processes.begin(); it != processes.end();) {
        // A pidfd is readable once its process has exited, zombie or not.
        pollfd item{it->pidfd, POLLIN, 0};
        if (::poll(&item, 1, 0) <= 0) {
            ++it;
            continue;
        }
        records.setStopped(it.key(), false);
        ::close(it->pidfd);
        it = processes.erase(it);
    }
}
