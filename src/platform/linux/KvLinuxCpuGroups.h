#pragma once

#include "platform/KvPlatformCpuGroups.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvLinuxHoldRecords.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>

#include <memory>

class KvOtherRunsWatch;
class QTimer;

// CPU groups as cgroups with the cpu controller.
//
// A group's cgroup exists only while the group is capped: a cgroup weighs
// its members together against the rest of the machine, so the members of an
// uncapped group stay where they came from (and, unlike on Windows, the
// processes they start meanwhile do not join). The cgroup is removed once the
// cap is lifted, or once it is empty and the group is let go of.
//
// Other running copies of the program may cap the same process; what each
// copy holds is in the hold records they share. The process stays in the
// group of the copy that capped it first, and that group's quota is the
// strictest rate of the copies. A copy that lets go while another still caps
// the process hands it to that copy, in a group of the copy's own directory;
// the last one returns it to where it came from. No copy moves a process out
// of a group of another copy that still caps it.
//
// Processes that members start land in their parent's cgroup and are moved
// back to where their ancestor came from: at once while the kernel's process
// connector reports forks (it passes them on here), otherwise when a timer
// looks the groups over, once a second. The timer also retries what could
// not be done at once: members that ended are forgotten, and cgroups and
// groups let go of are removed. On destruction (the end of the program)
// every member goes back where it came from, or to a copy that still caps
// it, so that no cap outlives the program.
class KvLinuxCpuGroups : public KvPlatformCpuGroups
{
public:
    KvLinuxCpuGroups();
    ~KvLinuxCpuGroups() override;

    KvResult<std::unique_ptr<KvCpuGroup>> create(bool shared) override;
    KvStatus available() override;
    KvResult<QList<KvLeftoverGroup>> removeLeftovers() override;
    KvStatus copiesShareHolds() override;

    // What the groups the governor holds ask for, by the group's number.
    KvStatus setRate(int number, quint32 rate);
    QList<KvStatus> add(int number, const QList<quint32> &processIds);
    KvResult<bool> reaches(int number, quint32 processId);
    KvStatus setFrozen(int number, bool frozen);
    KvResult<quint64> timesHeldBack(int number);
    void groupClosed(int number);

    // The cgroup directory of a group of this backend; empty before the
    // first member. For tests and diagnostics.
    QString cgroupOf(const KvCpuGroup &group) const;

    // Called by the process connector: while one is open, forks come as they
    // happen and the timer only stands in for what they cannot do.
    static void forkReportsOpened();
    static void forkReportsClosed();
    static void processForked(quint32 childId, quint32 parentId);
    // Reports were lost: the groups are looked over at once.
    static void forkReportsLost();

    // One round of the watch over every group.
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
        // Whether what members start leaves the group: false for a group
        // shared by a family.
        bool breakaway = false;
        quint32 rate = KvCpuGroup::unlimited;
        bool frozen = false;
        bool referenced = true;
        QHash<quint32, Member> members;
        // When the watch last found the group holding its members alone.
        QElapsedTimer confirmed;
    };

    // Whether the job caps or freezes its members.
    static bool restrains(const Job &job);
    static bool holds(const Job &job, quint32 processId, quint64 stamp);
    // A restraining job other than except that holds the process, a
    // family's first.
    Job *jobHolding(quint32 processId, quint64 stamp, const Job *except);
    // What a job's members are held to, worked out once for all of them:
    // the rate this copy holds the group to (its own cap, or the stricter cap
    // of a member that another of its groups holds too), and the quota of the
    // group, the strictest of that rate and the other copies' caps on any
    // member. Under the hold records' lock.
    struct Terms
    {
        quint32 rate = KvCpuGroup::unlimited;
        quint32 quota = KvCpuGroup::unlimited;
    };
    Terms termsOf(const Job &job);
    quint32 rateOf(const Job &job) const;
    // Brings every member in line with the job's rate and the other copies'
    // caps; the errno of the first failure, or 0.
    int settle(Job &job);
    // Sets the quota of the job's group, if it has one and restrains; the
    // errno of the failure, or 0.
    int setQuota(Job &job, quint32 quota);
    // Puts one member where the caps of every running copy say: in a group
    // with the strictest of them as its quota (the job's group, made with
    // quota if need be), or back where it came from. Under the hold records'
    // lock. The errno of the failure, or 0.
    int place(Job &job, quint32 processId, const Member &member, const Terms &terms);
    bool placed(Job &job, quint32 processId, const Member &member, const Terms &terms);
    // The strictest of rate and the other copies' rates.
    static quint32 strictestOf(quint32 rate, const QList<KvLinuxHoldRecords::Cap> &others);
    // Moves the process to the group that a copy that caps it keeps it in
    // (a family's, where that copy holds a family), or to a group of its own
    // in that copy's directory, with the copies' strictest rate.
    bool handOver(quint32 processId, const QList<KvLinuxHoldRecords::Cap> &others);
    // A process that joins the job, and where it came from; the single-cap
    // jobs of this copy it leaves are added to left.
    Member newMember(Job &job, quint32 processId, quint64 stamp, QSet<Job *> &left);
    // Makes the job's group with its quota, frozen if the job is.
    bool makeGroup(Job &job, quint32 quota);
    // Removes the job's group once no member sits in it; what members
    // started goes where they came from.
    void dropGroupIfUnused(Job &job);
    void forgetEndedMembers(Job &job);
    // Where a process that is not a member goes: the origin of its nearest
    // ancestor among the members.
    QString originFor(const Job &job, quint32 processId) const;
    // Moves the processes that members started out of a group that holds
    // members.
    void breakAway(const Job &job, const QString &group);
    void watchJob(Job &job);
    // Runs the timer while there is something only it can do, and the
    // watch of the other copies while this one restrains anything.
    void updateWatch();
    // Another copy changed what it holds, or ended: every group that
    // restrains is brought in line with what the copies that still run hold.
    void followOtherCopies();
    static KvLinuxCpuGroups *instance;
    static int forkReporters;

    KvCgroupCpuTree tree;
    KvLinuxHoldRecords &records;
    QHash<int, Job> jobs;
    int lastJobNumber = 0;
    QPointer<QTimer> watchTimer;
    std::unique_ptr<KvOtherRunsWatch> otherCopies;
};
