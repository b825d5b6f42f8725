#include "process/KvProcessGovernor.h"

#include "platform/KvPlatformJobs.h"
#include "platform/KvPlatformKernel.h"
#include "platform/KvPlatformShell.h"
#include "process/KvProcessSnapshot.h"
#include "support/KvLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QPair>
#include <QSet>

#include <algorithm>

namespace {

const DWORD fullMachineRate = 10000;

// How often the caps held are looked at. A lost cap shows in the rules list
// this much later at most; each look costs a few reads per capped process.
const int capCheckIntervalMs = 5000;

// How often the runs of other copies are looked at while any holds something:
// what a killed copy held is lifted this much later at most.
const int endedRunCheckIntervalMs = 2000;

KvJobCpuRateControlInformation hardCap(DWORD rate)
{
    KvJobCpuRateControlInformation info;
    info.controlFlags =
        KvPlatformJobs::CpuRateControlEnable | KvPlatformJobs::CpuRateControlHardCap;
    info.cpuRate = rate;
    return info;
}

} // namespace

KvProcessGovernor::KvProcessGovernor(QObject *parent, const QString &journalDirectory)
    : QObject(parent)
    , journal(QDir(journalDirectory.isEmpty() ? KvRestrictionJournal::defaultDirectory()
                                              : journalDirectory)
                  .filePath(KvRestrictionJournal::fileName(
                      KvPlatformKernel::current().currentProcessId(),
                      creationTimeOf(KvPlatformKernel::current().currentProcessId()))))
{
    const QString directory = QFileInfo(journal.path()).path();
    liftLeftovers(directory, true);
    reportLimits();
    fillProcessTable();
    capCheck.setInterval(capCheckIntervalMs);
    capCheck.setTimerType(Qt::VeryCoarseTimer);
    connect(&capCheck, &QTimer::timeout, this, &KvProcessGovernor::checkCaps);

    // Copies that run beside this one may be killed; what they held is then
    // lifted here, as at a start.
    QDir().mkpath(directory);
    journalWatcher.addPath(directory);
    connect(&journalWatcher, &QFileSystemWatcher::directoryChanged, this,
            &KvProcessGovernor::followOtherRuns);
    endedRunCheck.setInterval(endedRunCheckIntervalMs);
    endedRunCheck.setTimerType(Qt::VeryCoarseTimer);
    connect(&endedRunCheck, &QTimer::timeout, this, &KvProcessGovernor::takeOverEndedRuns);
    followOtherRuns();
}

KvProcessGovernor::~KvProcessGovernor() = default;

// ---- start-up

bool KvProcessGovernor::isRunningElsewhere(const QString &journalName) const
{
    DWORD processId = 0;
    quint64 creationTime = 0;
    return KvRestrictionJournal::runOf(journalName, processId, creationTime) && creationTime != 0 &&
           creationTimeOf(processId) == creationTime;
}

void KvProcessGovernor::liftLeftovers(const QString &journalDirectory, bool atStart)
{
    // Two copies that find the same leftovers lift them once: the other one
    // has them in hand, or will find them gone.
    QLockFile lifting(QDir(journalDirectory).filePath(QStringLiteral("restrictions.lock")));
    if (!lifting.tryLock(atStart ? 2000 : 0) && !atStart)
        return;
    // The journals of runs that have ended; those of copies that still run
    // are theirs to lift. One of this run at start can only be an earlier
    // governor's, which is gone; later it is this governor's own.
    QList<KvRestrictionJournal::Entry> entries;
    QStringList ended;
    for (const QString &name : KvRestrictionJournal::filesIn(journalDirectory)) {
        const QString path = QDir(journalDirectory).filePath(name);
        const bool own = path.startsWith(journal.path());
        if (own ? !atStart : isRunningElsewhere(name))
            continue;
        ended.append(path);
        // Half a change, never renamed over the journal: nothing took effect.
        if (path.endsWith(QLatin1String(".new")))
            continue;
        QList<KvRestrictionJournal::Entry> read;
        QString problem;
        if (!KvRestrictionJournal(path).read(read, problem)) {
            kvCritical(lcGovernor) << "restriction journal " << path << " cannot be read ("
                                   << problem << "); nothing of it is lifted";
        } else if (!problem.isEmpty()) {
            kvCritical(lcGovernor) << "restriction journal " << path << ": " << problem;
        }
        entries += read;
    }

    resumeLeftoverSuspensions(entries);
    removeLeftoverCaps(entries);

    for (const QString &path : qAsConst(ended)) {
        // A copy starting at the same moment may have removed it already.
        if (!QFile::remove(path) && QFile::exists(path))
            kvCritical(lcGovernor)
                << "failed to remove restriction journal " << path << " of a previous run";
    }
}

void KvProcessGovernor::followOtherRuns()
{
    // A copy that is killed changes no file: while other runs have journals,
    // whether they still run is looked at now and then.
    const QString directory = QFileInfo(journal.path()).path();
    const QString own = QFileInfo(journal.path()).fileName();
    bool others = false;
    for (const QString &name : KvRestrictionJournal::filesIn(directory))
        others = others || !name.startsWith(own);
    if (!others)
        endedRunCheck.stop();
    else if (!endedRunCheck.isActive())
        endedRunCheck.start();
}

void KvProcessGovernor::takeOverEndedRuns()
{
    const QString directory = QFileInfo(journal.path()).path();
    const QString own = QFileInfo(journal.path()).fileName();
    for (const QString &name : KvRestrictionJournal::filesIn(directory)) {
        if (!name.startsWith(own) && !isRunningElsewhere(name)) {
            liftLeftovers(directory, false);
            break;
        }
    }
    followOtherRuns();
}

void KvProcessGovernor::resumeLeftoverSuspensions(const QList<KvRestrictionJournal::Entry> &entries)
{
    KvPlatformJobs &platform = KvPlatformJobs::current();
    // Suspensions count per process: each one suspended every thread once.
    QMap<QPair<DWORD, quint64>, DWORD> suspensions;
    for (const KvRestrictionJournal::Entry &entry : entries) {
        if (entry.kind == KvRestrictionJournal::Suspension)
            ++suspensions[qMakePair(entry.processId, entry.creationTime)];
    }
    for (auto it = suspensions.constBegin(); it != suspensions.constEnd(); ++it) {
        const DWORD processId = it.key().first;
        if (isOwnProcess(processId))
            continue;
        KvHandle process = KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation |
                                                     KvPlatformKernel::ProcessSuspendResume,
                                                 processId);
        quint64 creationTime = 0;
        const bool same = process.isValid() &&
                          platform.getProcessCreationTime(process.get(), creationTime) &&
                          creationTime == it.key().second;
        if (!same) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " that a previous run suspended has ended";
            continue;
        }
        switch (platform.resumeLeftoverSuspension(process.get(), it.value())) {
        case KvPlatformJobs::LeftoverResumed:
            kvInfo(lcGovernor) << "process #" << processId
                               << " resumed, left suspended by a previous run";
            break;
        case KvPlatformJobs::LeftoverStillSuspended:
            kvInfo(lcGovernor) << "process #" << processId
                               << " left suspended by a previous run stays suspended: a running "
                                  "copy of the program suspends it too";
            break;
        case KvPlatformJobs::LeftoverResumeFailed:
            kvCriticalWithError(lcGovernor)
                << "failed to resume process #" << processId << " left suspended by a previous run";
            break;
        }
    }
}

void KvProcessGovernor::removeLeftoverCaps(const QList<KvRestrictionJournal::Entry> &entries)
{
    // Jobs of a killed run are found by the platform itself, journal or not.
    KvPlatformJobs &platform = KvPlatformJobs::current();
    QList<KvPlatformJobs::LeftoverJob> found;
    if (platform.removeLeftoverJobs(&found) < 0) {
        QStringList capped;
        for (const KvRestrictionJournal::Entry &entry : entries) {
            const QString id = QStringLiteral("#%1").arg(entry.processId);
            if (entry.kind == KvRestrictionJournal::Cap && !capped.contains(id))
                capped.append(id);
        }
        if (!capped.isEmpty()) {
            kvCritical(lcGovernor) << "CPU limits that a previous run left on process(es) "
                                   << capped.join(QStringLiteral(", "))
                                   << " cannot be removed on this system; they end with "
                                      "those processes";
        }
        return;
    }
    for (const KvPlatformJobs::LeftoverJob &job : qAsConst(found)) {
        for (DWORD processId : job.released) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " CPU limit left by a previous run removed";
        }
        if (job.removed) {
            kvInfo(lcGovernor) << "job " << job.name << " left by a previous run removed";
        } else {
            KvPlatformKernel::current().setLastError(job.error);
            kvCriticalWithError(lcGovernor)
                << "failed to remove job " << job.name << " left by a previous run";
        }
    }
}

void KvProcessGovernor::reportLimits()
{
    // Said once, at start, with the reason: each cap that fails later only
    // logs its error code, and a copy that acts alone says nothing more.
    QString reason;
    if (!KvPlatformJobs::current().cpuCapsAvailable(reason))
        kvCritical(lcGovernor) << "CPU limits cannot be applied (suspension still works): "
                               << reason;
    reason.clear();
    if (!KvPlatformJobs::current().copiesShareHolds(reason))
        kvWarning(lcGovernor) << "copies of the program running at once will not coordinate "
                                 "their restrictions: "
                              << reason;
}

void KvProcessGovernor::fillProcessTable()
{
    const QList<KvProcessInfo> records = snapshotProcesses(0);
    for (const KvProcessInfo &record : records)
        processTable.insert(record.processId, QSharedPointer<KvProcessInfo>::create(record));
    ++tableVersion;
}

// ---- actions

bool KvProcessGovernor::isOwnProcess(DWORD processId) const
{
    return processId == KvPlatformKernel::current().currentProcessId();
}

QString KvProcessGovernor::whyUnrestrainable(const KvProcessInfo &process) const
{
    const QString role =
        KvPlatformShell::current().essentialRole(process.processId, process.fileInfo.filePath());
    if (!role.isEmpty())
        return QStringLiteral("it is ") + role;
    // The processes this program was started from: the shell and terminal
    // it may be stopped from, up the parents as the table knows them.
    DWORD ancestor = KvPlatformKernel::current().currentProcessId();
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

quint64 KvProcessGovernor::creationTimeOf(DWORD processId)
{
    KvHandle process =
        KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, processId);
    quint64 creationTime = 0;
    if (!process.isValid() ||
        !KvPlatformJobs::current().getProcessCreationTime(process.get(), creationTime))
        return 0;
    return creationTime;
}

KvHandle KvProcessGovernor::limitCpu(DWORD processId, unsigned int percent, bool *assigned)
{
    if (assigned)
        *assigned = false;
    if (isOwnProcess(processId)) {
        kvInfo(lcGovernor) << "process #" << processId
                           << " is this program itself and is not restrained";
        return KvHandle();
    }
    KvPlatformJobs &platform = KvPlatformJobs::current();
    const quint64 creationTime = creationTimeOf(processId);
    lastCaps.insert(processId, Applied{percent, creationTime});
    record(KvRestrictionJournal::Cap, processId, creationTime);

    KvHandle job = jobs.value(processId);
    if (!job.isValid()) {
        job = KvHandle(platform.createJobObject());
        jobs.insert(processId, job);
    }

    KvJobExtendedLimitInformation limits;
    limits.limitFlags = KvPlatformJobs::JobObjectLimitSilentBreakawayOk;
    platform.setInformationJobObject(job.get(), limits);
    // A cap the job does not take must not be reported as in force.
    if (!platform.setInformationJobObject(job.get(), hardCap(percent * 100))) {
        kvCriticalWithError(lcGovernor)
            << "failed to limit CPU of process #" << processId << " to " << percent << "%";
        return job;
    }

    KvHandle process = KvHandle::openProcess(
        KvPlatformKernel::ProcessSetQuota | KvPlatformKernel::ProcessTerminate, processId);
    if (process.isValid() && platform.assignProcessToJobObject(job.get(), process.get())) {
        if (assigned)
            *assigned = true;
        lastCaps[processId].assigned = true;
        kvInfo(lcGovernor) << "process #" << processId << " CPU limited to " << percent << "%";
    } else {
        kvCriticalWithError(lcGovernor)
            << "failed to assign process #" << processId << " to job object";
    }
    return job;
}

bool KvProcessGovernor::suspend(DWORD processId)
{
    if (isOwnProcess(processId)) {
        kvInfo(lcGovernor) << "process #" << processId
                           << " is this program itself and is not restrained";
        return false;
    }
    const quint64 creationTime = creationTimeOf(processId);
    lastSuspensions.insert(processId, Applied{0, creationTime});
    record(KvRestrictionJournal::Suspension, processId, creationTime);

    if (!actOnThreads(processId, "suspend", &KvPlatformJobs::suspendThread))
        return false;
    kvInfo(lcGovernor) << "process #" << processId << " threads suspended";
    return true;
}

bool KvProcessGovernor::actOnThreads(DWORD processId, const char *purpose,
                                     DWORD (KvPlatformJobs::*act)(HANDLE))
{
    KvPlatformJobs &platform = KvPlatformJobs::current();
    bool opened = false;
    const QList<KvThreadInfo> threads = snapshotThreads(processId);
    for (const KvThreadInfo &thread : threads) {
        KvHandle handle(platform.openThread(KvPlatformJobs::ThreadSuspendResume, thread.threadId));
        if (!handle.isValid()) {
            kvCriticalWithError(lcGovernor)
                << "failed to open thread #" << thread.threadId << " to " << purpose;
            continue;
        }
        (platform.*act)(handle.get());
        opened = true;
    }
    return opened;
}

// ---- groups

KvProcessGovernor::Restriction KvProcessGovernor::completed(const Restriction &restriction)
{
    Restriction stored = restriction;
    const QHash<DWORD, Applied> &applied =
        restriction.action == LimitCpu ? lastCaps : lastSuspensions;
    auto found = applied.constFind(restriction.processId);
    if (found != applied.constEnd()) {
        stored.percent = found->percent;
        stored.creationTime = found->creationTime;
        stored.assigned = found->assigned;
    }
    stored.sequence = ++lastSequence;
    return stored;
}

int KvProcessGovernor::addRestrictionGroup(const Restriction &restriction)
{
    // An id that appendRestriction made up is in use as well: skip it rather
    // than overwrite its group, whose restrictions would then never be lifted.
    do {
        ++lastGroupId;
    } while (groups.contains(lastGroupId));
    const Restriction stored = completed(restriction);
    groups.insert(lastGroupId, QList<Restriction>{stored});
    hold(stored);
    return lastGroupId;
}

void KvProcessGovernor::appendRestriction(int groupId, const Restriction &restriction)
{
    const Restriction stored = completed(restriction);
    groups[groupId].append(stored);
    hold(stored);
}

void KvProcessGovernor::removeRestrictionGroup(int groupId)
{
    auto found = groups.find(groupId);
    if (found == groups.end())
        return;
    QList<Restriction> restrictions = found.value();
    groups.erase(found);
    while (!restrictions.isEmpty()) {
        const Restriction restriction = restrictions.takeFirst();
        release(restriction);
        revert(restriction);
    }
}

bool KvProcessGovernor::holds(int groupId, DWORD processId) const
{
    const auto group = groups.constFind(groupId);
    return group != groups.constEnd() &&
           std::any_of(group->cbegin(), group->cend(), [processId](const Restriction &held) {
               return held.processId == processId;
           });
}

void KvProcessGovernor::hold(const Restriction &restriction)
{
    ++heldProcesses[restriction.processId];
    if (restriction.action == LimitCpu && restriction.assigned && ++heldCaps == 1)
        updateCapCheck();
}

void KvProcessGovernor::release(const Restriction &restriction)
{
    const auto count = heldProcesses.find(restriction.processId);
    if (count != heldProcesses.end() && --*count == 0)
        heldProcesses.erase(count);
    if (restriction.action == LimitCpu && restriction.assigned && --heldCaps == 0)
        updateCapCheck();
}

void KvProcessGovernor::drop(const std::function<bool(const Restriction &)> &matches)
{
    for (QList<Restriction> &group : groups) {
        for (auto it = group.begin(); it != group.end();) {
            if (!matches(*it)) {
                ++it;
                continue;
            }
            release(*it);
            forget(it->action == LimitCpu ? KvRestrictionJournal::Cap
                                          : KvRestrictionJournal::Suspension,
                   *it);
            it = group.erase(it);
        }
    }
}

void KvProcessGovernor::checkCaps()
{
    if (!pendingLifts.isEmpty())
        retryLifts();
    // One look per job, however many rules share its cap.
    QList<Restriction> lost;
    QSet<HANDLE> looked;
    for (const QList<Restriction> &group : qAsConst(groups)) {
        for (const Restriction &held : group) {
            if (held.action != LimitCpu || !held.assigned || looked.contains(held.job.get()))
                continue;
            looked.insert(held.job.get());
            if (!capInForce(held))
                lost.append(held);
        }
    }
    for (const Restriction &cap : qAsConst(lost)) {
        const HANDLE job = cap.job.get();
        // Every rule's cap on the process went: they share its job.
        drop([job](const Restriction &held) {
            return held.action == LimitCpu && held.job.get() == job;
        });
        // Nor may the cap come back should the process rejoin the job, or
        // stay noted where the other copies look. It is not in force either
        // way, so a failure here is nothing to report.
        KvPlatformJobs::current().setInformationJobObject(job, hardCap(fullMachineRate));
        kvWarning(lcGovernor) << "process #" << cap.processId
                              << " CPU limit lost: the process was taken out of it by something "
                                 "else";
        emit capLost(cap.processId);
    }
}

void KvProcessGovernor::revert(const Restriction &restriction)
{
    // Never applied, so there is nothing to revert.
    if (isOwnProcess(restriction.processId))
        return;
    if (restriction.action == LimitCpu)
        revertCap(restriction);
    else if (restriction.action == Suspend)
        revertSuspension(restriction);
}

bool KvProcessGovernor::isRestrained(DWORD processId) const
{
    // Every known process that executes another program asks: the groups
    // are looked through, and the process opened, only for one held at all.
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

const KvProcessGovernor::Restriction *KvProcessGovernor::latestCapOn(const KvHandle &job) const
{
    const Restriction *latest = nullptr;
    if (!job.isValid())
        return latest;
    for (const QList<Restriction> &group : groups) {
        for (const Restriction &held : group) {
            if (held.action == LimitCpu && held.job.get() == job.get() &&
                (!latest || held.sequence > latest->sequence))
                latest = &held;
        }
    }
    return latest;
}

bool KvProcessGovernor::capInForce(const Restriction &restriction)
{
    KvHandle process = KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation,
                                             restriction.processId);
    quint64 creationTime = 0;
    bool inJob = true;
    // A process that has ended, or a later one with its id, tells nothing.
    if (process.isValid() &&
        KvPlatformJobs::current().getProcessCreationTime(process.get(), creationTime) &&
        creationTime == restriction.creationTime)
        KvPlatformJobs::current().isProcessInJob(process.get(), restriction.job.get(), inJob);
    return inJob;
}

void KvProcessGovernor::revertCap(const Restriction &restriction)
{
    // Another rule may still cap the same process: its cap stays in force.
    const Restriction *remaining = latestCapOn(restriction.job);
    const DWORD rate = remaining ? remaining->percent * 100 : fullMachineRate;
    // Something else may have taken the process out of its job meanwhile
    // (moved it to another cgroup, removed the group).
    if (restriction.assigned && !capInForce(restriction)) {
        kvInfo(lcGovernor) << "process #" << restriction.processId
                           << " had been taken out of its CPU limit by something else";
    }
    // Without a job the cap was never in force, and there is nothing to lift.
    if (restriction.job.isValid() &&
        !KvPlatformJobs::current().setInformationJobObject(restriction.job.get(), hardCap(rate))) {
        kvCriticalWithError(lcGovernor)
            << "failed to remove CPU limit of process #" << restriction.processId;
        // Tried again until it works or the process ends; the journal keeps
        // it meanwhile, so that a later start lifts it should this run end.
        pendingLifts.append(restriction);
        updateCapCheck();
        return;
    }
    reportLift(restriction, remaining);
}

void KvProcessGovernor::reportLift(const Restriction &restriction, const Restriction *remaining)
{
    kvInfo(lcGovernor) << "process #" << restriction.processId << " CPU limit removed";
    if (remaining) {
        kvInfo(lcGovernor) << "process #" << remaining->processId << " CPU limited to "
                           << remaining->percent << "%";
    }
    forget(KvRestrictionJournal::Cap, restriction);
}

void KvProcessGovernor::retryLifts()
{
    const QList<Restriction> pending = pendingLifts;
    pendingLifts.clear();
    for (const Restriction &restriction : pending) {
        const Restriction *remaining = latestCapOn(restriction.job);
        const DWORD rate = remaining ? remaining->percent * 100 : fullMachineRate;
        if (KvPlatformJobs::current().setInformationJobObject(restriction.job.get(), hardCap(rate)))
            reportLift(restriction, remaining);
        else
            pendingLifts.append(restriction);
    }
    updateCapCheck();
}

void KvProcessGovernor::updateCapCheck()
{
    if (heldCaps > 0 || !pendingLifts.isEmpty())
        capCheck.start();
    else
        capCheck.stop();
}

void KvProcessGovernor::revertSuspension(const Restriction &restriction)
{
    const DWORD processId = restriction.processId;
    // The id may have been given to another process since: leave that alone.
    if (restriction.creationTime != 0 && creationTimeOf(processId) != restriction.creationTime) {
        kvInfo(lcGovernor) << "process #" << processId << " has ended; its threads are not resumed";
        forget(KvRestrictionJournal::Suspension, restriction);
        return;
    }
    actOnThreads(processId, "resume", &KvPlatformJobs::resumeThread);
    kvInfo(lcGovernor) << "process #" << processId << " threads resumed";
    forget(KvRestrictionJournal::Suspension, restriction);
}

// ---- journal

void KvProcessGovernor::record(KvRestrictionJournal::Kind kind, DWORD processId,
                               quint64 creationTime)
{
    reportJournalWrite(journal.add({kind, processId, creationTime}));
}

void KvProcessGovernor::forget(KvRestrictionJournal::Kind kind, const Restriction &restriction)
{
    reportJournalWrite(journal.remove({kind, restriction.processId, restriction.creationTime}));
}

void KvProcessGovernor::reportJournalWrite(bool written)
{
    if (written) {
        journalFailureReported = false;
        return;
    }
    // Once per spell of failures: the journal is written at every action.
    if (!journalFailureReported) {
        kvCritical(lcGovernor) << "failed to write restriction journal " << journal.path()
                               << "; restrictions of this run will not be lifted after a crash";
        journalFailureReported = true;
    }
}

// ---- process table

void KvProcessGovernor::on_processNotifier_ended(DWORD id)
{
    // What was held of the process ends with it, unreverted: a revert could
    // only reach a later process with the id, and would log a lift that
    // never happened. A later process that has the id by now keeps what is
    // held of it (unknown creation times are kept too, as a revert treats
    // them).
    if (heldProcesses.contains(id)) {
        const quint64 running = creationTimeOf(id);
        drop([id, running](const Restriction &held) {
            return held.processId == id &&
                   (running == 0 || (held.creationTime != 0 && held.creationTime != running));
        });
    }
    // A lift still to do ends with the process, and its journal entry too.
    for (auto it = pendingLifts.begin(); it != pendingLifts.end();) {
        if (it->processId != id) {
            ++it;
            continue;
        }
        forget(KvRestrictionJournal::Cap, *it);
        it = pendingLifts.erase(it);
    }
    if (lastSuspensions.contains(id))
        KvPlatformJobs::current().processEnded(id);
    jobs.remove(id);
    lastCaps.remove(id);
    lastSuspensions.remove(id);
    if (processTable.remove(id))
        ++tableVersion;
    else
        kvDebug(lcGovernor) << "process #" << id << " to remove not found";
}

void KvProcessGovernor::on_processNotifier_started(const KvProcessInfo &processInfo)
{
    // A start reported for a process already known: it executed another
    // program, and stays restrained as it was.
    if (processTable.contains(processInfo.processId) && isRestrained(processInfo.processId)) {
        kvInfo(lcGovernor) << "process #" << processInfo.processId << " now runs "
                           << QDir::toNativeSeparators(processInfo.fileInfo.filePath())
                           << " and stays restrained";
    }
    processTable.insert(processInfo.processId, QSharedPointer<KvProcessInfo>::create(processInfo));
    ++tableVersion;
}
