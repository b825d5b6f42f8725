#pragma once

#include "platform/KvPlatformTypes.h"
#include "support/KvInstallable.h"

#include <QList>
#include <QString>
#include <QtGlobal>

// JOBOBJECT_EXTENDED_LIMIT_INFORMATION, reduced to the one field the program
// sets; every other field of the Windows structure is passed as zero.
struct KvJobExtendedLimitInformation
{
    // BasicLimitInformation.LimitFlags.
    DWORD limitFlags = 0;
};

// JOBOBJECT_CPU_RATE_CONTROL_INFORMATION.
struct KvJobCpuRateControlInformation
{
    DWORD controlFlags = 0;
    // Hundredths of a percent of the whole machine's processor time:
    // 10 000 is every CPU, fully.
    DWORD cpuRate = 0;
};

// Job objects and thread control: what restrains another process.
//
// Every operation maps one to one onto the kernel32 call named beside it and
// keeps that call's contract: failures return NULL / false / (DWORD)-1 and
// leave an error code for KvPlatformKernel::lastError() (Linux: the errno of
// the failing system call). Handles given out here are closed with
// KvPlatformKernel::closeHandle() of the same machine. Everything runs on the
// GUI thread.
class KvPlatformJobs : public KvInstallable<KvPlatformJobs>
{
public:
    // SetInformationJobObject information classes.
    enum JobInformationClass : int {
        JobObjectExtendedLimitInformation = 9,
        JobObjectCpuRateControlInformation = 15,
    };

    // LimitFlags of the extended limits.
    enum JobLimitFlags : DWORD {
        // Processes that a member starts do not join the job.
        JobObjectLimitSilentBreakawayOk = 0x1000,
    };

    // ControlFlags of the CPU rate.
    enum CpuRateControlFlags : DWORD {
        CpuRateControlEnable = 0x1,
        CpuRateControlHardCap = 0x4,
    };

    // OpenThread access right.
    enum ThreadAccess : DWORD {
        ThreadSuspendResume = 0x0002,
    };

    // The value SuspendThread and ResumeThread return on failure.
    static constexpr DWORD SuspendFailed = 0xFFFFFFFFu;

    // A job that an earlier, killed run left behind, as removeLeftoverJobs
    // found it.
    struct LeftoverJob
    {
        // Where it was, for the log (Linux: the cgroup directory).
        QString name;
        // The processes that left it and run free of its cap now.
        QList<DWORD> released;
        // False when it could not be removed; `error` says why.
        bool removed = false;
        DWORD error = 0;
    };

    // What resumeLeftoverSuspension did.
    enum LeftoverResume {
        LeftoverResumed,
        // The earlier run's suspensions are undone, but the process stays
        // suspended: a running copy of the program holds it too.
        LeftoverStillSuspended,
        LeftoverResumeFailed,
    };

    virtual ~KvPlatformJobs() = default;

    static KvPlatformJobs *native();

    // CreateJobObjectW(NULL, NULL): a new, empty job without limits, or NULL.
    // On Linux the job's cgroup is made when the first process joins it.
    virtual HANDLE createJobObject() = 0;

    // SetInformationJobObject(job, JobObjectExtendedLimitInformation, ...).
    // Only JobObjectLimitSilentBreakawayOk is supported; other flags fail
    // with ERROR_INVALID_PARAMETER (Linux: EINVAL). On Linux the kernel puts
    // a new process in its parent's cgroup; with the flag set, such processes
    // are moved back out of the job's cgroup shortly after they appear.
    virtual bool setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info) = 0;

    // SetInformationJobObject(job, JobObjectCpuRateControlInformation, ...).
    // controlFlags 0 turns the cap off. With CpuRateControlEnable the rate
    // must lie in 1..10 000, otherwise the call fails with
    // ERROR_INVALID_PARAMETER (EINVAL); CpuRateControlHardCap is the only
    // other flag accepted. Linux caps are always hard: the job's cgroup gets
    // a quota of rate / 10 000 x CPUs x period, so rate 5 000 on two CPUs is
    // one full CPU, and 10 000 lifts the quota altogether.
    virtual bool setInformationJobObject(HANDLE job,
                                         const KvJobCpuRateControlInformation &info) = 0;

    // AssignProcessToJobObject(job, process): process is a handle from
    // KvPlatformKernel::openProcess of the same machine. A process stays in
    // the job until it exits. Fails with the errno on Linux: EACCES/EPERM
    // without permission, ESRCH when the process is gone, EOPNOTSUPP when no
    // cgroup with the cpu controller can be written.
    //
    // Several running copies of the program may each put one process in a
    // job of their own; the strictest of the caps holds while they do.
    // Windows nests the jobs. Linux keeps the process in the cgroup of the
    // copy that capped it first, with the strictest rate of the copies as its
    // quota (the copies' rates are in a record they share); a copy that lets
    // go hands the process to a copy that still caps it, and the last one
    // returns it to where it came from.
    virtual bool assignProcessToJobObject(HANDLE job, HANDLE process) = 0;

    // Whether CPU caps can be set on this machine for this user at all; when
    // not, reason says why, in words for the log. (No kernel32 counterpart:
    // Windows can always cap.)
    virtual bool cpuCapsAvailable(QString &reason) = 0;
    // IsProcessInJob(process, job, &result): whether the job's limits reach
    // the process. On Linux that is a member of the job that sits in a
    // cgroup of the program; something else may have moved it out since.
    virtual bool isProcessInJob(HANDLE process, HANDLE job, bool &result) = 0;

    // OpenThread(access, FALSE, threadId): a thread handle, or NULL. The
    // handle stays bound to the thread's process: a thread id that is given
    // to another process later is never reached through it.
    virtual HANDLE openThread(DWORD access, DWORD threadId) = 0;

    // SuspendThread / ResumeThread: the thread's previous suspend count, or
    // SuspendFailed. Counts are kept per thread as Windows keeps them: two
    // suspensions and one resume leave the thread suspended, and resuming a
    // thread whose count is 0 does nothing and returns 0. Windows counts
    // every process's suspensions together. On Linux a process is stopped
    // (SIGSTOP, through a pidfd) while any of its threads has a count above
    // 0, and continued (SIGCONT) once all are back at 0 and no other running
    // copy of the program holds it stopped (SIGCONT is not counted, so the
    // copies keep what they hold stopped in a record they share).
    virtual DWORD suspendThread(HANDLE thread) = 0;
    virtual DWORD resumeThread(HANDLE thread) = 0;

    // GetProcessTimes(process, ...) creation time: a stamp that tells one
    // process from a later one that was given the same id. Windows: the
    // FILETIME of the creation. Linux: the start time in clock ticks since
    // boot, tagged with the boot, so stamps of different boots never match.
    virtual bool getProcessCreationTime(HANDLE process, quint64 &creationTime) = 0;

    // Ends what earlier runs of this program, killed while they held them,
    // left in force on their jobs, whether or not anything recorded them:
    // every job such a run made is emptied (its processes go back where the
    // program found them, or to the top of the hierarchy, unless a running
    // copy still caps them) and removed. Jobs of this run and of other
    // running copies are left alone. Returns how many jobs were removed and
    // lists each job found in `found`; -1 where jobs of another run cannot be
    // reached at all (Windows: an unnamed job lasts as long as its
    // processes, and its cap with it).
    virtual int removeLeftoverJobs(QList<LeftoverJob> *found = nullptr) = 0;

    // Undoes the suspensions of a process whose threads an earlier, killed
    // run suspended, `suspensions` times each (each suspension counted once
    // per thread). The suspend counts of that run are gone with it, so this
    // does not go through resumeThread. Windows: ResumeThread on every
    // thread, that many times. Linux: SIGCONT through the process handle's
    // pidfd, unless this run or another running copy holds it stopped.
    virtual LeftoverResume resumeLeftoverSuspension(HANDLE process, DWORD suspensions) = 0;

    // Whether the running copies of the program see what each other holds
    // in force (Linux: in the hold records' shared directory); when not,
    // reason says why, in words for the log, and each copy acts as if it ran
    // alone. (No kernel32 counterpart: Windows counts the suspensions of
    // every copy and nests their jobs itself.)
    virtual bool copiesShareHolds(QString &reason)
    {
        Q_UNUSED(reason)
        return true;
    }

    // The process with this id has ended, as the process events reported
    // it: what this run still keeps of it can go (Linux: its suspend counts,
    // and the hold the other copies see). A later process with the id is
    // left alone. (No kernel32 counterpart: Windows forgets with the
    // process.)
    virtual void processEnded(DWORD processId) { Q_UNUSED(processId) }

protected:
    KvPlatformJobs() = default;
};
