#include "process/KvProcessGovernor.h"

#include "platform/KvPlatformCpuGroups.h"
#include "platform/KvPlatformLifeline.h"
#include "platform/KvPlatformProcesses.h"
#include "platform/KvPlatformShell.h"
#include "platform/KvPlatformSuspension.h"
#include "process/KvRestrictionRecovery.h"
#include "support/KvLog.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace {

// How often the caps held are looked at. A lost cap shows in the rules list
// this much later at most; each look costs a few reads per capped process.
const int capCheckIntervalMs = 5000;

KvRestrictionJournal::Kind kindOf(KvProcessGovernor::Action action)
{
    return action == KvProcessGovernor::Action::LimitCpu ? KvRestrictionJournal::Kind::Cap
                                                         : KvRestrictionJournal::Kind::Suspension;
}

} // namespace

KvProcessGovernor::KvProcessGovernor(QObject *parent, const QString &journalDirectory)
    : QObject(parent)
    , journal(journalDirectory.isEmpty() ? KvRestrictionJournal::pathOfThisRun()
                                         : KvRestrictionJournal::pathOfThisRun(journalDirectory))
    , recovery(new KvRestrictionRecovery(journal.path(), this))
{
    reportLimits();
    fillProcessTable();
    capCheck.setInterval(capCheckIntervalMs);
    capCheck.setTimerType(Qt::VeryCoarseTimer);
    connect(&capCheck, &QTimer::timeout, this, &KvProcessGovernor::checkCaps);
}

KvProcessGovernor::~KvProcessGovernor() = default;

void KvProcessGovernor::reportLimits()
{
    // Said once, at start, with the reason: each cap that fails later only
    // logs its error code, and a copy that acts alone says nothing more.
    const KvStatus caps = KvPlatformCpuGroups::current().available();
    if (!caps)
        kvCritical(lcGovernor) << "CPU limits cannot be applied (suspension still works): "
                               << caps.error().message;
    const KvStatus shared = KvPlatformCpuGroups::current().copiesShareHolds();
    if (!shared)
        kvWarning(lcGovernor) << "copies of the program running at once will not coordinate "
                                 "their restrictions: "
                              << shared.error().message;
}

void KvProcessGovernor::fillProcessTable()
{
    for (const KvProcessInfo &process : KvProcessInfo::running())
        processTable.insert(process.processId, QSharedPointer<KvProcessInfo>::create(process));
    ++tableVersion;
}

QString KvProcessGovernor::whyUnrestrainable(const KvProcessInfo &process) const
{
    const QString role =
        KvPlatformShell::current().essentialRole(process.processId, process.fileInfo.filePath());
    if (!role.isEmpty())
        return QStringLiteral("it is ") + role;
    if (process.processId == KvPlatformLifeline::current().processId())
        return QStringLiteral("it is this program's lifeline");
    // The processes this program was started from: the shell and terminal
    // it may be stopped from, up the parents as the table knows them.
    quint32 ancestor = KvPlatformProcesses::current().ownId();
    for (int depth = 0; depth < 64; ++depth) {
        const QSharedPointer<KvProcessInfo> record = processTable.value(ancestor);
        if (!record || record->parentProcessId == ancestor)
            break;
        ancestor = record->parentProcessId;
        if (ancestor == process.processId)
            return QStringLiteral("this program was started from it");
    }
    return QString();
}

void KvProcessGovernor::reportBorrowedName(quint32 processId)
{
    const QSharedPointer<KvProcessInfo> process = processTable.value(processId);
    if (!process || borrowersReported.contains(processId))
        return;
    const QString path = process->fileInfo.filePath();
    const QString role = KvPlatformShell::current().borrowedRole(processId, path);
    if (role.isEmpty())
        return;
    borrowersReported.insert(processId);
    kvInfo(lcGovernor) << "process #" << processId << " (" << QDir::toNativeSeparators(path)
                       << ") borrows the name of " << role
                       << " but is not it: it is restrained like any other process";
}

// ---- actions

bool KvProcessGovernor::isOwnProcess(quint32 processId) const
{
    return processId == KvPlatformProcesses::current().ownId();
}

quint64 KvProcessGovernor::creationTimeOf(quint32 processId)
{
    return KvPlatformProcesses::current().startTime(processId).valueOr(0);
}

KvProcessGovernor::Held KvProcessGovernor::hold(int groupId, Action action, quint32 processId,
                                                unsigned int percent, bool shared)
{
    const QList<quint32> inForce = holdAll(groupId, action, {processId}, percent, shared);
    return Held{groupId, !inForce.isEmpty()};
}

QList<quint32> KvProcessGovernor::holdAll(int &groupId, Action action,
                                          const QList<quint32> &processIds, unsigned int percent,
                                          bool shared)
{
    if (groupId < 0) {
        do {
            ++lastGroupId;
        } while (groups.contains(lastGroupId));
        groupId = lastGroupId;
    }
    QList<Restriction> all;
    QList<Restriction> others; // all but the program's own process, in order
    for (const quint32 processId : processIds) {
        Restriction restriction;
        restriction.action = action;
        restriction.processId = processId;
        restriction.percent = percent;
        restriction.shared = shared;
        if (isOwnProcess(processId)) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " is this program itself and is not restrained";
        } else {
            reportBorrowedName(processId);
            restriction.creationTime = creationTimeOf(processId);
            others.append(restriction);
        }
        all.append(restriction);
    }
    // In the journal before they take effect: a run killed in between leaves
    // nothing unnoted, and what cannot be noted is not done, as it could
    // outlive a crash. What did not take effect leaves the journal at once:
    // there is nothing of it to lift after a crash. One write each way,
    // however many processes: a family of thousands is held in one step.
    if (!others.isEmpty() && note(others, true)) {
        if (action == Action::Suspend)
            suspendAll(others, groupId);
        else if (shared)
            limitFamily(others, groupId);
        else
            for (Restriction &restriction : others)
                restriction.inForce = limitCpu(restriction);
        QList<Restriction> failed;
        std::copy_if(others.cbegin(), others.cend(), std::back_inserter(failed),
                     [](const Restriction &restriction) { return !restriction.inForce; });
        if (!failed.isEmpty())
            note(failed, false);
    }
    QList<quint32> inForce;
    auto acted = others.cbegin();
    for (Restriction &restriction : all) {
        if (!isOwnProcess(restriction.processId))
            restriction = *acted++;
        keep(groupId, restriction);
        if (restriction.inForce)
            inForce.append(restriction.processId);
    }
    return inForce;
}

std::shared_ptr<KvCpuGroup> KvProcessGovernor::familyGroup(int groupId, const Restriction &first,
                                                           KvStatus &made)
{
    std::shared_ptr<KvCpuGroup> group = families.value(groupId);
    if (group)
        return group;
    KvResult<std::unique_ptr<KvCpuGroup>> created = KvPlatformCpuGroups::current().create(true);
    if (!created) {
        made = created.error();
        return group;
    }
    group = created.take();
    // Capped or frozen before anyone is in it: what members start meanwhile
    // is restrained from the first.
    made = first.action == Action::LimitCpu ? group->setRate(first.percent * 100)
                                            : group->setFrozen(true);
    if (made)
        families.insert(groupId, group);
    return group;
}

void KvProcessGovernor::reportCapFailure(const Restriction &restriction, const KvStatus &failure)
{
    kvCriticalWithCode(lcGovernor, failure.error().code)
        << "failed to limit CPU of process #" << restriction.processId << " to "
        << restriction.percent << "%";
}

void KvProcessGovernor::reportAssignFailure(quint32 processId, const KvStatus &failure)
{
    kvCriticalWithCode(lcGovernor, failure.error().code)
        << "failed to assign process #" << processId << " to job object";
}

bool KvProcessGovernor::limitCpu(Restriction &restriction)
{
    const quint32 processId = restriction.processId;
    std::shared_ptr<KvCpuGroup> group = cpuGroups.value(processId);
    KvStatus done;
    if (!group) {
        // One that cannot be made now is tried again at the next cap.
        KvResult<std::unique_ptr<KvCpuGroup>> made = KvPlatformCpuGroups::current().create();
        if (made) {
            group = made.take();
            cpuGroups.insert(processId, group);
        } else {
            done = made.error();
        }
    }
    // A cap the group does not take must not be reported as in force.
    if (group)
        done = group->setRate(restriction.percent * 100);
    restriction.group = group;
    if (!done) {
        reportCapFailure(restriction, done);
        return false;
    }
    done = group->add(processId);
    if (!done) {
        reportAssignFailure(processId, done);
        // The process's group may hold it under another cap in force: that
        // one stands, not the rate of the cap that failed.
        const Restriction *standing = latestCapOn(group.get());
        group->setRate(standing ? standing->percent * 100 : KvCpuGroup::unlimited);
        return false;
    }
    kvInfo(lcGovernor) << "process #" << processId << " CPU limited to " << restriction.percent
                       << "%";
    return true;
}

void KvProcessGovernor::limitFamily(QList<Restriction> &members, int groupId)
{
    // A family's share is told by its rule; each member is only put in its
    // one group.
    KvStatus made;
    const std::shared_ptr<KvCpuGroup> group = familyGroup(groupId, members.first(), made);
    if (!made) {
        for (const Restriction &member : qAsConst(members))
            reportCapFailure(member, made);
        return;
    }
    const QList<KvStatus> added = group->addAll(processIdsOf(members));
    for (int i = 0; i < members.size(); ++i) {
        members[i].group = group;
        members[i].inForce = added.at(i).ok();
        if (!members[i].inForce)
            reportAssignFailure(members[i].processId, added.at(i));
    }
}

void KvProcessGovernor::suspendAll(QList<Restriction> &restrictions, int groupId)
{
    // A thread or process that cannot be reached is logged by the platform.
    const QList<KvStatus> suspended =
        KvPlatformSuspension::current().suspendAll(processIdsOf(restrictions));
    QList<quint32> stopped;
    for (int i = 0; i < restrictions.size(); ++i) {
        restrictions[i].inForce = suspended.at(i).ok();
        if (!restrictions[i].inForce)
            continue;
        stopped.append(restrictions[i].processId);
        kvInfo(lcGovernor) << "process #" << restrictions[i].processId << " threads suspended";
    }
    if (stopped.isEmpty() || !restrictions.first().shared)
        return;
    // The freezer also stops what the family started before it was
    // stopped, and what no process event names; without one, the stop of
    // each member holds the family.
    KvStatus frozen;
    const std::shared_ptr<KvCpuGroup> family = familyGroup(groupId, restrictions.first(), frozen);
    QList<KvStatus> added;
    if (frozen && family)
        added = family->addAll(stopped);
    for (int i = 0; i < stopped.size(); ++i) {
        const KvStatus &done = added.isEmpty() ? frozen : added.at(i);
        if (!done && done.error().code != ENOTSUP) {
            kvWarning(lcGovernor) << "process #" << stopped.at(i)
                                  << " could not be frozen with its family ("
                                  << done.error().message << "); it stays suspended";
        }
    }
}

QList<quint32> KvProcessGovernor::processIdsOf(const QList<Restriction> &restrictions)
{
    QList<quint32> ids;
    ids.reserve(restrictions.size());
    for (const Restriction &restriction : restrictions)
        ids.append(restriction.processId);
    return ids;
}

// ---- groups

void KvProcessGovernor::keep(int groupId, const Restriction &restriction)
{
    Restriction kept = restriction;
    kept.sequence = ++lastSequence;
    groups[groupId].append(kept);
    count(kept, 1);
}

void KvProcessGovernor::lift(int groupId)
{
    lift(QList<int>{groupId});
}

void KvProcessGovernor::lift(const QList<int> &groupIds)
{
    QList<Restriction> lifted;
    QList<Restriction> suspensions;
    for (const int groupId : groupIds)
        liftGroup(groupId, lifted, suspensions);
    resumeAll(suspensions);
    note(lifted + suspensions, false);
}

void KvProcessGovernor::liftGroup(int groupId, QList<Restriction> &lifted,
                                  QList<Restriction> &suspensions)
{
    auto found = groups.find(groupId);
    if (found == groups.end())
        return;
    const QList<Restriction> restrictions = found.value();
    groups.erase(found);
    // A frozen family thaws before its members are resumed; a capped one is
    // lifted with its first member.
    const std::shared_ptr<KvCpuGroup> family = families.take(groupId);
    // (A family whose every member ended holds no restriction any more.)
    if (family && !restrictions.isEmpty() && restrictions.first().action == Action::Suspend) {
        const KvStatus thawed = family->setFrozen(false);
        if (!thawed) {
            kvCriticalWithCode(lcGovernor, thawed.error().code)
                << "failed to thaw the family of process #" << restrictions.first().processId;
        }
    }
    // The other members were under the same group: once it is lifted, each
    // one's lift is only said (until then, each tries it in turn). What was
    // lifted leaves the journal in one write; a cap whose lift failed stays
    // in it, to be tried again.
    bool familyLifted = false;
    for (const Restriction &restriction : restrictions) {
        count(restriction, -1);
        // Never applied, so there is nothing to undo.
        if (!restriction.inForce)
            continue;
        if (restriction.action == Action::Suspend) {
            suspensions.append(restriction);
            continue;
        }
        if (family && restriction.group == family && familyLifted)
            reportLift(restriction, nullptr);
        else if (!undoCap(restriction))
            continue;
        familyLifted = familyLifted || (family && restriction.group == family);
        lifted.append(restriction);
    }
}

bool KvProcessGovernor::holds(int groupId, quint32 processId) const
{
    const auto group = groups.constFind(groupId);
    return group != groups.constEnd() &&
           std::any_of(group->cbegin(), group->cend(), [processId](const Restriction &held) {
               return held.processId == processId;
           });
}

KvResult<quint64> KvProcessGovernor::timesHeldBack(int groupId, quint32 processId) const
{
    for (const Restriction &held : groups.value(groupId)) {
        if (held.processId == processId && held.action == Action::LimitCpu && held.inForce)
            return held.group->timesHeldBack();
    }
    return KvError::fromErrno(ESRCH);
}

void KvProcessGovernor::count(const Restriction &restriction, int by)
{
    const auto held = heldProcesses.insert(restriction.processId,
                                           heldProcesses.value(restriction.processId) + by);
    if (*held <= 0)
        heldProcesses.erase(held);
    if (restriction.action == Action::LimitCpu && restriction.inForce) {
        heldCaps += by;
        updateCapCheck();
    }
}

void KvProcessGovernor::updateCapCheck()
{
    if (heldCaps > 0 || !pendingLifts.isEmpty()) {
        if (!capCheck.isActive())
            capCheck.start();
    } else {
        capCheck.stop();
    }
}

void KvProcessGovernor::lose(const std::function<bool(const Restriction &)> &matches)
{
    QList<Restriction> gone;
    for (QList<Restriction> &group : groups) {
        for (auto it = group.begin(); it != group.end();) {
            if (!matches(*it)) {
                ++it;
                continue;
            }
            count(*it, -1);
            if (it->inForce)
                gone.append(*it);
            it = group.erase(it);
        }
    }
    note(gone, false);
}

void KvProcessGovernor::checkCaps()
{
    // A lift that failed before is tried again.
    const QList<Restriction> pending = pendingLifts;
    pendingLifts.clear();
    for (const Restriction &restriction : pending) {
        if (liftCap(restriction))
            note({restriction}, false);
        else
            pendingLifts.append(restriction);
    }
    // One look per group, however many rules share its cap.
    // (A family's members are looked at one by one: one taken out leaves
    // the others under the cap.)
    QList<Restriction> lost;
    QSet<const KvCpuGroup *> looked;
    for (const QList<Restriction> &group : qAsConst(groups)) {
        for (const Restriction &held : group) {
            if (held.action != Action::LimitCpu || !held.inForce ||
                looked.contains(held.group.get()))
                continue;
            if (!held.shared)
                looked.insert(held.group.get());
            if (!capInForce(held))
                lost.append(held);
        }
    }
    for (const Restriction &cap : qAsConst(lost)) {
        const KvCpuGroup *group = cap.group.get();
        // Every rule's cap on the process went: they share its group.
        lose([group, &cap](const Restriction &held) {
            return held.action == Action::LimitCpu && held.group.get() == group &&
                   (!cap.shared || held.processId == cap.processId);
        });
        // Nor may the cap come back should the process rejoin the group, or
        // stay noted where the other copies look. It is not in force either
        // way, so a failure here is nothing to report.
        if (!cap.shared)
            cap.group->setRate(KvCpuGroup::unlimited);
        kvWarning(lcGovernor) << "process #" << cap.processId
                              << " CPU limit lost: the process was taken out of it by something "
                                 "else";
        emit capLost(cap.processId);
    }
    updateCapCheck();
}

bool KvProcessGovernor::isRestrained(quint32 processId) const
{
    // Every known process that executes another program asks: the groups
    // are looked through, and the process read, only for one held at all.
    if (!heldProcesses.contains(processId))
        return false;
    const quint64 creationTime = creationTimeOf(processId);
    for (const QList<Restriction> &group : groups) {
        for (const Restriction &held : group) {
            if (held.processId == processId && held.creationTime == creationTime)
                return true;
        }
    }
    return false;
}

const KvProcessGovernor::Restriction *KvProcessGovernor::latestCapOn(const KvCpuGroup *group) const
{
    const Restriction *latest = nullptr;
    if (!group)
        return latest;
    for (const QList<Restriction> &held : groups) {
        for (const Restriction &restriction : held) {
            if (restriction.action == Action::LimitCpu && restriction.inForce &&
                restriction.group.get() == group &&
                (!latest || restriction.sequence > latest->sequence))
                latest = &restriction;
        }
    }
    return latest;
}

bool KvProcessGovernor::capInForce(const Restriction &restriction)
{
    // A process that has ended, or a later one with its id, tells nothing.
    if (creationTimeOf(restriction.processId) != restriction.creationTime)
        return true;
    return restriction.group->reaches(restriction.processId).valueOr(true);
}

bool KvProcessGovernor::undoCap(const Restriction &restriction)
{
    // Something else may have taken the process out of its group meanwhile
    // (moved it to another cgroup, removed the group).
    if (restriction.inForce && !capInForce(restriction)) {
        kvInfo(lcGovernor) << "process #" << restriction.processId
                           << " had been taken out of its CPU limit by something else";
    }
    const KvStatus lifted = liftCap(restriction);
    if (lifted)
        return true;
    kvCriticalWithCode(lcGovernor, lifted.error().code)
        << "failed to remove CPU limit of process #" << restriction.processId;
    // Tried again until it works or the process ends; the journal keeps it
    // meanwhile, so that a later start lifts it should this run end.
    pendingLifts.append(restriction);
    updateCapCheck();
    return false;
}

KvStatus KvProcessGovernor::liftCap(const Restriction &restriction)
{
    // Another rule may still cap the same process: its cap stays in force.
    const Restriction *remaining = latestCapOn(restriction.group.get());
    // Without a group the cap was never in force, and there is nothing to lift.
    if (restriction.group) {
        const KvStatus lifted = restriction.group->setRate(remaining ? remaining->percent * 100
                                                                     : KvCpuGroup::unlimited);
        if (!lifted)
            return lifted;
    }
    reportLift(restriction, remaining);
    return {};
}

void KvProcessGovernor::reportLift(const Restriction &restriction, const Restriction *remaining)
{
    kvInfo(lcGovernor) << "process #" << restriction.processId << " CPU limit removed";
    if (remaining) {
        kvInfo(lcGovernor) << "process #" << remaining->processId << " CPU limited to "
                           << remaining->percent << "%";
    }
}

void KvProcessGovernor::resumeAll(const QList<Restriction> &suspensions)
{
    // The id may have been given to another process since: that one is left
    // alone.
    QList<quint32> resumed;
    for (const Restriction &restriction : suspensions) {
        const quint32 processId = restriction.processId;
        if (restriction.creationTime != 0 &&
            creationTimeOf(processId) != restriction.creationTime) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " has ended; its threads are not resumed";
        } else {
            resumed.append(processId);
        }
    }
    KvPlatformSuspension::current().resumeAll(resumed);
    for (const quint32 processId : qAsConst(resumed))
        kvInfo(lcGovernor) << "process #" << processId << " threads resumed";
}

// ---- journal

bool KvProcessGovernor::note(const QList<Restriction> &restrictions, bool held)
{
    if (restrictions.isEmpty())
        return true;
    QList<KvRestrictionJournal::Entry> entries;
    for (const Restriction &restriction : restrictions)
        entries.append(
            {kindOf(restriction.action), restriction.processId, restriction.creationTime});
    const KvStatus written = held ? journal.add(entries) : journal.remove(entries);
    if (written) {
        if (journalFailureReported)
            kvInfo(lcGovernor) << "restriction journal " << journal.path()
                               << " can be written again";
        journalFailureReported = false;
        return true;
    }
    // Once per spell of failures: the journal is written at every action.
    if (!journalFailureReported) {
        kvCriticalWithCode(lcGovernor, written.error().code)
            << "failed to write restriction journal " << journal.path() << " ("
            << written.error().message
            << "); nothing more is restrained until it can be, as a crash would leave it so";
        journalFailureReported = true;
    }
    return false;
}

// ---- process table

void KvProcessGovernor::followEnd(quint32 processId)
{
    // What was held of the process ends with it, not undone: an undo could
    // only reach a later process with the id, and would log a lift that
    // never happened. A later process that has the id by now keeps what is
    // held of it (unknown start times are kept too, as an undo treats them).
    const bool held = heldProcesses.contains(processId);
    if (held) {
        const quint64 running = creationTimeOf(processId);
        lose([processId, running](const Restriction &restriction) {
            return restriction.processId == processId &&
                   (running == 0 ||
                    (restriction.creationTime != 0 && restriction.creationTime != running));
        });
        KvPlatformSuspension::current().processEnded(processId);
    }
    // A lift still to do ends with the process, and its journal entry too.
    QList<Restriction> ended;
    for (auto it = pendingLifts.begin(); it != pendingLifts.end();) {
        if (it->processId != processId) {
            ++it;
            continue;
        }
        ended.append(*it);
        it = pendingLifts.erase(it);
    }
    note(ended, false);
    cpuGroups.remove(processId);
    borrowersReported.remove(processId);
    if (processTable.remove(processId))
        ++tableVersion;
    else
        kvDebug(lcGovernor) << "process #" << processId << " to remove not found";
}

void KvProcessGovernor::followStart(const KvProcessInfo &process)
{
    // A start reported for a process already known: it executed another
    // program, and stays restrained as it was.
    if (processTable.contains(process.processId) && isRestrained(process.processId)) {
        kvInfo(lcGovernor) << "process #" << process.processId << " now runs "
                           << QDir::toNativeSeparators(process.fileInfo.filePath())
                           << " and stays restrained";
    }
    processTable.insert(process.processId, QSharedPointer<KvProcessInfo>::create(process));
    ++tableVersion;
    borrowersReported.remove(process.processId);
}
