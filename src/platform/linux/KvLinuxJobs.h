#pragma once

#include "platform/KvPlatformJobs.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvThreadSuspendCounts.h"

#include <QHash>
#include <QPointer>
#include <QString>

#include <memory>

class QTimer;

// Jobs as cgroups with the cpu controller, and suspension as SIGSTOP/SIGCONT
// through pidfds with per-thread counts.
//
// A job's cgroup exists only while the job is capped: a group weighs its
// members together against the rest of the machine, so the members of an
// uncapped job stay where they came from (and, unlike on Windows, the
// processes they start meanwhile do not join). The group is removed once the
// cap is lifted, or once it is empty and no handle refers to the job.
//
// A timer on the event loop keeps watch over the jobs' cgroups while any
// exists: processes that members start land in their parent's cgroup, and
// with the breakaway flag they are moved back to where their ancestor came
// from; members that ended are forgotten, and unreferenced empty jobs
// removed. On destruction (the end of the program) every member goes back
// where it came from and every stopped process is continued, so that no
// restriction outlives the program.
class KvLinuxJobs : public KvPlatformJobs
{
public:
    KvLinuxJobs();
    ~KvLinuxJobs() override;

    HANDLE createJobObject() override;
    bool setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info) override;
    bool setInformationJobObject(HANDLE job, const KvJobCpuRateControlInformation &info) override;
    bool assignProcessToJobObject(HANDLE job, HANDLE process) override;
    bool cpuCapsAvailable(QString &reason) override;
    HANDLE openThread(DWORD access, DWORD threadId) override;
    DWORD suspendThread(HANDLE thread) override;
    DWORD resumeThread(HANDLE thread) override;
    bool getProcessCreationTime(HANDLE process, quint64 &creationTime) override;
    int removeLeftoverJobs() override;
    bool resumeLeftoverSuspension(HANDLE process, DWORD suspensions) override;

    // The cgroup directory of the job behind a handle; empty before the first
    // assignment. For tests and diagnostics.
    QString jobGroup(HANDLE job) const;

    // Called by a job handle as it closes.
    static void jobHandleClosed(int jobNumber);

    // One round of the watch: breakaway, ended members, unreferenced jobs.
    void watchJobs();

private:
    struct Member
    {
        quint64 stamp = 0;
        QString origin; // the group the process came from
    };
    struct Job
    {
        int number = 0;
        QString group;
        bool breakaway = false;
        DWORD rate = 10000; // 10 000: no cap
        bool referenced = true;
        QHash<DWORD, Member> members;
    };

    Job *resolveJob(HANDLE job) const;
    static bool restrains(const Job &job);
    // Brings the job's group in line with its rate: made, capped and filled
    // with the members while a cap is set, emptied and removed otherwise.
    bool settle(Job &job);
    // A new group for the job, with its quota.
    bool makeGroup(Job &job);
    // True once the members are free of any cap.
    bool release(Job &job);
    // Where a process that is not a member goes: the origin of its nearest
    // ancestor among the members.
    QString originFor(const Job &job, DWORD processId) const;
    void watchJob(Job &job);
    void startWatching();
    bool fail(int error = 0);

    static KvLinuxJobs *instance;

    KvCgroupCpuTree tree;
    KvThreadSuspendCounts suspendCounts;
    QHash<int, Job> jobs;
    int lastJobNumber = 0;
    QPointer<QTimer> watchTimer;
};
