#include "platform/linux/KvLinuxJobs.h"

#include "platform/linux/KvLinuxHandleTable.h"
#include "platform/linux/KvLinuxJobHandle.h"
#include "platform/linux/KvLinuxKernel.h"
#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessHandle.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvLinuxThreadHandle.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// How often the job groups are looked over where no fork is reported: a
// child of a capped process runs capped for at most about this long.
const int watchIntervalMs = 1000;

using Process = KvLinuxHoldRecords::Process;

} // namespace

KvLinuxJobs *KvLinuxJobs::instance = nullptr;
int KvLinuxJobs::forkReporters = 0;

KvPlatformJobs *KvPlatformJobs::native()
{
    static KvLinuxJobs jobs;
    return &jobs;
}

KvLinuxJobHandle::~KvLinuxJobHandle()
{
    KvLinuxJobs::jobHandleClosed(number);
}

KvLinuxJobs::KvLinuxJobs()
{
    instance = this;
}

KvLinuxJobs::~KvLinuxJobs()
{
    instance = nullptr;
    delete watchTimer.data();
    if (!jobs.isEmpty()) {
        KvLinuxHoldRecords::Guard guard(records);
        for (Job &job : jobs) {
            forgetEndedMembers(job);
            job.rate = 10000; // lets go of every cap
            for (auto it = job.members.cbegin(); it != job.members.cend(); ++it)
                place(job, it.key(), *it);
            dropGroupIfUnused(job);
        }
    }
    jobs.clear();
    // A process that could be moved nowhere keeps its group, without a quota,
    // until it ends; a later start removes the group.
    for (const QString &group : tree.removeRunDirectory()) {
        QList<pid_t> pids;
        tree.members(group, pids);
        QStringList processes;
        for (pid_t pid : qAsConst(pids))
            processes.append(QStringLiteral("#%1").arg(pid));
        kvWarning(lcGovernor) << "cgroup " << group << " still holds process(es) "
                              << processes.join(QStringLiteral(", "))
                              << " without a CPU limit; a later start removes it";
    }
    suspendCounts.releaseAll();
}

bool KvLinuxJobs::fail(int error)
{
    KvPlatformKernel::native()->setLastError(DWORD(error ? error : errno));
    return false;
}

KvLinuxJobs::Job *KvLinuxJobs::resolveJob(HANDLE job) const
{
    const KvLinuxJobHandle *handle = KvLinuxHandleTable::instance().resolve<KvLinuxJobHandle>(job);
    if (!handle)
        return nullptr;
    auto found = jobs.find(handle->jobNumber());
    return found == jobs.end() ? nullptr : const_cast<Job *>(&*found);
}

HANDLE KvLinuxJobs::createJobObject()
{
    const int number = ++lastJobNumber;
    Job job;
    job.number = number;
    jobs.insert(number, job);
    return KvLinuxHandleTable::instance().add(std::make_unique<KvLinuxJobHandle>(number));
}

bool KvLinuxJobs::setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info)
{
    Job *object = resolveJob(job);
    if (!object)
        return fail(EBADF);
    if (info.limitFlags & ~DWORD(JobObjectLimitSilentBreakawayOk))
        return fail(EINVAL);
    object->breakaway = (info.limitFlags & JobObjectLimitSilentBreakawayOk) != 0;
    return true;
}

bool KvLinuxJobs::setInformationJobObject(HANDLE job, const KvJobCpuRateControlInformation &info)
{
    Job *object = resolveJob(job);
    if (!object)
        return fail(EBADF);
    const DWORD known = CpuRateControlEnable | CpuRateControlHardCap;
    if (info.controlFlags & ~known)
        return fail(EINVAL);
    const bool enable = (info.controlFlags & CpuRateControlEnable) != 0;
    if (info.controlFlags && !enable)
        return fail(EINVAL);
    if (enable && (info.cpuRate < 1 || info.cpuRate > 10000))
        return fail(EINVAL);
    object->rate = enable ? info.cpuRate : 10000;
    const int error = settle(*object);
    return error == 0 || fail(error);
}

bool KvLinuxJobs::restrains(const Job &job)
{
    return job.rate < 10000;
}

void KvLinuxJobs::forgetEndedMembers(Job &job)
{
    for (auto it = job.members.begin(); it != job.members.end();) {
        quint64 stamp = 0;
        if (KvLinuxProcessIdentity::creationStamp(it.key(), stamp) && stamp == it->stamp) {
            ++it;
            continue;
        }
        records.setCap(Process(it.key(), it->stamp), 0, QString());
        it = job.members.erase(it);
    }
}

int KvLinuxJobs::settle(Job &job)
{
    forgetEndedMembers(job);
    int error = 0;
    if (!job.members.isEmpty()) {
        KvLinuxHoldRecords::Guard guard(records);
        for (auto it = job.members.cbegin(); it != job.members.cend(); ++it) {
            const int failed = place(job, it.key(), *it);
            error = error ? error : failed;
        }
    }
    dropGroupIfUnused(job);
    updateWatch();
    return error;
}

int KvLinuxJobs::place(Job &job, DWORD processId, const Member &member)
{
    // Each failure is the errno of the call that failed, read at once.
    return placed(job, processId, member) ? 0 : errno;
}

bool KvLinuxJobs::placed(Job &job, DWORD processId, const Member &member)
{
    const pid_t pid = pid_t(processId);
    const Process process(processId, member.stamp);
    const bool capping = restrains(job);
    records.setCap(process, capping ? job.rate : 0, member.origin);
    const QList<KvLinuxHoldRecords::Cap> others = records.capsOfOthers(process);
    const quint32 strictest = strictestOf(job.rate, others);
    const QString current = tree.groupOf(pid);
    const bool capped = tree.isJobGroup(current);
    const bool ours = tree.isOwnGroup(current);
    // Removed behind our back (it must have been empty): made anew if needed.
    if (!job.group.isEmpty() && ::access(QFile::encodeName(job.group).constData(), F_OK) != 0)
        job.group.clear();

    if (capping) {
        // In the group of another copy that caps it too, it stays there;
        // this copy's rate goes into that group's quota.
        if (capped && !ours && !others.isEmpty())
            return tree.setRate(current, strictest);
        if ((job.group.isEmpty() && !makeGroup(job)) || !tree.setRate(job.group, strictest))
            return false;
        if (current == job.group)
            return true;
        if (!tree.movePid(job.group, pid))
            return false;
    } else if (!capped) {
        // Never capped, or taken out by something else: it stays where it is.
        return true;
    } else if (others.isEmpty()) {
        // The last copy to let go. The quota goes first: the cap is lifted
        // once the process runs without one, whether or not it can leave the
        // group; then back where it came from (or to a leaf that limits
        // nothing), and the group goes once empty.
        if (!tree.setRate(current, 10000))
            return false;
        tree.moveBack(member.origin, pid);
    } else if (ours) {
        // Handed to a copy that still caps it, so that nothing of it stays in
        // this run's directory.
        if (!handOver(processId, others))
            return false;
    } else {
        // In the group of another copy that caps it: that copy's cap alone.
        return tree.setRate(current, strictest);
    }
    // The group it left goes with it unless something else is in it (the
    // job's own group goes once no member sits in it).
    if (capped && current != job.group) {
        tree.removeGroup(current);
        tree.removeEndedRunOf(current);
    }
    return true;
}

quint32 KvLinuxJobs::strictestOf(quint32 rate, const QList<KvLinuxHoldRecords::Cap> &others)
{
    for (const KvLinuxHoldRecords::Cap &cap : others)
        rate = std::min(rate, cap.rate);
    return rate;
}

bool KvLinuxJobs::handOver(DWORD processId, const QList<KvLinuxHoldRecords::Cap> &others)
{
    const QString group = tree.createHandOverGroup(others.first().run, processId);
    return !group.isEmpty() && tree.setRate(group, strictestOf(10000, others)) &&
           tree.movePid(group, pid_t(processId));
}

bool KvLinuxJobs::makeGroup(Job &job)
{
    job.group = tree.createJobGroup(job.number);
    return !job.group.isEmpty();
}

void KvLinuxJobs::dropGroupIfUnused(Job &job)
{
    if (job.group.isEmpty())
        return;
    QList<pid_t> pids;
    if (!tree.members(job.group, pids)) {
        if (errno == ENOENT)
            job.group.clear(); // removed behind our back
        return;
    }
    // A capped member keeps the group; once the cap is lifted, a member that
    // could not leave it before is moved again.
    for (pid_t pid : qAsConst(pids)) {
        if (restrains(job) && job.members.contains(DWORD(pid)))
            return;
    }
    for (pid_t pid : qAsConst(pids))
        tree.moveBack(originFor(job, DWORD(pid)), pid);
    if (tree.removeGroup(job.group))
        job.group.clear();
    else if (!restrains(job))
        tree.setRate(job.group, 10000); // at least the cap goes; the timer retries the rest
}

bool KvLinuxJobs::assignProcessToJobObject(HANDLE job, HANDLE process)
{
    const KvLinuxProcessHandle *target = KvLinuxKernel::resolveProcess(process);
    Job *object = resolveJob(job);
    if (!target || !object)
        return fail(EBADF);
    if (target->hasExited())
        return fail(ESRCH);
    const DWORD processId = target->processId();
    quint64 stamp = 0;
    if (!KvLinuxProcessIdentity::creationStamp(processId, stamp))
        return fail();
    if (!tree.prepare())
        return fail();

    // Where the process came from: as this run noted it when it is a member
    // of another of our jobs (it leaves that one), as a copy noted it when
    // it sits in a group of the program, else where it is now.
    KvLinuxHoldRecords::Guard guard(records);
    Member member{stamp, QString()};
    Job *previous = nullptr;
    for (Job &other : jobs) {
        auto found = other.members.find(processId);
        if (found == other.members.end() || found->stamp != stamp)
            continue;
        member.origin = found->origin;
        if (&other != object) {
            other.members.erase(found);
            previous = &other;
        }
    }
    const QString current = tree.groupOf(pid_t(processId));
    if (member.origin.isEmpty())
        member.origin =
            tree.isJobGroup(current) ? records.originOf(Process(processId, stamp)) : current;
    if (member.origin.isEmpty())
        member.origin = tree.top();

    object->members.insert(processId, member);
    if (const int error = place(*object, processId, member)) {
        object->members.remove(processId);
        records.setCap(Process(processId, stamp), 0, QString());
        return fail(error);
    }
    if (previous)
        dropGroupIfUnused(*previous);
    updateWatch();
    // Moved by id: still running afterwards means it was this process.
    if (target->hasExited())
        return fail(ESRCH);
    return true;
}

bool KvLinuxJobs::isProcessInJob(HANDLE process, HANDLE job, bool &result)
{
    const KvLinuxProcessHandle *target = KvLinuxKernel::resolveProcess(process);
    const Job *object = resolveJob(job);
    if (!target || !object)
        return fail(EBADF);
    quint64 stamp = 0;
    if (!KvLinuxProcessIdentity::creationStamp(target->processId(), stamp))
        return fail();
    const auto member = object->members.constFind(target->processId());
    result = member != object->members.constEnd() && member->stamp == stamp &&
             (!restrains(*object) || tree.isJobGroup(tree.groupOf(pid_t(target->processId()))));
    return true;
}

bool KvLinuxJobs::copiesShareHolds(QString &reason)
{
    return records.shared(reason);
}

void KvLinuxJobs::processEnded(DWORD processId)
{
    // Its caps go with the job handles that the governor lets go of; the
    // watch forgets the members that ended. Its counts go with those of any
    // other process that has ended, under the lock so that the other copies
    // see its hold go at once.
    Q_UNUSED(processId)
    KvLinuxHoldRecords::Guard guard(records);
    suspendCounts.forgetEnded();
}

bool KvLinuxJobs::cpuCapsAvailable(QString &reason)
{
    if (tree.prepare())
        return true;
    reason = tree.problem();
    return false;
}

QString KvLinuxJobs::jobGroup(HANDLE job) const
{
    const Job *object = resolveJob(job);
    return object ? object->group : QString();
}

void KvLinuxJobs::jobHandleClosed(int jobNumber)
{
    if (!instance)
        return;
    auto found = instance->jobs.find(jobNumber);
    if (found == instance->jobs.end())
        return;
    found->referenced = false;
    instance->watchJob(*found);
    instance->updateWatch();
}

void KvLinuxJobs::forkReportsOpened()
{
    ++forkReporters;
    // Whatever started before the reports came is looked for once.
    if (instance)
        instance->watchJobs();
}

void KvLinuxJobs::forkReportsClosed()
{
    --forkReporters;
    if (instance)
        instance->updateWatch();
}

void KvLinuxJobs::forkReportsLost()
{
    if (instance)
        instance->watchJobs();
}

void KvLinuxJobs::processForked(DWORD childId, DWORD parentId)
{
    if (!instance)
        return;
    Q_UNUSED(childId) // it is found in its parent's group, with anything it started since
    for (const Job &job : qAsConst(instance->jobs)) {
        auto member = job.members.constFind(parentId);
        if (!job.breakaway || !restrains(job) || member == job.members.constEnd())
            continue;
        quint64 stamp = 0;
        if (!KvLinuxProcessIdentity::creationStamp(parentId, stamp) || stamp != member->stamp)
            continue;
        const QString group = instance->tree.groupOf(pid_t(parentId));
        if (instance->tree.isJobGroup(group))
            instance->breakAway(job, group);
        return;
    }
}

void KvLinuxJobs::updateWatch()
{
    bool needed = false;
    for (const Job &job : qAsConst(jobs)) {
        // Children of capped members are found by looking where no fork is
        // reported; what was left to do at once is retried.
        needed = needed || !job.referenced || (!restrains(job) && !job.group.isEmpty()) ||
                 (forkReporters == 0 && restrains(job) && job.breakaway && !job.members.isEmpty());
    }
    if (needed && !watchTimer && QCoreApplication::instance()) {
        watchTimer = new QTimer(QCoreApplication::instance());
        watchTimer->setInterval(watchIntervalMs);
        QObject::connect(watchTimer.data(), &QTimer::timeout, [this] { watchJobs(); });
    }
    if (!watchTimer)
        return;
    if (needed && !watchTimer->isActive())
        watchTimer->start();
    else if (!needed)
        watchTimer->stop();
}

void KvLinuxJobs::watchJobs()
{
    const QList<int> numbers = jobs.keys();
    for (int number : numbers) {
        auto found = jobs.find(number);
        if (found != jobs.end())
            watchJob(*found);
    }
    updateWatch();
}

void KvLinuxJobs::watchJob(Job &job)
{
    // A member that sits in a group of the program runs still; the others
    // may have ended.
    QSet<QString> groups;
    bool outside = !restrains(job);
    for (auto it = job.members.cbegin(); restrains(job) && it != job.members.cend(); ++it) {
        const QString group = tree.groupOf(pid_t(it.key()));
        if (tree.isJobGroup(group))
            groups.insert(group);
        else
            outside = true;
    }
    if (outside)
        forgetEndedMembers(job);
    for (const QString &group : qAsConst(groups)) {
        if (job.breakaway)
            breakAway(job, group);
    }
    if (!groups.contains(job.group))
        dropGroupIfUnused(job);
    // Without a handle nothing can cap the members again: the job goes once
    // it restrains nothing any more (its members' caps left the records as
    // the cap was lifted, or as they ended).
    if (!job.referenced && job.group.isEmpty() && (job.members.isEmpty() || !restrains(job))) {
        const int number = job.number; // the key must outlive the entry it removes
        jobs.remove(number);
    }
}

void KvLinuxJobs::breakAway(const Job &job, const QString &group)
{
    // A process moved out may have started another before it went, which is
    // in the group still: rounds until one moves nothing.
    for (int round = 0; round < 8; ++round) {
        QList<pid_t> pids;
        if (!tree.members(group, pids))
            return;
        bool moved = false;
        for (pid_t pid : qAsConst(pids)) {
            if (!job.members.contains(DWORD(pid)))
                moved = tree.moveBack(originFor(job, DWORD(pid)), pid) || moved;
        }
        if (!moved)
            return;
    }
}

QString KvLinuxJobs::originFor(const Job &job, DWORD processId) const
{
    DWORD current = processId;
    for (int depth = 0; depth < 64 && current > 1; ++depth) {
        auto member = job.members.constFind(current);
        if (member != job.members.constEnd() && current != processId)
            return member->origin;
        KvLinuxProcFs::Stat stat;
        if (!KvLinuxProcFs::readStat(current, stat))
            break;
        current = stat.parentProcessId;
    }
    if (job.members.contains(processId))
        return job.members.value(processId).origin;
    // Orphaned on the way (its parent ended): where the members came from.
    return job.members.isEmpty() ? tree.top() : job.members.cbegin()->origin;
}

HANDLE KvLinuxJobs::openThread(DWORD access, DWORD threadId)
{
    DWORD processId = 0;
    if (!KvLinuxProcessIdentity::threadGroupOf(threadId, processId)) {
        fail();
        return nullptr;
    }
    const int pidfd = KvLinuxProcessIdentity::openPidfd(processId);
    if (pidfd < 0) {
        fail();
        return nullptr;
    }
    // The thread must still belong to the process the pidfd holds, and that
    // process must be one we may stop; checked after the pidfd exists so
    // that neither id can be reused in between unnoticed.
    DWORD confirmed = 0;
    quint64 stamp = 0;
    int error = 0;
    if (!KvLinuxProcessIdentity::threadGroupOf(threadId, confirmed) || confirmed != processId ||
        !KvLinuxProcessIdentity::creationStamp(processId, stamp))
        error = ESRCH;
    else if (!KvLinuxProcessIdentity::sendSignal(pidfd, 0))
        error = errno;
    if (error) {
        ::close(pidfd);
        fail(error);
        return nullptr;
    }
    auto object = std::make_unique<KvLinuxThreadHandle>(threadId, processId, stamp, pidfd, access);
    return KvLinuxHandleTable::instance().add(std::move(object));
}

DWORD KvLinuxJobs::suspendThread(HANDLE thread)
{
    const auto *object = KvLinuxHandleTable::instance().resolve<KvLinuxThreadHandle>(thread);
    if (!object)
        return fail(EBADF), SuspendFailed;
    if (!(object->access() & ThreadSuspendResume))
        return fail(EACCES), SuspendFailed;
    const DWORD previous = suspendCounts.suspend(object->processId(), object->processStamp(),
                                                 object->pidfd(), object->threadId());
    if (previous == SuspendFailed)
        fail();
    return previous;
}

DWORD KvLinuxJobs::resumeThread(HANDLE thread)
{
    const auto *object = KvLinuxHandleTable::instance().resolve<KvLinuxThreadHandle>(thread);
    if (!object)
        return fail(EBADF), SuspendFailed;
    if (!(object->access() & ThreadSuspendResume))
        return fail(EACCES), SuspendFailed;
    return suspendCounts.resume(object->processId(), object->processStamp(), object->threadId());
}

bool KvLinuxJobs::getProcessCreationTime(HANDLE process, quint64 &creationTime)
{
    const KvLinuxProcessHandle *object = KvLinuxKernel::resolveProcess(process);
    if (!object)
        return fail(EBADF);
    quint64 stamp = 0;
    if (!KvLinuxProcessIdentity::creationStamp(object->processId(), stamp))
        return fail();
    // Still running after the read: the stamp is this process's.
    if (object->hasExited())
        return fail(ESRCH);
    creationTime = stamp;
    return true;
}

int KvLinuxJobs::removeLeftoverJobs(QList<LeftoverJob> *found)
{
    KvLinuxHoldRecords::Guard guard(records);
    int removed = 0;
    const QStringList runs = tree.prepare() ? tree.endedRunDirectories() : QStringList();
    for (const QString &run : runs) {
        for (const QString &group : KvCgroupCpuTree::jobGroupsIn(run)) {
            LeftoverJob job;
            job.name = group;
            bool capsHeld = false;
            QList<pid_t> pids;
            tree.members(group, pids);
            for (pid_t pid : qAsConst(pids)) {
                quint64 stamp = 0;
                if (!KvLinuxProcessIdentity::creationStamp(DWORD(pid), stamp))
                    continue; // gone meanwhile
                const Process process(DWORD(pid), stamp);
                // A running copy caps it too: it goes to that copy, or stays
                // under that copy's cap here if it cannot.
                const QList<KvLinuxHoldRecords::Cap> others = records.capsOfOthers(process);
                if (!others.isEmpty()) {
                    if (!handOver(DWORD(pid), others)) {
                        capsHeld = true;
                        tree.setRate(group, strictestOf(10000, others));
                    }
                    continue;
                }
                if (tree.moveBack(records.originOf(process), pid))
                    job.released.append(DWORD(pid));
            }
            job.removed = tree.removeGroup(group);
            if (job.removed) {
                ++removed;
            } else {
                job.error = DWORD(errno);
                // Someone could not be moved out: at least the cap goes.
                if (!capsHeld)
                    tree.setRate(group, 10000);
            }
            if (found)
                found->append(job);
        }
        tree.removeGroup(run);
    }
    // The ended runs' records served for the origins above.
    records.removeEnded();
    tree.removeReleasedGroup(); // once what went there has ended
    return removed;
}

KvPlatformJobs::LeftoverResume KvLinuxJobs::resumeLeftoverSuspension(HANDLE process,
                                                                     DWORD suspensions)
{
    const KvLinuxProcessHandle *object = KvLinuxKernel::resolveProcess(process);
    if (!object)
        return fail(EBADF), LeftoverResumeFailed;
    if (suspensions == 0)
        return LeftoverResumed;
    quint64 stamp = 0;
    if (!KvLinuxProcessIdentity::creationStamp(object->processId(), stamp))
        return fail(), LeftoverResumeFailed;
    KvLinuxHoldRecords::Guard guard(records);
    if (suspendCounts.holds(object->processId(), stamp) ||
        records.stoppedByOthers(Process(object->processId(), stamp)))
        return LeftoverStillSuspended;
    if (const int error = object->sendSignal(SIGCONT))
        return fail(error), LeftoverResumeFailed;
    return LeftoverResumed;
}
