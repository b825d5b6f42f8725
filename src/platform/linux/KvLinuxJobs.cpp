#include "platform/linux/KvLinuxJobs.h"

#include "platform/linux/KvLinuxHandleTable.h"
#include "platform/linux/KvLinuxJobHandle.h"
#include "platform/linux/KvLinuxKernel.h"
#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessHandle.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvLinuxThreadHandle.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// How often the job groups are looked over: a child of a capped process runs
// capped for at most about this long.
const int watchIntervalMs = 100;

} // namespace

KvLinuxJobs *KvLinuxJobs::instance = nullptr;

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
    for (Job &job : jobs) {
        if (!job.group.isEmpty())
            release(job);
    }
    jobs.clear();
    tree.removeRunDirectory();
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
    return settle(*object) || fail();
}

bool KvLinuxJobs::restrains(const Job &job)
{
    return job.rate < 10000;
}

bool KvLinuxJobs::settle(Job &job)
{
    if (!restrains(job))
        return job.group.isEmpty() || release(job);
    if (!job.group.isEmpty())
        return tree.setRate(job.group, job.rate);
    // The group is made as the first process joins, or here for members
    // that waited where they came from while nothing capped them.
    if (job.members.isEmpty())
        return true;
    if (!makeGroup(job))
        return false;
    for (auto it = job.members.begin(); it != job.members.end();) {
        quint64 stamp = 0;
        const bool same =
            KvLinuxProcessIdentity::creationStamp(it.key(), stamp) && stamp == it->stamp;
        if (same && tree.movePid(job.group, pid_t(it.key())))
            ++it;
        else
            it = job.members.erase(it);
    }
    startWatching();
    return true;
}

bool KvLinuxJobs::makeGroup(Job &job)
{
    const QString group = tree.createJobGroup(job.number);
    if (group.isEmpty())
        return false;
    if (!tree.setRate(group, job.rate)) {
        const int error = errno;
        tree.removeGroup(group);
        errno = error;
        return false;
    }
    job.group = group;
    return true;
}

bool KvLinuxJobs::release(Job &job)
{
    // Even a group without a quota weighs its members together against every
    // other process, so a job that restrains nothing holds none: they go back
    // where they came from, and come in again when a cap is set.
    const bool lifted = tree.setRate(job.group, 10000);
    QList<pid_t> pids;
    tree.members(job.group, pids);
    for (pid_t pid : qAsConst(pids)) {
        auto member = job.members.constFind(DWORD(pid));
        const QString origin =
            member != job.members.constEnd() ? member->origin : originFor(job, DWORD(pid));
        if (!tree.movePid(origin, pid))
            tree.movePid(tree.top(), pid);
    }
    if (tree.removeGroup(job.group)) {
        job.group.clear();
        return true;
    }
    return lifted;
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
    if (restrains(*object) && object->group.isEmpty() && !makeGroup(*object))
        return fail();

    // Where the process is now; when that is another of our jobs, where it
    // was before that one.
    const QString current = tree.groupOf(pid_t(processId));
    Member member{stamp, current};
    for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        auto previous = it->members.find(processId);
        if (previous == it->members.end() || previous->stamp != stamp)
            continue;
        member.origin = previous->origin;
        if (&*it != object)
            it->members.erase(previous);
    }
    if (member.origin.isEmpty())
        member.origin = tree.top();

    const QString destination = restrains(*object) ? object->group : member.origin;
    if (current != destination && !tree.movePid(destination, pid_t(processId)))
        return fail();
    // Moved by id: still running afterwards means it was this process.
    if (target->hasExited())
        return fail(ESRCH);
    object->members.insert(processId, member);
    if (!object->group.isEmpty())
        startWatching();
    return true;
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
}

void KvLinuxJobs::startWatching()
{
    if (!watchTimer && QCoreApplication::instance()) {
        watchTimer = new QTimer(QCoreApplication::instance());
        watchTimer->setInterval(watchIntervalMs);
        QObject::connect(watchTimer.data(), &QTimer::timeout, [this] { watchJobs(); });
    }
    if (watchTimer && !watchTimer->isActive())
        watchTimer->start();
}

void KvLinuxJobs::watchJobs()
{
    const QList<int> numbers = jobs.keys();
    bool anyGroup = false;
    for (int number : numbers) {
        auto found = jobs.find(number);
        if (found == jobs.end())
            continue;
        watchJob(*found);
        anyGroup = anyGroup || (jobs.contains(number) && !jobs[number].group.isEmpty());
    }
    if (!anyGroup && watchTimer)
        watchTimer->stop();
}

void KvLinuxJobs::watchJob(Job &job)
{
    // A group left behind because a member could not be moved out at once.
    if (!job.group.isEmpty() && !restrains(job))
        release(job);
    if (!job.group.isEmpty()) {
        QList<pid_t> pids;
        if (tree.members(job.group, pids)) {
            QHash<DWORD, Member> present;
            for (pid_t pid : pids) {
                const DWORD processId = DWORD(pid);
                quint64 stamp = 0;
                if (!KvLinuxProcessIdentity::creationStamp(processId, stamp))
                    continue; // gone meanwhile
                auto member = job.members.constFind(processId);
                if (member != job.members.constEnd() && member->stamp == stamp) {
                    present.insert(processId, *member);
                    continue;
                }
                // Started by a member after it joined.
                const QString origin = originFor(job, processId);
                if (job.breakaway && tree.movePid(origin, pid))
                    continue;
                present.insert(processId, Member{stamp, origin});
            }
            job.members = present;
        } else if (errno == ENOENT) {
            // Removed behind our back: nothing of it is left to watch.
            job.group.clear();
            job.members.clear();
        }
    }
    // Without a group nothing restrains the members, and without a handle
    // nothing can cap them again.
    if (!job.referenced && (job.members.isEmpty() || job.group.isEmpty())) {
        const int number = job.number; // the key must outlive the entry it removes
        if (job.group.isEmpty() || tree.removeGroup(job.group))
            jobs.remove(number);
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

int KvLinuxJobs::removeLeftoverJobs()
{
    return tree.removeLeftovers();
}

bool KvLinuxJobs::resumeLeftoverSuspension(HANDLE process, DWORD suspensions)
{
    const KvLinuxProcessHandle *object = KvLinuxKernel::resolveProcess(process);
    if (!object)
        return fail(EBADF);
    if (suspensions == 0)
        return true;
    if (const int error = object->sendSignal(SIGCONT))
        return fail(error);
    return true;
}
