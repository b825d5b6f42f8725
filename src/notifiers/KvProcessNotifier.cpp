#include "notifiers/KvProcessNotifier.h"

#include "platform/KvPlatformProcesses.h"
#include "support/KvLog.h"

#include <QDir>
#include <QTimer>
#include <QTimerEvent>

namespace {

const int reconciliationIntervalMs = 1000;

} // namespace

KvProcessNotifier::KvProcessNotifier(QObject *parent)
    : QObject(parent)
    , m_eventSource(KvPlatformProcesses::current().watch())
{
    if (m_eventSource->isListening()) {
        kvInfo(lcNotifier) << "process events from " << m_eventSource->description();
    } else {
        // Starts go unnoticed until a source can be opened; the
        // reconciliation below still reports the ends of known processes.
        kvCriticalWithCode(lcNotifier, m_eventSource->failure().code)
            << "no process event source: " << m_eventSource->description();
    }
    connect(m_eventSource.get(), &KvProcessEventSource::started, this,
            &KvProcessNotifier::followStart);
    connect(m_eventSource.get(), &KvProcessEventSource::ended, this, &KvProcessNotifier::followEnd);
    connect(m_eventSource.get(), &KvProcessEventSource::eventsLost, this,
            &KvProcessNotifier::followLoss);
    // After subscribing: whatever starts from now on is reported.
    m_preexistingProcessIds = KvPlatformProcesses::current().ids().value();
    startTimer(reconciliationIntervalMs, Qt::VeryCoarseTimer);
}

KvProcessNotifier::~KvProcessNotifier() = default;

void KvProcessNotifier::followStart(const KvProcessEntry &process)
{
    // The source has read the image where it could: a path it could not
    // read (the process gone, or not ours to read) would not be had here
    // either, and the name it gave stays.
    report(KvProcessInfo(process));
}

void KvProcessNotifier::report(const KvProcessInfo &record)
{
    kvInfo(lcNotifier) << "process #" << record.processId << " started ("
                       << QDir::toNativeSeparators(record.fileInfo.filePath()) << ")";
    emit started(record);
    m_knownProcessIds.insert(record.processId);
    m_preexistingProcessIds.remove(record.processId);
}

void KvProcessNotifier::reportEnd(quint32 processId)
{
    emit ended(processId);
    m_knownProcessIds.remove(processId);
    m_preexistingProcessIds.remove(processId);
}

void KvProcessNotifier::followEnd(quint32 processId)
{
    kvInfo(lcNotifier) << "process #" << processId << " ended";
    reportEnd(processId);
}

void KvProcessNotifier::followLoss()
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
    const KvResult<QSet<quint32>> listed = KvPlatformProcesses::current().ids();
    // A listing that cannot be had comes back empty; taking that for
    // "nothing runs" would report every known process as ended.
    if (!listed || listed.value().isEmpty()) {
        if (!m_listingFailing)
            kvCriticalWithCode(lcNotifier, listed.error().code)
                << "process snapshot failed; ends are not checked";
        m_listingFailing = true;
        return;
    }
    m_listingFailing = false;
    const QSet<quint32> &running = listed.value();

    QSet<quint32> gone = m_knownProcessIds;
    gone.unite(m_preexistingProcessIds);
    gone.subtract(running);
    for (quint32 processId : qAsConst(gone))
        reportEnd(processId);

    if (!m_eventsLost)
        return;
    m_eventsLost = false;
    for (quint32 processId : running) {
        if (m_knownProcessIds.contains(processId) || m_preexistingProcessIds.contains(processId))
            continue;
        KvProcessInfo record;
        record.processId = processId;
        record.resolveFilePath();
        // Kernel threads and what has ended meanwhile have no image to report.
        if (record.hasResolvedPath())
            report(record);
    }
}
