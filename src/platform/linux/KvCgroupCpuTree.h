#pragma once

#include <QtGlobal>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// The part of the cgroup hierarchy with the cpu controller that this program
// writes to: cgroup v2 (cpu.max) in the highest sub-tree it may write, else
// the cgroup v1 cpu controller. Its own groups live under
//     <cpu root>/corvane/run-<pid>-<stamp>/job-<n>
// so that each run (and each running instance) owns one directory, and what
// a killed run left behind can be told from what a live one holds. A process
// that another running copy still caps when this run lets go of it is handed
// to that copy in a group of the copy's directory, job-for-<pid>.
//
// Every failing operation returns false / an empty result with errno set.
class KvCgroupCpuTree
{
public:
    KvCgroupCpuTree() = default;

    // Finds the hierarchy and makes this run's directory. Repeats the search
    // after a failure; EOPNOTSUPP when no cpu controller is usable at all.
    bool prepare();

    // Why the last prepare() failed, in words for the log; empty after one
    // that succeeded.
    QString problem() const { return m_problem; }

    bool isVersion2() const { return m_version2; }
    // The directory under which leftovers of the hierarchy's top end up.
    QString top() const { return m_top; }

    // The group of job `number` of this run, and the same made, without a
    // quota.
    QString jobGroupPath(int number) const;
    QString createJobGroup(int number);
    // Quota of rate (hundredths of a percent of all CPUs); 10 000 or more
    // lifts it.
    bool setRate(const QString &group, quint32 rate);
    // The cgroup v2 freezer; ENOTSUP on v1, whose freezer is a controller
    // of its own.
    bool setFrozen(const QString &group, bool frozen);
    // The periods in which the group's quota held its processes back
    // (nr_throttled of cpu.stat, in both versions).
    static bool timesHeldBack(const QString &group, quint64 &times);
    bool movePid(const QString &group, pid_t pid);
    // Moves the process back to origin; where origin is gone, not known
    // (empty) or refuses it, to the top, or else to a leaf beside the
    // program's directory that limits nothing (corvane-released), which a
    // later start removes once it is empty.
    bool moveBack(const QString &origin, pid_t pid);
    void removeReleasedGroup();
    // The processes (thread-group ids) in the group; false if it is unreadable.
    bool members(const QString &group, QList<pid_t> &pids) const;
    bool removeGroup(const QString &group);
    // The group of this hierarchy that process pid is in, as a directory.
    QString groupOf(pid_t pid) const;

    // Whether the group is a job group of this program (of any run), and
    // whether it lies in this run's directory.
    bool isJobGroup(const QString &group) const;
    bool isOwnGroup(const QString &group) const;
    // A group for a process handed to the run named `run`, in that run's
    // directory: the one that run keeps it in (`wanted`, which must be a job
    // group of that run), else one of its own; empty on failure.
    QString createHandOverGroup(const QString &run, quint32 processId, const QString &wanted);
    // The directories of runs that are no longer alive, and the job groups
    // in one of them.
    QStringList endedRunDirectories() const;
    static QStringList jobGroupsIn(const QString &runDirectory);
    // Removes the directory of a job group's run if that run has ended and
    // left nothing else in it.
    void removeEndedRunOf(const QString &group);
    // Removes this run's directory, with the empty job groups still in it;
    // returns the groups that processes still keep.
    QStringList removeRunDirectory();

    static bool writeFile(const QString &path, const QByteArray &text);

private:
    bool findVersion2();
    bool findVersion1();
    // Keeps errno's text for path as the problem; returns false.
    bool failedAt(const QString &path);
    bool makeDirectory(const QString &path, bool enableCpu);
    QString releasedGroup();

    bool m_prepared = false;
    bool m_version2 = false;
    QString m_mountPoint;
    QByteArray m_mountRoot; // the hierarchy path the mount shows at its top
    QString m_top;          // where our base directory lives
    QString m_base;         // <top>/corvane
    QString m_run;          // <base>/run-<pid>-<stamp>
    QString m_problem;
};
