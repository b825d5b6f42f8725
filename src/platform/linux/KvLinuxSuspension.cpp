#include "platform/linux/KvLinuxSuspension.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "support/KvLog.h"

#include <cerrno>
#include <csignal>

KvPlatformSuspension *KvPlatformSuspension::native()
{
    static KvLinuxSuspension suspension;
    return &suspension;
}

KvLinuxSuspension::KvLinuxSuspension()
    : records(KvLinuxHoldRecords::shared())
{}

KvLinuxSuspension::~KvLinuxSuspension()
{
    // Nothing stopped here may outlive the program.
    if (held.empty())
        return;
    KvLinuxHoldRecords::Guard guard(records);
    for (const auto &process : held)
        release(process.first, process.second);
}

void KvLinuxSuspension::reportUnreached(quint32 processId, const char *purpose, int error)
{
    const std::vector<quint32> threads = KvLinuxProcFs::threadIds(processId);
    for (const quint32 threadId : threads) {
        kvCriticalWithCode(lcGovernor, error)
            << "failed to open thread #" << threadId << " to " << purpose;
    }
    // Gone already, with no thread left to name: the process is named.
    if (threads.empty())
        kvCriticalWithCode(lcGovernor, error)
            << "failed to open process #" << processId << " to " << purpose;
}

KvStatus KvLinuxSuspension::suspend(quint32 processId)
{
    KvUniqueFd pidfd(KvLinuxProcessIdentity::openPidfd(processId));
    quint64 stamp = 0;
    // The stamp is read once the pidfd holds the process: a later process
    // with the id cannot slip in between; signal 0 asks for permission.
    if (!pidfd.isValid() || !KvLinuxProcessIdentity::creationStamp(processId, stamp) ||
        !KvLinuxProcessIdentity::sendSignal(pidfd.get(), 0)) {
        const KvError error = KvError::fromErrno(errno);
        reportUnreached(processId, "suspend", error.code);
        return error;
    }
    const Key key(processId, stamp);
    auto found = held.find(key);
    if (found == held.end()) {
        // Noted before the stop, under the lock: a copy that lets go of the
        // process meanwhile sees this hold and leaves it stopped.
        KvLinuxHoldRecords::Guard guard(records);
        records.setStopped(key, true);
        if (!KvLinuxProcessIdentity::sendSignal(pidfd.get(), SIGSTOP)) {
            const KvError error = KvError::fromErrno(errno);
            records.setStopped(key, false);
            reportUnreached(processId, "suspend", error.code);
            return error;
        }
        found = held.emplace(key, Held{std::move(pidfd), 0}).first;
    } else {
        // Stopped already, unless something else continued it meanwhile:
        // stopping again costs nothing and keeps the count's promise.
        KvLinuxProcessIdentity::sendSignal(found->second.pidfd.get(), SIGSTOP);
    }
    ++found->second.count;
    return {};
}

KvStatus KvLinuxSuspension::resume(quint32 processId)
{
    quint64 stamp = 0;
    if (!KvLinuxProcessIdentity::creationStamp(processId, stamp))
        return KvError::fromErrno(errno);
    auto found = held.find(Key(processId, stamp));
    if (found == held.end() || --found->second.count > 0)
        return {};
    KvLinuxHoldRecords::Guard guard(records);
    release(found->first, found->second);
    held.erase(found);
    return {};
}

QList<KvStatus> KvLinuxSuspension::suspendAll(const QList<quint32> &processIds)
{
    // One lock, and one write of the records, for all of them.
    KvLinuxHoldRecords::Guard guard(records);
    return KvPlatformSuspension::suspendAll(processIds);
}

void KvLinuxSuspension::resumeAll(const QList<quint32> &processIds)
{
    KvLinuxHoldRecords::Guard guard(records);
    KvPlatformSuspension::resumeAll(processIds);
}

void KvLinuxSuspension::release(const Key &key, const Held &process)
{
    records.setStopped(key, false);
    // Continued unless another copy holds it stopped still (and a process
    // that has ended meanwhile takes no harm from the signal).
    if (!records.stoppedByOthers(key))
        KvLinuxProcessIdentity::sendSignal(process.pidfd.get(), SIGCONT);
}

KvResult<KvPlatformSuspension::LeftoverResume>
KvLinuxSuspension::resumeLeftover(quint32 processId, quint64 startTime, int count)
{
    if (count <= 0)
        return LeftoverResume::Resumed;
    const KvUniqueFd pidfd(KvLinuxProcessIdentity::openPidfd(processId));
    quint64 stamp = 0;
    if (!pidfd.isValid() || !KvLinuxProcessIdentity::creationStamp(processId, stamp) ||
        stamp != startTime)
        return LeftoverResume::Ended;
    KvLinuxHoldRecords::Guard guard(records);
    const Key key(processId, stamp);
    if (held.count(key) != 0 || records.stoppedByOthers(key))
        return LeftoverResume::StillSuspended;
    if (!KvLinuxProcessIdentity::sendSignal(pidfd.get(), SIGCONT))
        return KvError::fromErrno(errno);
    return LeftoverResume::Resumed;
}

void KvLinuxSuspension::processEnded(quint32 processId)
{
    // Its hold goes with those of any other process that has ended, under
    // the lock so that the other copies see it go at once.
    Q_UNUSED(processId)
    std::vector<Key> ended;
    for (const auto &process : held) {
        if (KvLinuxProcessIdentity::hasExited(process.second.pidfd.get()))
            ended.push_back(process.first);
    }
    if (ended.empty())
        return;
    KvLinuxHoldRecords::Guard guard(records);
    for (const Key &key : ended) {
        records.setStopped(key, false);
        held.erase(key);
    }
}
