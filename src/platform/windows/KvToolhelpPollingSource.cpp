#include "platform/windows/KvToolhelpPollingSource.h"

#include "platform/windows/KvWindowsProcessEntries.h"
#include "platform/windows/KvWindowsProcesses.h"
#include "platform/windows/win32/KvWin32Toolhelp.h"

KvToolhelpPollingSource::KvToolhelpPollingSource(const QString &reason)
    : KvProcessEventSource(true, QStringLiteral("process snapshots every %1 ms, as %2: starts "
                                                "are seen within a second")
                                     .arg(intervalMilliseconds)
                                     .arg(reason))
{
    poll();
    m_timer.setInterval(intervalMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, &KvToolhelpPollingSource::poll);
    m_timer.start();
}

void KvToolhelpPollingSource::poll()
{
    const bool first = m_known.isEmpty();
    std::vector<KvWin32Toolhelp::ProcessEntry> found;
    // A snapshot that fails tells nothing; the next one will.
    if (!KvWin32Toolhelp::processes(found))
        return;
    QList<KvProcessEntry> listed;
    listed.reserve(int(found.size()));
    for (const KvWin32Toolhelp::ProcessEntry &process : found)
        listed.append(KvWindowsProcessEntries::listed(process.processId, process.parentProcessId,
                                                      QString::fromStdWString(process.exeFile)));
    KvWindowsProcessEntries::Changes changes = KvWindowsProcessEntries::compare(m_known, listed);
    if (first)
        return;
    for (const quint32 processId : qAsConst(changes.ended))
        emit ended(processId);
    for (KvProcessEntry &entry : changes.started) {
        KvWindowsProcesses::complete(entry);
        emit started(entry);
    }
}
