#pragma once

#include "platform/KvPlatformJobs.h"
#include "platform/simulated/KvInjectedFailures.h"
#include "platform/simulated/KvSimulatedMachine.h"

#include <QHash>
#include <QList>
#include <QPair>

#include <memory>

// One job of the simulated machine, as tests inspect it.
struct KvSimulatedJob
{
    int number = 0;
    DWORD limitFlags = 0;
    DWORD controlFlags = 0;
    DWORD cpuRate = 0;
    // How often each information class was set.
    int extendedLimitCalls = 0;
    int cpuRateCalls = 0;
    // Members as (process id, process serial): a later process with the
    // same id is no member.
    QList<QPair<DWORD, quint64>> members;
    // Whether a handle still refers to it.
    bool open = true;
    // The process that made it, as the machine's current process: a copy of
    // the program. Once that process has ended, the job is a leftover.
    DWORD owner = 0;
};

// Jobs and thread suspension on a KvSimulatedMachine: jobs with rates, flags
// and members, suspend counts per thread, failures injected per process and
// per thread with an error code, and jobs or suspensions that an "earlier
// run" left behind. Handles are registered with the machine, so its
// closeHandle closes them, and every call is written to its call record.
//
// As on Windows, a process may be in the jobs of several copies of the
// program at once (the strictest rate holds), and the suspend counts of
// every copy add up on the threads. A copy is the machine's current process
// as it acts, and its jobs are leftovers once that process has ended.
//
//     KvSimulatedMachine machine;
//     KvSimulatedJobs jobs(machine);
//     machine.installAsCurrent();
//     jobs.installAsCurrent();
//     ...
//     jobs.uninstall();
//     machine.uninstall();
class KvSimulatedJobs : public KvPlatformJobs
{
public:
    explicit KvSimulatedJobs(KvSimulatedMachine &machine);
    ~KvSimulatedJobs() override;

    void installAsCurrent();
    void uninstall();

    // ---- what tests look at
    QList<int> jobNumbers() const;
    const KvSimulatedJob *job(int number) const;
    // The job behind a handle of this backend, or nullptr.
    const KvSimulatedJob *jobOf(HANDLE job) const;
    // The (first) job the running process with that id is in, or nullptr.
    const KvSimulatedJob *jobOfProcess(DWORD processId) const;
    // The CPU rate in force for the running process: the strictest rate of
    // its jobs whose cap is enabled, otherwise 10 000 (the whole machine).
    DWORD cpuRateOf(DWORD processId) const;
    // A thread's suspend count (0 for threads never suspended).
    DWORD suspendCount(DWORD threadId) const;
    // Whether any thread of the process has a count above 0.
    bool isSuspended(DWORD processId) const;

    // ---- an earlier, killed run
    // Leaves the running process in a capped job that no handle refers to,
    // as a killed run would; removeLeftoverJobs() removes it. Returns the
    // job's number.
    int addLeftoverJob(DWORD processId, DWORD cpuRate);
    // Whether removeLeftoverJobs() reaches them (false: as on Windows).
    void setLeftoverJobsReachable(bool reachable);
    // Suspends every thread of the process once, as a killed run would have,
    // without any count this run knows of.
    void addLeftoverSuspension(DWORD processId);
    // Threads still suspended by an earlier run.
    DWORD leftoverSuspendCount(DWORD threadId) const;

    // ---- something else acting on the machine
    // Takes the process out of its job, as someone moving it out of its
    // cgroup on Linux would.
    void takeOutOfJob(DWORD processId);

    // ---- failures (error code 0 removes the failure)
    void failCreateJob(DWORD errorCode);
    void failSetCpuRate(DWORD errorCode);
    void failAssignProcess(DWORD processId, DWORD errorCode);
    void failOpenThread(DWORD threadId, DWORD errorCode);
    void failProcessCreationTime(DWORD processId, DWORD errorCode);
    void clearFailures();
    // A machine where no cap can be set, for the reason given (empty: caps
    // work again); every assignment fails with ERROR_NOT_SUPPORTED.
    void setCpuCapsUnavailable(const QString &reason);

    // ---- KvPlatformJobs
    HANDLE createJobObject() override;
    bool setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info) override;
    bool setInformationJobObject(HANDLE job, const KvJobCpuRateControlInformation &info) override;
    bool assignProcessToJobObject(HANDLE job, HANDLE process) override;
    bool cpuCapsAvailable(QString &reason) override;
    bool isProcessInJob(HANDLE process, HANDLE job, bool &result) override;
    HANDLE openThread(DWORD access, DWORD threadId) override;
    DWORD suspendThread(HANDLE thread) override;
    DWORD resumeThread(HANDLE thread) override;
    bool getProcessCreationTime(HANDLE process, quint64 &creationTime) override;
    int removeLeftoverJobs(QList<LeftoverJob> *found = nullptr) override;
    LeftoverResume resumeLeftoverSuspension(HANDLE process, DWORD suspensions) override;

private:
    class JobHandle;
    class ThreadHandle;
    using ThreadKey = QPair<DWORD, quint64>; // thread id, owner's serial

    KvSimulatedJob *resolveJob(HANDLE job) const;
    ThreadKey threadKey(DWORD threadId) const;
    bool fail(DWORD errorCode);
    void jobClosed(int number);

    KvSimulatedMachine &machine;
    std::shared_ptr<KvSimulatedJobs *> self; // lets closing handles reach us while we live
    QHash<int, KvSimulatedJob> jobs;
    bool leftoverJobsReachable = true;
    QHash<ThreadKey, DWORD> suspendCounts;
    QHash<ThreadKey, DWORD> leftoverCounts;
    DWORD createJobFailure = 0;
    DWORD setCpuRateFailure = 0;
    QString capsUnavailableReason;
    KvInjectedFailures<DWORD> assignFailures;
    KvInjectedFailures<DWORD> openThreadFailures;
    KvInjectedFailures<DWORD> creationTimeFailures;
    int lastJobNumber = 0;
};
