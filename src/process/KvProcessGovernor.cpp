#include "process/KvProcessGovernor.h"

#include "platform/KvPlatformJobs.h"
#include "platform/KvPlatformKernel.h"
#include "process/KvProcessSnapshot.h"
#include "support/KvLog.h"

#include <QMap>
#include <QPair>

namespace {

const DWORD fullMachineRate = 10000;

KvJobCpuRateControlInformation hardCap(DWORD rate)
{
    KvJobCpuRateControlInformation info;
    info.controlFlags =
        KvPlatformJobs::CpuRateControlEnable | KvPlatformJobs::CpuRateControlHardCap;
    info.cpuRate = rate;
    return info;
}

} // namespace

KvProcessGovernor::KvProcessGovernor(QObject *parent, const QString &journalPath)
    : QObject(parent)
    , journal(journalPath.isEmpty() ? KvRestrictionJournal::defaultPath() : journalPath)
{
    liftLeftovers();
    fillProcessTable();
}

KvProcessGovernor::~KvProcessGovernor() = default;

// ---- start-up

void KvProcessGovernor::liftLeftovers()
{
    QList<KvRestrictionJournal::Entry> entries;
    QString problem;
    if (!journal.read(entries, problem)) {
        kvCritical(lcGovernor) << "restriction journal " << journal.path() << " cannot be read ("
                               << problem << "); starting afresh";
    } else if (!problem.isEmpty()) {
        kvCritical(lcGovernor) << "restriction journal " << journal.path() << ": " << problem;
    }

    KvPlatformJobs &platform = KvPlatformJobs::current();
    // Suspensions count per process: each one suspended every thread once.
    QMap<QPair<DWORD, quint64>, DWORD> suspensions;
    for (const KvRestrictionJournal::Entry &entry : qAsConst(entries)) {
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
        } else if (platform.resumeLeftoverSuspension(process.get(), it.value())) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " resumed, left suspended by a previous run";
        } else {
            kvCriticalWithError(lcGovernor)
                << "failed to resume process #" << processId << " left suspended by a previous run";
        }
    }

    // Jobs of a killed run are found by the platform itself, journal or not.
    platform.removeLeftoverJobs();
    QList<DWORD> capped;
    for (const KvRestrictionJournal::Entry &entry : qAsConst(entries)) {
        if (entry.kind == KvRestrictionJournal::Cap && !capped.contains(entry.processId))
            capped.append(entry.processId);
    }
    for (DWORD processId : qAsConst(capped)) {
        kvInfo(lcGovernor) << "process #" << processId
                           << " CPU limit left by a previous run removed";
    }

    if (!entries.isEmpty() || !problem.isEmpty())
        reportJournalWrite(journal.clear());
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

quint64 KvProcessGovernor::creationTimeOf(DWORD processId) const
{
    KvHandle process =
        KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, processId);
    quint64 creationTime = 0;
    if (!process.isValid() ||
        !KvPlatformJobs::current().getProcessCreationTime(process.get(), creationTime))
        return 0;
    return creationTime;
}

KvHandle KvProcessGovernor::limitCpu(DWORD processId, unsigned int percent)
{
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
    platform.setInformationJobObject(job.get(), hardCap(percent * 100));

    KvHandle process = KvHandle::openProcess(
        KvPlatformKernel::ProcessSetQuota | KvPlatformKernel::ProcessTerminate, processId);
    if (process.isValid() && platform.assignProcessToJobObject(job.get(), process.get())) {
        kvInfo(lcGovernor) << "process #" << processId << " CPU limited to " << percent << "%";
    } else {
        kvCriticalWithError(lcGovernor)
            << "failed to assign process #" << processId << " to job object";
    }
    return job;
}

void KvProcessGovernor::suspend(DWORD processId)
{
    if (isOwnProcess(processId)) {
        kvInfo(lcGovernor) << "process #" << processId
                           << " is this program itself and is not restrained";
        return;
    }
    const quint64 creationTime = creationTimeOf(processId);
    lastSuspensions.insert(processId, Applied{0, creationTime});
    record(KvRestrictionJournal::Suspension, processId, creationTime);

    if (actOnThreads(processId, "suspend", &KvPlatformJobs::suspendThread))
        kvInfo(lcGovernor) << "process #" << processId << " threads suspended";
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
    groups.insert(lastGroupId, QList<Restriction>{completed(restriction)});
    return lastGroupId;
}

void KvProcessGovernor::appendRestriction(int groupId, const Restriction &restriction)
{
    groups[groupId].append(completed(restriction));
}

void KvProcessGovernor::removeRestrictionGroup(int groupId)
{
    auto found = groups.find(groupId);
    if (found == groups.end())
        return;
    QList<Restriction> restrictions = found.value();
    groups.erase(found);
    while (!restrictions.isEmpty())
        revert(restrictions.takeFirst());
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

void KvProcessGovernor::revertCap(const Restriction &restriction)
{
    // Another rule may still cap the same process: its cap stays in force.
    const Restriction *remaining = latestCapOn(restriction.job);
    const DWORD rate = remaining ? remaining->percent * 100 : fullMachineRate;
    // Without a job the cap was never in force, and there is nothing to lift.
    if (restriction.job.isValid() &&
        !KvPlatformJobs::current().setInformationJobObject(restriction.job.get(), hardCap(rate))) {
        kvCriticalWithError(lcGovernor)
            << "failed to remove CPU limit of process #" << restriction.processId;
    } else {
        kvInfo(lcGovernor) << "process #" << restriction.processId << " CPU limit removed";
        if (remaining) {
            kvInfo(lcGovernor) << "process #" << remaining->processId << " CPU limited to "
                               << remaining->percent << "%";
        }
    }
    forget(KvRestrictionJournal::Cap, restriction);
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
    processTable.insert(processInfo.processId, QSharedPointer<KvProcessInfo>::create(processInfo));
    ++tableVersion;
}
