#pragma once

#include <QtGlobal>

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

// What each running copy of the program holds in force on other processes,
// where the other copies see it: the processes it keeps stopped, and those
// it caps, with its rate and the cgroup the process came from. The kernel
// counts neither (one SIGCONT continues a process whoever stopped it, and a
// process sits in one cgroup), so a copy that lets go of a process looks
// here first whether another copy still holds it.
//
// Each run writes one small file, named after the run as its cgroup
// directory is (run-<pid>-<creation stamp>), in a directory that the copies
// of one user share: /run/corvane for root, $XDG_RUNTIME_DIR/corvane for
// everyone else. The file of a run that has ended counts for nothing. A copy
// holds the lock (flock on that directory) around "look at the others, act,
// note its own": two copies letting go of one process at once cannot both
// leave it to the other. The kernel drops the lock of a copy that is killed
// with it; one that is stopped keeps it, so the lock is waited for a short
// while only, and a copy that gets no lock acts alone for that step.
//
// Where the directory cannot be used, the copy acts as if it ran alone. A
// copy run as root and one run by a user keep their records apart; each
// says so once when it sees the other.
class KvLinuxHoldRecords
{
public:
    using Process = QPair<quint32, quint64>; // id, creation stamp

    // A cap that another running copy holds on a process.
    struct Cap
    {
        QString run; // the copy's run name
        quint32 rate = 0;
        // The cgroup that copy keeps the process in (a family's keeps them
        // all): where the process goes when it is handed to that copy. Empty
        // where the copy did not say.
        QString group;
    };

    // The lock, while the guard lives. The other runs' records are read
    // under it when first asked about, and this run's is written as it is
    // released. Guards nest: a step over many processes takes the lock
    // once, and writes once, for all of them.
    class Guard
    {
    public:
        explicit Guard(KvLinuxHoldRecords &records)
            : records(records)
        {
            records.lock();
        }
        ~Guard() { records.unlock(); }
        Guard(const Guard &) = delete;
        Guard &operator=(const Guard &) = delete;

    private:
        KvLinuxHoldRecords &records;
    };

    KvLinuxHoldRecords() = default;
    // Removes this run's file, and the directory when no other is left.
    ~KvLinuxHoldRecords();

    // The records of this process, which the CPU groups and the suspension
    // share: made by the first of them, gone after the last.
    static KvLinuxHoldRecords &shared();
    KvLinuxHoldRecords(const KvLinuxHoldRecords &) = delete;
    KvLinuxHoldRecords &operator=(const KvLinuxHoldRecords &) = delete;

    // Everything below is meant to be called under the lock.

    void setStopped(const Process &process, bool stopped);
    // rate 0: this run no longer caps the process. group: where this run
    // keeps it.
    void setCap(const Process &process, quint32 rate, const QString &origin,
                const QString &group = QString());

    bool stoppedByOthers(const Process &process);
    QList<Cap> capsOfOthers(const Process &process);
    // Where the process came from, as any run that capped it noted it,
    // ended runs included; empty when none did.
    QString originOf(const Process &process);

    // Removes the files of runs that have ended.
    void removeEnded();

    // Whether the shared directory can be used, tried now; when not, reason
    // says why. Takes the lock itself: the caller must not hold it.
    bool shared(QString &reason);
    // The shared directory, and this run's file in it; empty where there is
    // none.
    QString directoryPath() const { return directory; }
    QString ownFileName() const { return runName; }

private:
    struct OwnCap
    {
        quint32 rate = 0;
        QString origin;
        QString group;
    };

    void lock();
    void unlock();
    bool openDirectory();
    bool takeLock();
    void noticeCopiesOfOtherUsers();
    void readOthers();
    void write();
    // Notes that what is at name is not used as a record, or is again.
    void refuse(const QString &name, const QString &refusal);

    QString directory;
    QString runName;
    // Why the directory could not be used, the last time it could not.
    QString problem;
    int directoryFd = -1;
    // How many guards are alive: the outermost one locks and unlocks.
    int guards = 0;
    bool locked = false;
    // The last wait for the lock ran out, and the lock has not been had since.
    bool contended = false;
    bool otherUsersNoticed = false;
    QElapsedTimer otherUsersLookedFor;
    bool changed = false;
    bool othersRead = false;

    // This run's holds.
    QSet<Process> stopped;
    QHash<Process, OwnCap> caps;

    // The other runs' holds, as read when the lock was taken.
    QSet<Process> othersStopped;
    QHash<Process, QList<Cap>> othersCaps;
    QHash<Process, QString> origins;
    QStringList endedRuns;
    // Names where something other than a record was found, said once.
    QSet<QString> refused;
};
