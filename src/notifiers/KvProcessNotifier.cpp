#include "notifiers/KvProcessNotifier.h"

#include "platform/KvPlatformKernel.h"
#include "platform/KvPlatformProcessEvents.h"
#include "process/KvProcessSnapshot.h"
#include "support/KvLog.h"

#include <QDir>
#include <QTimer>
#include <QTimerEvent>

namespace {

const int reconciliationIntervalMs = 1000;

// The system gives process ids as text ("Handle") or as integers, the latter
// signed although the ids are unsigned.
bool toProcessId(const QVariant &value, DWORD &id)
{
    bool ok = false;
    if (value.type() == QVariant::Int) {
        id = static_cast<DWORD>(value.toInt(&ok));
        return ok;
    }
    id = value.toString().toUInt(&ok);
    return ok;
}

QString pathFromCommandLine(const QString &commandLine)
{
    if (commandLine.startsWith(QLatin1Char('"'))) {
        const int closing = commandLine.indexOf(QLatin1Char('"'), 1);
        return closing < 0 ? commandLine.mid(1) : commandLine.mid(1, closing - 1);
    }
    // A blank in the very first position is not the separator.
    const int blank = commandLine.indexOf(QLatin1Char(' '), 1);
    return blank < 0 ? commandLine : commandLine.left(blank);
}

} // namespace

KvProcessNotifier::KvProcessNotifier()
    : QObject(nullptr)
    , m_eventSource(KvPlatformProcessEvents::current().subscribe())
{
    if (m_eventSource->isListening()) {
        kvInfo(lcNotifier) << "process events from " << m_eventSource->description();
    } else {
        // Starts go unnoticed until a source can be opened; the
        // reconciliation below still reports the ends of known processes.
        kvCriticalWithError(lcNotifier)
            << "no process event source: " << m_eventSource->description();
    }
    connect(m_eventSource.get(), &KvProcessEventSource::instanceCreated, this,
            &KvProcessNotifier::on_instanceCreationObject_indicate);
    connect(m_eventSource.get(), &KvProcessEventSource::instanceDeleted, this,
            &KvProcessNotifier::on_instanceDeletionObject_indicate);
    connect(m_eventSource.get(), &KvProcessEventSource::eventsLost, this,
            &KvProcessNotifier::on_eventSource_eventsLost);
    // After subscribing: whatever starts from now on is reported.
    m_preexistingProcessIds = snapshotProcessIds();
    startTimer(reconciliationIntervalMs, Qt::VeryCoarseTimer);
}

KvProcessNotifier::~KvProcessNotifier() = default;

void KvProcessNotifier::on_instanceCreationObject_indicate(const KvPropertyList &properties)
{
    QString commandLine;
    QString executablePath;
    QString name;
    KvProcessInfo record;
    bool haveProcessId = false;

    for (const QPair<QString, QVariant> &property : properties) {
        const QVariant &value = property.second;
        if (!value.isValid())
            continue;
        const QString &key = property.first;
        if (key == QLatin1String("CommandLine")) {
            commandLine = value.toString();
        } else if (key == QLatin1String("ExecutablePath")) {
            executablePath = value.toString();
        } else if (key == QLatin1String("Handle")) {
            haveProcessId = toProcessId(value, record.processId);
        } else if (key == QLatin1String("Name")) {
            name = value.toString();
        } else if (key == QLatin1String("ParentProcessId")) {
            DWORD parent = KvProcessInfo::noProcessId;
            if (toProcessId(value, parent))
                record.parentProcessId = parent;
        }
    }

    // Reporting a start for an id the event did not carry would give the
    // rules a process that does not exist.
    if (!haveProcessId) {
        kvCritical(lcNotifier) << "process creation event without a process id ignored";
        return;
    }

    if (executablePath.isEmpty() && !commandLine.isEmpty())
        executablePath = pathFromCommandLine(commandLine);

    if (!executablePath.isEmpty()) {
        // A path the event carried is taken as it is, directory or not.
        record.fileInfo.setFile(executablePath);
    } else {
        // The bare name stays should the process be gone before its full
        // path can be asked for.
        if (!name.isEmpty())
            record.fileInfo.setFile(name);
        record.resolveFilePath();
    }

    report(record);
}

void KvProcessNotifier::report(const KvProcessInfo &record)
{
    kvInfo(lcNotifier) << "process #" << record.processId << " started ("
                       << QDir::toNativeSeparators(record.fileInfo.filePath()) << ")";
    emit started(record);
    m_knownProcessIds.insert(record.processId);
    m_preexistingProcessIds.remove(record.processId);
}

void KvProcessNotifier::reportEnd(DWORD id)
{
    emit ended(id);
    m_knownProcessIds.remove(id);
    m_preexistingProcessIds.remove(id);
}

void KvProcessNotifier::on_instanceDeletionObject_indicate(const KvPropertyList &properties)
{
    for (const QPair<QString, QVariant> &property : properties) {
        if (property.first != QLatin1String("Handle") || !property.second.isValid())
            continue;
        DWORD id = 0;
        if (!toProcessId(property.second, id)) {
            kvCritical(lcNotifier) << "process deletion event without a process id ignored";
            return;
        }
        kvInfo(lcNotifier) << "process #" << id << " ended";
        reportEnd(id);
        return;
    }
}

void KvProcessNotifier::on_eventSource_eventsLost()
{
    kvCritical(lcNotifier) << "process events were lost; ends are still caught by the "
                              "once-a-second check";
    if (m_eventsLost)
        return;
    m_eventsLost = true;
    // A process that started unseen may be one to restrain: look at once.
    QTimer::singleShot(0, this, &KvProcessNotifier::reconcile);
}

void KvProcessNotifier::timerEvent(QTimerEvent *event)
{
    Q_UNUSED(event)
    reconcile();
}

void KvProcessNotifier::reconcile()
{
    const QSet<DWORD> running = snapshotProcessIds();
    // A snapshot that cannot be taken comes back empty; taking that for
    // "nothing runs" would report every known process as ended.
    if (running.isEmpty()) {
        if (!m_snapshotFailing)
            kvCriticalWithError(lcNotifier) << "process snapshot failed; ends are not checked";
        m_snapshotFailing = true;
        return;
    }
    m_snapshotFailing = false;

    QSet<DWORD> gone = m_knownProcessIds;
    gone.unite(m_preexistingProcessIds);
    gone.subtract(running);
    for (DWORD id : qAsConst(gone))
        reportEnd(id);

    if (!m_eventsLost)
        return;
    m_eventsLost = false;
    for (DWORD id : running) {
        if (m_knownProcessIds.contains(id) || m_preexistingProcessIds.contains(id))
            continue;
        KvProcessInfo record;
        record.processId = id;
        record.resolveFilePath();
        // Kernel threads and what has ended meanwhile have no image to report.
        if (record.hasResolvedPath())
            report(record);
    }
}
