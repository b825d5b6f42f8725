#pragma once

#include "platform/KvResult.h"
#include "process/KvProcessInfo.h"
#include "process/KvRestrictionJournal.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QTimer>

#include <functional>
#include <memory>

class KvCpuGroup;
class KvRestrictionRecovery;

// The one component that acts on other processes: it caps a process's CPU
// use through a CPU group (a job object, a cgroup), or suspends it, and
// keeps what it did in restriction groups, one per active rule, so that a
// rule can lift everything in one call. It also keeps the table of running
// processes that rules look through for their targets.
//
// It never restrains the program's own process. What it holds in force is
// kept in a journal of this run, so that a run that gets killed is cleaned
// up after by the next start, or by a copy of the program that runs
// meanwhile (KvRestrictionRecovery). Each copy's restrictions stand on their
// own: the platform lets a process stay restrained while any copy holds it.
//
// A cap can be lost under it: something else moves the process out of its
// cgroup, or removes the group. While it holds caps it looks every few
// seconds whether each is still in force, and lets go of one that is not, so
// that the rules that made it no longer count the process as restricted. A
// lift that fails is tried again at the same pace until it works or the
// process ends. Restrictions of a process that ends go with it.
class KvProcessGovernor : public QObject
{
    Q_OBJECT

public:
    enum class Action { LimitCpu, Suspend };

    // One action held.
    struct Restriction
    {
        Action action = Action::LimitCpu;
        quint32 processId = KvProcessInfo::noProcessId;
        // For a cap: the process's group, which every rule capping it shares,
        // or its family's.
        std::shared_ptr<KvCpuGroup> group;
        // Held with its family: the restriction group's processes and what
        // they start share one CPU group, under one cap or frozen together.
        bool shared = false;
        // The cap, for restoring it when another one on the group is lifted.
        unsigned int percent = 0;
        // The process's start time at the action (0 if it could not be
        // read), so that a lift never reaches a later process with the id.
        quint64 creationTime = 0;
        // Whether the action took effect.
        bool inForce = false;
        // When it was held, counted over every group.
        quint64 sequence = 0;
    };

    // What hold() did.
    struct Held
    {
        // The restriction group it went into.
        int groupId = -1;
        bool inForce = false;
    };

    using ProcessTable = QHash<quint32, QSharedPointer<KvProcessInfo>>;

    // journalDirectory: where the journals of every run are kept; empty for
    // the application's local data directory.
    explicit KvProcessGovernor(QObject *parent = nullptr,
                               const QString &journalDirectory = QString());
    ~KvProcessGovernor() override;

    // Caps the process at percent of the whole machine, or suspends it, and
    // keeps the restriction in the group groupId; -1 makes a new group. Group
    // ids run 1, 2, 3, ... and are never handed out twice in a run. A
    // restriction that failed is kept as well (holds() finds it), but leaves
    // the journal at once: lifting has nothing of it to undo. shared holds the process with the
    // group's family: one cap of percent for all of them together, which whatever they start joins
    // by itself; or suspended, the family frozen as well where the platform can freeze (nothing it
    // starts runs meanwhile).
    Held hold(int groupId, Action action, quint32 processId, unsigned int percent = 0,
              bool shared = false);
    // The same for many processes in one step (one journal write, and one
    // move of a family into its group), in the order given; groupId is set
    // to the group they went into. Returns the processes it holds in force.
    QList<quint32> holdAll(int &groupId, Action action, const QList<quint32> &processIds,
                           unsigned int percent = 0, bool shared = false);
    // Takes the group out and lifts its restrictions in the order they were
    // held. An id without a group (-1 included) does nothing.
    void lift(int groupId);
    // The same for several groups, with one write of the journal.
    void lift(const QList<int> &groupIds);

    const ProcessTable &processes() const { return processTable; }
    // Goes up by one at every change of the table, so that whoever keeps
    // what it found in the table can tell whether it missed a change.
    quint64 processTableVersion() const { return tableVersion; }
    // Why the process must not be restrained, in words for the log, or
    // nothing when it may be: it keeps the desktop or the session alive, or
    // this program was started from it. (The program itself is left alone
    // silently by the rules and with a line of its own here.)
    QString whyUnrestrainable(const KvProcessInfo &process) const;

    // The groups as they stand; for tests and diagnostics.
    const QHash<int, QList<Restriction>> &restrictionGroups() const { return groups; }
    // Whether the group holds a restriction of the process.
    bool holds(int groupId, quint32 processId) const;
    // How many times so far the group's cap on the process held it back
    // (KvCpuGroup::timesHeldBack); fails for a process it does not cap.
    KvResult<quint64> timesHeldBack(int groupId, quint32 processId) const;

    // Whether the caps held are being looked after: only while one is, or a
    // lift that failed waits to be tried again.
    bool checkingCaps() const { return capCheck.isActive(); }

signals:
    // Every cap on the process was lost, and let go of.
    void capLost(quint32 processId);

public slots:
    void followStart(const KvProcessInfo &process);
    void followEnd(quint32 processId);
    // One look at every cap held; the timer calls it.
    void checkCaps();

private:
    bool isOwnProcess(quint32 processId) const;
    static quint64 creationTimeOf(quint32 processId);
    void reportLimits();
    void fillProcessTable();
    // Says once per process that it only bears the name of a process the
    // user needs, and is restrained all the same.
    void reportBorrowedName(quint32 processId);
    bool limitCpu(Restriction &restriction);
    // Lifts a group; what it lifted and the suspensions still to resume go
    // to the lists.
    void liftGroup(int groupId, QList<Restriction> &lifted, QList<Restriction> &suspensions);
    void limitFamily(QList<Restriction> &members, int groupId);
    void suspendAll(QList<Restriction> &restrictions, int groupId);
    void reportCapFailure(const Restriction &restriction, const KvStatus &failure);
    void reportAssignFailure(quint32 processId, const KvStatus &failure);
    static QList<quint32> processIdsOf(const QList<Restriction> &restrictions);
    // The family's one CPU group, made (with its cap, or frozen) by the
    // first member.
    std::shared_ptr<KvCpuGroup> familyGroup(int groupId, const Restriction &first, KvStatus &made);
    void keep(int groupId, const Restriction &restriction);
    // Whether the cap was lifted (else it is tried again later).
    bool undoCap(const Restriction &restriction);
    void resumeAll(const QList<Restriction> &suspensions);
    // Lifts the cap down to what another rule still holds of it, if any.
    KvStatus liftCap(const Restriction &restriction);
    void reportLift(const Restriction &restriction, const Restriction *remaining);
    // Lets go of every restriction that matches, without undoing it: it
    // ended with its process, or something else undid it.
    void lose(const std::function<bool(const Restriction &)> &matches);
    // Counts a restriction into / out of the bookkeeping below.
    void count(const Restriction &restriction, int by);
    void updateCapCheck();
    bool isRestrained(quint32 processId) const;
    // The cap still held on the group by a remaining restriction, the latest.
    const Restriction *latestCapOn(const KvCpuGroup *group) const;
    static bool capInForce(const Restriction &restriction);
    // Writes the restrictions into the journal, or out of it, in one write;
    // false when the journal could not be written.
    bool note(const QList<Restriction> &restrictions, bool held);

    QHash<int, QList<Restriction>> groups;
    int lastGroupId = 0;
    quint64 lastSequence = 0;
    // One CPU group per capped process, which its rules share.
    QHash<quint32, std::shared_ptr<KvCpuGroup>> cpuGroups;
    // One per restriction group that holds a family.
    QHash<int, std::shared_ptr<KvCpuGroup>> families;
    ProcessTable processTable;
    quint64 tableVersion = 0;
    KvRestrictionJournal journal;
    bool journalFailureReported = false;
    KvRestrictionRecovery *recovery;
    // How many restrictions the groups hold per process, and how many caps
    // in force, so that neither a process's start or end nor the check of
    // the caps has to look through every group.
    QHash<quint32, int> heldProcesses;
    int heldCaps = 0;
    // Caps whose lift failed: their processes still run under a quota.
    QList<Restriction> pendingLifts;
    // The processes said to bear a borrowed name, until they end or run
    // another program.
    QSet<quint32> borrowersReported;
    QTimer capCheck;
};
