#include "platform/simulated/KvSimulatedJobs.h"

#include <algorithm>

namespace {

const DWORD errorAccessDenied = 5;
const DWORD errorInvalidHandle = 6;
const DWORD errorNotSupported = 50;
const DWORD errorInvalidParameter = 87;
const DWORD errorSignalRefcountExceeded = 156;
const DWORD maximumSuspendCount = 127;

QString hex(DWORD value)
{
    return QStringLiteral("0x") + QString::number(value, 16);
}

} // namespace

class KvSimulatedJobs::JobHandle : public KvSimulatedObject
{
public:
    JobHandle(std::shared_ptr<KvSimulatedJobs *> owner, int number)
        : owner(std::move(owner))
        , number(number)
    {}
    ~JobHandle() override
    {
        if (*owner)
            (*owner)->jobClosed(number);
    }
    QString describe() const override { return QStringLiteral("job %1").arg(number); }

    const std::shared_ptr<KvSimulatedJobs *> owner;
    const int number;
};

class KvSimulatedJobs::ThreadHandle : public KvSimulatedObject
{
public:
    ThreadHandle(ThreadKey key, DWORD processId, DWORD access)
        : key(key)
        , processId(processId)
        , access(access)
    {}
    QString describe() const override { return QStringLiteral("thread %1").arg(key.first); }

    const ThreadKey key;
    const DWORD processId;
    const DWORD access;
};

KvSimulatedJobs::KvSimulatedJobs(KvSimulatedMachine &machine)
    : machine(machine)
    , self(std::make_shared<KvSimulatedJobs *>(this))
{}

KvSimulatedJobs::~KvSimulatedJobs()
{
    *self = nullptr;
    if (&KvPlatformJobs::current() == this)
        uninstall();
}

void KvSimulatedJobs::installAsCurrent()
{
    KvPlatformJobs::install(this);
}

void KvSimulatedJobs::uninstall()
{
    KvPlatformJobs::install(nullptr);
}

bool KvSimulatedJobs::fail(DWORD errorCode)
{
    machine.setLastError(errorCode);
    return false;
}

// ---- what tests look at

QList<int> KvSimulatedJobs::jobNumbers() const
{
    QList<int> numbers = jobs.keys();
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

const KvSimulatedJob *KvSimulatedJobs::job(int number) const
{
    auto found = jobs.constFind(number);
    return found == jobs.constEnd() ? nullptr : &*found;
}

const KvSimulatedJob *KvSimulatedJobs::jobOf(HANDLE job) const
{
    return resolveJob(job);
}

KvSimulatedJob *KvSimulatedJobs::resolveJob(HANDLE job) const
{
    const JobHandle *handle = machine.resolveHandle<JobHandle>(job);
    if (!handle || handle->owner != self)
        return nullptr;
    auto found = jobs.find(handle->number);
    return found == jobs.end() ? nullptr : const_cast<KvSimulatedJob *>(&*found);
}

const KvSimulatedJob *KvSimulatedJobs::jobOfProcess(DWORD processId) const
{
    KvSimulatedProcess *process = machine.process(processId);
    if (!process)
        return nullptr;
    const QPair<DWORD, quint64> member(processId, process->serial);
    for (const KvSimulatedJob &job : jobs) {
        if (job.members.contains(member))
            return &job;
    }
    return nullptr;
}

DWORD KvSimulatedJobs::cpuRateOf(DWORD processId) const
{
    KvSimulatedProcess *process = machine.process(processId);
    DWORD rate = 10000;
    for (const KvSimulatedJob &job : jobs) {
        if (process && job.members.contains(qMakePair(processId, process->serial)) &&
            (job.controlFlags & CpuRateControlEnable))
            rate = std::min(rate, job.cpuRate);
    }
    return rate;
}

KvSimulatedJobs::ThreadKey KvSimulatedJobs::threadKey(DWORD threadId) const
{
    KvSimulatedThread *thread = machine.thread(threadId);
    KvSimulatedProcess *owner = thread ? machine.process(thread->ownerProcessId) : nullptr;
    return ThreadKey(threadId, owner ? owner->serial : 0);
}

DWORD KvSimulatedJobs::suspendCount(DWORD threadId) const
{
    return suspendCounts.value(threadKey(threadId));
}

bool KvSimulatedJobs::isSuspended(DWORD processId) const
{
    for (DWORD threadId : machine.threadIdsOf(processId)) {
        if (suspendCount(threadId) > 0 || leftoverSuspendCount(threadId) > 0)
            return true;
    }
    return false;
}

// ---- an earlier, killed run

int KvSimulatedJobs::addLeftoverJob(DWORD processId, DWORD cpuRate)
{
    KvSimulatedProcess *process = machine.process(processId);
    if (!process)
        return 0;
    KvSimulatedJob job;
    job.number = ++lastJobNumber;
    job.limitFlags = JobObjectLimitSilentBreakawayOk;
    job.controlFlags = CpuRateControlEnable | CpuRateControlHardCap;
    job.cpuRate = cpuRate;
    job.members.append(qMakePair(processId, process->serial));
    job.open = false;
    job.owner = KvSimulatedMachine::anyProcess; // no process of the machine
    jobs.insert(job.number, job);
    return job.number;
}

void KvSimulatedJobs::setLeftoverJobsReachable(bool reachable)
{
    leftoverJobsReachable = reachable;
}

void KvSimulatedJobs::addLeftoverSuspension(DWORD processId)
{
    for (DWORD threadId : machine.threadIdsOf(processId))
        ++leftoverCounts[threadKey(threadId)];
}

DWORD KvSimulatedJobs::leftoverSuspendCount(DWORD threadId) const
{
    return leftoverCounts.value(threadKey(threadId));
}

// ---- something else acting on the machine

void KvSimulatedJobs::takeOutOfJob(DWORD processId)
{
    KvSimulatedProcess *process = machine.process(processId);
    if (!process)
        return;
    for (KvSimulatedJob &job : jobs)
        job.members.removeAll(qMakePair(processId, process->serial));
}

// ---- failures

void KvSimulatedJobs::failCreateJob(DWORD errorCode)
{
    createJobFailure = errorCode;
}

void KvSimulatedJobs::failSetCpuRate(DWORD errorCode)
{
    setCpuRateFailure = errorCode;
}

void KvSimulatedJobs::failAssignProcess(DWORD processId, DWORD errorCode)
{
    assignFailures.set(processId, errorCode);
}

void KvSimulatedJobs::failOpenThread(DWORD threadId, DWORD errorCode)
{
    openThreadFailures.set(threadId, errorCode);
}

void KvSimulatedJobs::failProcessCreationTime(DWORD processId, DWORD errorCode)
{
    creationTimeFailures.set(processId, errorCode);
}

void KvSimulatedJobs::setCpuCapsUnavailable(const QString &reason)
{
    capsUnavailableReason = reason;
}

void KvSimulatedJobs::clearFailures()
{
    createJobFailure = 0;
    setCpuRateFailure = 0;
    assignFailures.clear();
    openThreadFailures.clear();
    creationTimeFailures.clear();
}

// ---- KvPlatformJobs

HANDLE KvSimulatedJobs::createJobObject()
{
    machine.recordCall(QStringLiteral("CreateJobObjectW()"));
    if (createJobFailure) {
        fail(createJobFailure);
        return nullptr;
    }
    KvSimulatedJob job;
    job.number = ++lastJobNumber;
    job.owner = machine.currentProcessId();
    jobs.insert(job.number, job);
    return machine.registerHandle(std::make_shared<JobHandle>(self, job.number));
}

bool KvSimulatedJobs::setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info)
{
    KvSimulatedJob *object = resolveJob(job);
    machine.recordCall(QStringLiteral("SetInformationJobObject(job %1, 9, %2)")
                           .arg(object ? object->number : 0)
                           .arg(hex(info.limitFlags)));
    if (!object)
        return fail(errorInvalidHandle);
    if (info.limitFlags & ~DWORD(JobObjectLimitSilentBreakawayOk))
        return fail(errorInvalidParameter);
    object->limitFlags = info.limitFlags;
    ++object->extendedLimitCalls;
    return true;
}

bool KvSimulatedJobs::setInformationJobObject(HANDLE job,
                                              const KvJobCpuRateControlInformation &info)
{
    KvSimulatedJob *object = resolveJob(job);
    machine.recordCall(QStringLiteral("SetInformationJobObject(job %1, 15, %2, %3)")
                           .arg(object ? object->number : 0)
                           .arg(hex(info.controlFlags))
                           .arg(info.cpuRate));
    if (!object)
        return fail(errorInvalidHandle);
    const DWORD known = CpuRateControlEnable | CpuRateControlHardCap;
    const bool enable = (info.controlFlags & CpuRateControlEnable) != 0;
    if ((info.controlFlags & ~known) || (info.controlFlags && !enable) ||
        (enable && (info.cpuRate < 1 || info.cpuRate > 10000)))
        return fail(errorInvalidParameter);
    if (setCpuRateFailure)
        return fail(setCpuRateFailure);
    object->controlFlags = info.controlFlags;
    object->cpuRate = info.cpuRate;
    ++object->cpuRateCalls;
    return true;
}

bool KvSimulatedJobs::assignProcessToJobObject(HANDLE job, HANDLE process)
{
    KvSimulatedJob *object = resolveJob(job);
    const DWORD processId = machine.processIdOf(process);
    machine.recordCall(QStringLiteral("AssignProcessToJobObject(job %1, process %2)")
                           .arg(object ? object->number : 0)
                           .arg(processId));
    const KvSimulatedProcessHandle *handle =
        machine.resolveHandle<KvSimulatedProcessHandle>(process);
    if (!object || !handle)
        return fail(errorInvalidHandle);
    if (!(handle->access & KvPlatformKernel::ProcessSetQuota) ||
        !(handle->access & KvPlatformKernel::ProcessTerminate))
        return fail(errorAccessDenied);
    KvSimulatedProcess *target = machine.processOf(process);
    if (!target)
        return fail(errorAccessDenied); // it has ended
    if (!capsUnavailableReason.isEmpty())
        return fail(errorNotSupported);
    if (const DWORD error = assignFailures.code(target->processId))
        return fail(error);
    const QPair<DWORD, quint64> member(target->processId, target->serial);
    if (!object->members.contains(member))
        object->members.append(member);
    return true;
}

bool KvSimulatedJobs::cpuCapsAvailable(QString &reason)
{
    reason = capsUnavailableReason;
    return reason.isEmpty();
}

bool KvSimulatedJobs::isProcessInJob(HANDLE process, HANDLE job, bool &result)
{
    const KvSimulatedJob *object = resolveJob(job);
    KvSimulatedProcess *target = machine.processOf(process);
    if (!object || !target)
        return fail(errorInvalidHandle);
    result = object->members.contains(qMakePair(target->processId, target->serial));
    return true;
}

HANDLE KvSimulatedJobs::openThread(DWORD access, DWORD threadId)
{
    machine.recordCall(QStringLiteral("OpenThread(%1, %2)").arg(hex(access)).arg(threadId));
    if (const DWORD error = openThreadFailures.code(threadId)) {
        fail(error);
        return nullptr;
    }
    KvSimulatedThread *thread = machine.thread(threadId);
    if (!thread) {
        fail(errorInvalidParameter);
        return nullptr;
    }
    return machine.registerHandle(
        std::make_shared<ThreadHandle>(threadKey(threadId), thread->ownerProcessId, access));
}

DWORD KvSimulatedJobs::suspendThread(HANDLE thread)
{
    const ThreadHandle *handle = machine.resolveHandle<ThreadHandle>(thread);
    machine.recordCall(QStringLiteral("SuspendThread(%1)").arg(handle ? handle->key.first : 0));
    if (!handle)
        return fail(errorInvalidHandle), SuspendFailed;
    if (!(handle->access & ThreadSuspendResume) || threadKey(handle->key.first) != handle->key)
        return fail(errorAccessDenied), SuspendFailed;
    DWORD &count = suspendCounts[handle->key];
    const DWORD previous = count;
    if (previous >= maximumSuspendCount)
        return fail(errorSignalRefcountExceeded), SuspendFailed;
    ++count;
    return previous;
}

DWORD KvSimulatedJobs::resumeThread(HANDLE thread)
{
    const ThreadHandle *handle = machine.resolveHandle<ThreadHandle>(thread);
    machine.recordCall(QStringLiteral("ResumeThread(%1)").arg(handle ? handle->key.first : 0));
    if (!handle)
        return fail(errorInvalidHandle), SuspendFailed;
    if (!(handle->access & ThreadSuspendResume) || threadKey(handle->key.first) != handle->key)
        return fail(errorAccessDenied), SuspendFailed;
    auto found = suspendCounts.find(handle->key);
    if (found == suspendCounts.end())
        return 0;
    const DWORD previous = *found;
    if (previous <= 1)
        suspendCounts.erase(found);
    else
        *found = previous - 1;
    return previous;
}

bool KvSimulatedJobs::getProcessCreationTime(HANDLE process, quint64 &creationTime)
{
    KvSimulatedProcess *target = machine.processOf(process);
    if (!target)
        return fail(errorInvalidHandle);
    if (const DWORD error = creationTimeFailures.code(target->processId))
        return fail(error);
    creationTime = target->startTime;
    return true;
}

int KvSimulatedJobs::removeLeftoverJobs(QList<LeftoverJob> *found)
{
    machine.recordCall(QStringLiteral("RemoveLeftoverJobs()"));
    if (!leftoverJobsReachable)
        return -1;
    int removed = 0;
    for (auto it = jobs.begin(); it != jobs.end();) {
        if (it->owner == machine.currentProcessId() || machine.process(it->owner)) {
            ++it;
            continue;
        }
        LeftoverJob leftover;
        leftover.name = QStringLiteral("#%1").arg(it->number);
        leftover.removed = true;
        for (const QPair<DWORD, quint64> &member : qAsConst(it->members)) {
            const KvSimulatedProcess *process = machine.process(member.first);
            if (process && process->serial == member.second)
                leftover.released.append(member.first);
        }
        if (found)
            found->append(leftover);
        it = jobs.erase(it);
        ++removed;
    }
    return removed;
}

KvPlatformJobs::LeftoverResume KvSimulatedJobs::resumeLeftoverSuspension(HANDLE process,
                                                                         DWORD suspensions)
{
    KvSimulatedProcess *target = machine.processOf(process);
    machine.recordCall(QStringLiteral("ResumeLeftoverSuspension(process %1, %2)")
                           .arg(target ? target->processId : 0)
                           .arg(suspensions));
    if (!target)
        return fail(errorInvalidHandle), LeftoverResumeFailed;
    // The suspensions of a copy that ended on this machine are among the
    // running copies' counts: as on Windows, a resume lowers a thread's
    // count whoever raised it.
    for (DWORD threadId : machine.threadIdsOf(target->processId)) {
        DWORD remaining = suspensions;
        for (QHash<ThreadKey, DWORD> *counts : {&leftoverCounts, &suspendCounts}) {
            auto found = counts->find(threadKey(threadId));
            if (found == counts->end() || remaining == 0)
                continue;
            const DWORD taken = std::min(remaining, *found);
            remaining -= taken;
            if ((*found -= taken) == 0)
                counts->erase(found);
        }
    }
    // As on Windows, the suspensions of running programs stay counted.
    return isSuspended(target->processId) ? LeftoverStillSuspended : LeftoverResumed;
}

void KvSimulatedJobs::jobClosed(int number)
{
    auto found = jobs.find(number);
    if (found == jobs.end())
        return;
    // A job lives on while processes are in it, as on Windows.
    found->open = false;
}
