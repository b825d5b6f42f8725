#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/windows/KvWindowsProcessEntries.h"

#include <QHash>
#include <QTimer>

// Process starts and ends found by comparing Toolhelp snapshots once a
// second, for where WMI cannot deliver them (its service broken or
// disabled, or under Wine). Processes running when the source is created
// are known but not reported as started.
class KvToolhelpPollingSource : public KvProcessEventSource
{
    Q_OBJECT

public:
    static constexpr int intervalMilliseconds = 1000;

    // reason: why WMI delivers nothing, for the log.
    explicit KvToolhelpPollingSource(const QString &reason);

private:
    void poll();

    // The name of each process of the last snapshot.
    QHash<quint32, KvWindowsProcessEntries::Seen> m_known;
    QTimer m_timer;
};
