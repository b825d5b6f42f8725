#include "process/KvRestrictionRecovery.h"

#include "platform/KvPlatformCpuGroups.h"
#include "platform/KvPlatformProcesses.h"
#include "platform/KvPlatformSuspension.h"
#include "support/KvLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QPair>

namespace {

// What a killed copy held is lifted this much later at most.
const int endedRunCheckIntervalMs = 2000;

} // namespace

KvRestrictionRecovery::KvRestrictionRecovery(const QString &ownJournal, QObject *parent)
    : QObject(parent)
    , directory(QFileInfo(ownJournal).path())
    , ownName(QFileInfo(ownJournal).fileName())
{
    // Before the lock in it is tried: at the first start the folder is new.
    QDir().mkpath(directory);
    lift(true);
    watcher.addPath(directory);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this,
            &KvRestrictionRecovery::followOtherRuns);
    endedRunCheck.setInterval(endedRunCheckIntervalMs);
    endedRunCheck.setTimerType(Qt::VeryCoarseTimer);
    connect(&endedRunCheck, &QTimer::timeout, this, &KvRestrictionRecovery::takeOverEndedRuns);
    followOtherRuns();
}

bool KvRestrictionRecovery::isRunning(const QString &journalName)
{
    QString runId;
    return KvRestrictionJournal::runOf(journalName, runId) &&
           !KvPlatformProcesses::current().hasEnded(runId);
}

void KvRestrictionRecovery::lift(bool atStart)
{
    QLockFile lifting(QDir(directory).filePath(QStringLiteral("restrictions.lock")));
    if (!lifting.tryLock(atStart ? 2000 : 0) && !atStart)
        return;
    QList<KvRestrictionJournal::Entry> entries;
    QStringList ended;
    for (const QString &name : KvRestrictionJournal::filesIn(directory)) {
        const QString path = QDir(directory).filePath(name);
        if (name.startsWith(ownName) ? !atStart : isRunning(name))
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

    resumeSuspensions(entries);
    removeCaps(entries);

    for (const QString &path : qAsConst(ended)) {
        // A copy starting at the same moment may have removed it already.
        if (!QFile::remove(path) && QFile::exists(path))
            kvCritical(lcGovernor)
                << "failed to remove restriction journal " << path << " of a previous run";
    }
}

void KvRestrictionRecovery::resumeSuspensions(const QList<KvRestrictionJournal::Entry> &entries)
{
    // Suspensions count per process: each one suspended it once.
    QMap<QPair<quint32, quint64>, int> suspensions;
    for (const KvRestrictionJournal::Entry &entry : entries) {
        if (entry.kind == KvRestrictionJournal::Kind::Suspension)
            ++suspensions[qMakePair(entry.processId, entry.creationTime)];
    }
    const quint32 self = KvPlatformProcesses::current().ownId();
    for (auto it = suspensions.constBegin(); it != suspensions.constEnd(); ++it) {
        const quint32 processId = it.key().first;
        if (processId == self)
            continue;
        const KvResult<KvPlatformSuspension::LeftoverResume> resumed =
            KvPlatformSuspension::current().resumeLeftover(processId, it.key().second, it.value());
        if (!resumed) {
            kvCriticalWithCode(lcGovernor, resumed.error().code)
                << "failed to resume process #" << processId << " left suspended by a previous run";
        } else if (resumed.value() == KvPlatformSuspension::LeftoverResume::Ended) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " that a previous run suspended has ended";
        } else if (resumed.value() == KvPlatformSuspension::LeftoverResume::Resumed) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " resumed, left suspended by a previous run";
        } else {
            kvInfo(lcGovernor) << "process #" << processId
                               << " left suspended by a previous run stays suspended: a running "
                                  "copy of the program suspends it too";
        }
    }
}

void KvRestrictionRecovery::removeCaps(const QList<KvRestrictionJournal::Entry> &entries)
{
    // Groups of a killed run are found by the platform itself, journal or not.
    const KvResult<QList<KvLeftoverGroup>> found = KvPlatformCpuGroups::current().removeLeftovers();
    if (!found) {
        QStringList capped;
        for (const KvRestrictionJournal::Entry &entry : entries) {
            const QString id = QStringLiteral("#%1").arg(entry.processId);
            if (entry.kind == KvRestrictionJournal::Kind::Cap && !capped.contains(id))
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
    for (const KvLeftoverGroup &group : found.value()) {
        for (quint32 processId : group.released) {
            kvInfo(lcGovernor) << "process #" << processId
                               << " CPU limit left by a previous run removed";
        }
        if (group.removed) {
            kvInfo(lcGovernor) << "job " << group.name << " left by a previous run removed";
        } else {
            kvCriticalWithCode(lcGovernor, group.error.code)
                << "failed to remove job " << group.name << " left by a previous run";
        }
    }
}

void KvRestrictionRecovery::followOtherRuns()
{
    bool others = false;
    for (const QString &name : KvRestrictionJournal::filesIn(directory))
        others = others || !name.startsWith(ownName);
    if (!others)
        endedRunCheck.stop();
    else if (!endedRunCheck.isActive())
        endedRunCheck.start();
}

void KvRestrictionRecovery::takeOverEndedRuns()
{
    for (const QString &name : KvRestrictionJournal::filesIn(directory)) {
        if (!name.startsWith(ownName) && !isRunning(name)) {
            lift(false);
            break;
        }
    }
    followOtherRuns();
}
