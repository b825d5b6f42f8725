#include "platform/linux/KvProcPollingSource.h"

#include "platform/linux/KvForkTracker.h"

KvProcPollingSource::KvProcPollingSource(const QString &reason, const KvLinuxProcReader &reader)
    : KvProcessEventSource(true,
                           QStringLiteral("polling /proc every %1 ms").arg(intervalMilliseconds) +
                               (reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)))
    , m_reader(reader)
{
    scan(false);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(intervalMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, &KvProcPollingSource::poll);
    m_timer.start();
}

void KvProcPollingSource::poll()
{
    scan(true);
}

bool KvProcPollingSource::hasRunProgram(const KvLinuxProcReader::Stat &stat,
                                        const QString &path) const
{
    // A fresh child shows its parent's image until it runs a program.
    const auto parent = m_known.constFind(stat.parentProcessId);
    if (parent == m_known.constEnd())
        return true;
    return stat.comm != parent->comm || (!path.isEmpty() && path != parent->executablePath);
}

void KvProcPollingSource::report(quint32 processId, Known &known, quint32 parentId)
{
    known.reported = true;
    emit started(m_reader.describe(processId, parentId, known.comm, known.executablePath));
}

void KvProcPollingSource::scan(bool reportChanges)
{
    const QList<quint32> running = m_reader.processIds();
    QHash<quint32, Known> previous;
    previous.swap(m_known);

    // Known entries first, so that a new child can be compared with its
    // parent whatever order /proc lists them in.
    QList<QPair<quint32, KvLinuxProcReader::Stat>> fresh;
    for (quint32 processId : running) {
        KvLinuxProcReader::Stat stat;
        if (!m_reader.readStat(processId, stat))
            continue; // gone between listing and reading
        const auto old = previous.find(processId);
        if (old != previous.end() && old->startTime == stat.startTime) {
            Known known = *old;
            previous.erase(old);
            if (known.kernelThread) {
                // nothing to report, ever
            } else if (reportChanges && !known.reported) {
                // A child seen young with its parent's image is reported at
                // the next listing, with whatever it runs by then.
                known.comm = stat.comm;
                known.executablePath = m_reader.executablePath(processId);
                report(processId, known, stat.parentProcessId);
            } else if (reportChanges && stat.comm != known.comm) {
                // The name changes when a program is executed, but a program
                // can also rename itself: only a new image counts.
                const QString path = m_reader.executablePath(processId);
                known.comm = stat.comm;
                if (path.isEmpty() || path != known.executablePath) {
                    known.executablePath = path;
                    report(processId, known, stat.parentProcessId);
                }
            }
            m_known.insert(processId, known);
            continue;
        }
        fresh.append({processId, stat});
    }
    // Whatever is left of the last listing has ended, or its id was reused.
    for (auto it = previous.cbegin(); it != previous.cend(); ++it) {
        if (reportChanges && it->reported)
            emit ended(it.key());
    }

    for (const auto &entry : qAsConst(fresh)) {
        Known known;
        known.startTime = entry.second.startTime;
        known.comm = entry.second.comm;
        known.executablePath = m_reader.executablePath(entry.first);
        known.kernelThread = entry.second.kernelThread;
        // What runs when the source starts is known, not reported.
        known.reported = !reportChanges && !known.kernelThread;
        m_known.insert(entry.first, known);
    }
    if (!reportChanges)
        return;

    for (const auto &entry : qAsConst(fresh)) {
        Known &known = m_known[entry.first];
        if (known.kernelThread)
            continue;
        if (hasRunProgram(entry.second, known.executablePath) ||
            KvLinuxProcReader::ageMilliseconds(entry.second.startTime) >=
                KvForkTracker::graceMilliseconds)
            report(entry.first, known, entry.second.parentProcessId);
    }
}
