#pragma once

#include "platform/KvPlatformTypes.h"
#include "process/KvHandle.h"
#include "process/KvProcessInfo.h"
#include "process/KvRestrictionJournal.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>

#include <functional>

class KvPlatformJobs;

// The one component that acts on other processes: it caps a process's CPU
// use through a job with a hard CPU-rate cap, or suspends every thread of
// it, and keeps what it did in restriction groups, one per active rule, so
// that a rule can undo everything in one call. It also keeps the table of
// running processes that rules look through for their targets.
//
// It never restrains the program's own process. What it holds in force is
// kept in a journal of this run, so that a run that gets killed is cleaned
// up after by the next governor, before anything else at its construction,
// or by a copy of the program that runs meanwhile, within a few seconds.
// Other copies may run: a governor lifts only what runs that have ended
// left, and each copy's restrictions stand on their own (the platform lets a
// process stay restrained while any copy holds it).
//
// A cap can be lost under it: something else moves the process out of its
// cgroup, or removes the group. While it holds caps it looks every few
// seconds whether each is still in force, and drops one that is not, so
// that the rules that made it no longer count the process as restricted.
// Restrictions of a process that ends go with it.
class KvProcessGovernor : public QObject
{
    Q_OBJECT

public:
    enum Action : unsigned int { LimitCpu = 0, Suspend = 1 };

    // One action that was applied.
    struct Restriction
    {
        Restriction() = default;
        Restriction(unsigned int action, DWORD processId, const KvHandle &job = KvHandle())
            : action(action)
            , processId(processId)
            , job(job)
        {}

        unsigned int action = LimitCpu;
        DWORD processId = KvProcessInfo::noProcessId;
        // For a CPU limit, the process's job as limitCpu returned it.
        KvHandle job;

        // Filled in by the governor when it stores the restriction.
        // The cap this restriction set, for restoring it when another one on
        // the same job is lifted.
        unsigned int percent = 0;
        // The process's creation time at the action (0 if it could not be
        // read), so that a revert never reaches a later process with the id.
        quint64 creationTime = 0;
        // Whether a CPU limit took effect: the process joined its job.
        bool assigned = false;
        // When it was stored, counted over every group.
        quint64 sequence = 0;
    };

    using ProcessTable = QHash<DWORD, QSharedPointer<KvProcessInfo>>;

    // journalDirectory: where the journals of every run are kept; empty for
    // the application's local data directory.
    explicit KvProcessGovernor(QObject *parent = nullptr,
                               const QString &journalDirectory = QString());
    ~KvProcessGovernor() override;

    // Caps the process at percent of the whole machine. Returns its job,
    // also when the process could not be assigned to it; assigned tells
    // whether it was.
    KvHandle limitCpu(DWORD processId, unsigned int percent, bool *assigned = nullptr);
    // Suspends every thread the process has now; false when no thread could
    // be.
    bool suspend(DWORD processId);

    // Stores a new group holding just this restriction; returns its id.
    // Ids run 1, 2, 3, ... and are never handed out twice in a run.
    int addRestrictionGroup(const Restriction &restriction);
    // Appends to a group, creating it empty first if the id has none.
    void appendRestriction(int groupId, const Restriction &restriction);
    // Takes the group out and reverts its restrictions in the order they were
    // added. An id without a group (-1 included) does nothing.
    void removeRestrictionGroup(int groupId);

    const ProcessTable &processes() const { return processTable; }
    // Why the process must not be restrained, in words for the log, or
    // nothing when it may be: it keeps the desktop or the session alive, or
    // this program was started from it. (The program itself is left alone
    // silently by the rules and with a line of its own here.)
    QString whyUnrestrainable(const KvProcessInfo &process) const;
    // Goes up by one at every change of the table, so that whoever keeps
    // what it found in the table can tell whether it missed a change.
    quint64 processTableVersion() const { return tableVersion; }

    // The groups as they stand; for tests and diagnostics.
    const QHash<int, QList<Restriction>> &restrictionGroups() const { return groups; }
    // Whether the group holds a restriction of the process.
    bool holds(int groupId, DWORD processId) const;

    // Whether the caps held are being looked after: only while one is, or a
    // lift that failed waits to be tried again.
    bool checkingCaps() const { return capCheck.isActive(); }

signals:
    // Every cap on the process was lost, and dropped from the groups.
    void capLost(DWORD processId);

public slots:
    void on_processNotifier_ended(DWORD id);
    void on_processNotifier_started(const KvProcessInfo &processInfo);
    // One look at every cap held; the timer calls it.
    void checkCaps();

private:
    struct Applied
    {
        unsigned int percent = 0;
        quint64 creationTime = 0;
        bool assigned = false;
    };

    // Lifts what runs that have ended left: at start every such run's, this
    // governor's predecessors in the process included; later, what copies
    // that were killed meanwhile held.
    void liftLeftovers(const QString &journalDirectory, bool atStart);
    bool isRunningElsewhere(const QString &journalName) const;
    void followOtherRuns();
    void takeOverEndedRuns();
    void resumeLeftoverSuspensions(const QList<KvRestrictionJournal::Entry> &entries);
    void removeLeftoverCaps(const QList<KvRestrictionJournal::Entry> &entries);
    void reportLimits();
    void fillProcessTable();
    bool isOwnProcess(DWORD processId) const;
    static quint64 creationTimeOf(DWORD processId);
    // Whether the restriction's cap still reaches its process; true when
    // that cannot be told.
    static bool capInForce(const Restriction &restriction);
    // Opens every thread the process has now and applies act to it; a thread
    // that cannot be opened is logged with the purpose it was opened for.
    // True when at least one thread was opened.
    bool actOnThreads(DWORD processId, const char *purpose, DWORD (KvPlatformJobs::*act)(HANDLE));
    Restriction completed(const Restriction &restriction);
    // Count a restriction into / out of the groups.
    void hold(const Restriction &restriction);
    void release(const Restriction &restriction);
    // Takes out every restriction that matches, unreverted, and forgets it.
    void drop(const std::function<bool(const Restriction &)> &matches);
    void revert(const Restriction &restriction);
    void revertCap(const Restriction &restriction);
    void reportLift(const Restriction &restriction, const Restriction *remaining);
    void retryLifts();
    // Runs the check of the caps while caps are held or lifts wait.
    void updateCapCheck();
    void revertSuspension(const Restriction &restriction);
    bool isRestrained(DWORD processId) const;
    // The cap still held on job by a remaining group, the latest one added.
    const Restriction *latestCapOn(const KvHandle &job) const;
    void record(KvRestrictionJournal::Kind kind, DWORD processId, quint64 creationTime);
    void forget(KvRestrictionJournal::Kind kind, const Restriction &restriction);
    void reportJournalWrite(bool written);

    QHash<int, QList<Restriction>> groups;
    int lastGroupId = 0;
    quint64 lastSequence = 0;
    QHash<DWORD, KvHandle> jobs;
    ProcessTable processTable;
    quint64 tableVersion = 0;
    // The latest action per process, until the rule stores its restriction.
    QHash<DWORD, Applied> lastCaps;
    QHash<DWORD, Applied> lastSuspensions;
    KvRestrictionJournal journal;
    bool journalFailureReported = false;
    // How many restrictions the groups hold per process, and how many caps
    // in force, so that neither a process's start or end nor the check of
    // the caps has to look through every group.
    QHash<DWORD, int> heldProcesses;
    int heldCaps = 0;
    // Caps whose lift failed: their processes still run under a quota.
    QList<Restriction> pendingLifts;
    QTimer capCheck;
    QFileSystemWatcher journalWatcher;
    QTimer endedRunCheck;
};
