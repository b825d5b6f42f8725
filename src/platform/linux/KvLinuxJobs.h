#pragma once

#include "platform/KvPlatformJobs.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvLinuxHoldRecords.h"
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
// Other running copies of the program may cap the same process; what each
// copy holds is in the hold records they share. The process stays in the
// group of the copy that capped it first, and that group's quota is the
// strictest rate of the copies. A copy that lets go while another still caps
// the process hands it to that copy, in a group of the copy's own directory;
// the last one returns it to where it came from. No copy moves a process out
// of a group of another copy that still caps it.
//
// Processes that members start land in their parent's cgroup; with the
// breakaway flag they are moved back to where their ancestor came from: at
// once while the kernel's process connector reports forks (it passes them on
// here), otherwise when a timer looks the groups over, once a second. The
// timer also retries what could not be done at once: members that ended are
// forgotten, and groups and unreferenced jobs left over are removed. On
// destruction (the end of the program) every member goes back where it came
// from, or to a copy that still caps it, and every stopped process that no
// other copy holds is continued, so that no restriction outlives the
// program.
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
    bool isProcessInJob(HANDLE process, HANDLE job, bool &result) override;
    HANDLE openThread(DWORD access, DWORD threadId) override;
    DWORD suspendThread(HANDLE thread) override;
    DWORD resumeThread(HANDLE thread) override;
    bool getProcessCreationTime(HANDLE process, quint64 &creationTime) override;
    int removeLeftoverJobs(QList<LeftoverJob> *found = nullptr) override;
    LeftoverResume resumeLeftoverSuspension(HANDLE process, DWORD suspensions) override;
    bool copiesShareHolds(QString &reason) override;
    void processEnded(DWORD processId) override;

    // The cgroup directory of the job behind a handle; empty before the first
    // assignment. For tests and diagnostics.
    QString jobGroup(HANDLE job) const;

    // Called by a job handle as it closes.
    static void jobHandleClosed(int jobNumber);

    // Called by the process connector: while one is open, forks come as they
    // happen and the timer only stands in for what they cannot do.
    static void forkReportsOpened();
    static void forkReportsClosed();
    static void processForked(DWORD childId, DWORD parentId);
    // Reports were lost: the groups are looked over at once.
    static void forkReportsLost();

    // One round of the watch over every job.
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
        QString group; // this run's group for the job, while a member sits in it
        bool breakaway = false;
        DWORD rate = 10000; // 10 000: no cap
        bool referenced = true;
        QHash<DWORD, Member> members;
    };

    Job *resolveJob(HANDLE job) const;
    static bool restrains(const Job &job);
    // Brings every member in line with the job's rate and the other copies'
    // caps; the errno of the first failure, or 0.
    int settle(Job &job);
    // Puts one member where the caps of every running copy say: in a group
    // with the strictest of them as its quota, or back where it came from.
    // Under the hold records' lock. The errno of the failure, or 0.
    int place(Job &job, DWORD processId, const Member &member);
    bool placed(Job &job, DWORD processId, const Member &member);
    // The strictest of rate and the other copies' rates.
    static quint32 strictestOf(quint32 rate, const QList<KvLinuxHoldRecords::Cap> &others);
    // Moves the process to a group of its own in the directory of a copy
    // that caps it, with the copies' strictest rate.
    bool handOver(DWORD processId, const QList<KvLinuxHoldRecords::Cap> &others);
    bool makeGroup(Job &job);
    // Removes the job's group once no member sits in it; what members
    // started goes where they came from.
    void dropGroupIfUnused(Job &job);
    void forgetEndedMembers(Job &job);
    // Where a process that is not a member goes: the origin of its nearest
    // ancestor among the members.
    QString originFor(const Job &job, DWORD processId) const;
    // Moves the processes that members started out of a group that holds
    // members.
    void breakAway(const Job &job, const QString &group);
    void watchJob(Job &job);
    // Runs the timer while there is something only it can do.
    void updateWatch();
    bool fail(int error = 0);

    static KvLinuxJobs *instance;
    static int forkReporters;

    KvCgroupCpuTree tree;
    KvLinuxHoldRecords records; // before the counts, which use it to the end
    KvThreadSuspendCounts suspendCounts{records};
    QHash<int, Job> jobs;
    int lastJobNumber = 0;
    QPointer<QTimer> watchTimer;
};
