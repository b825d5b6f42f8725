#pragma once

#include "platform/KvProcessEventSource.h"
#include "process/KvProcessInfo.h"

#include <QObject>
#include <QSet>

#include <memory>

// Tells the rest of the program when a process starts and when one ends,
// anywhere on the machine, and logs both.
//
// Ends the event source misses are caught by a once-a-second comparison of
// the processes reported started, and of those that ran before the
// subscription, with the running ones. When the source says it lost events,
// the next comparison also reports the processes that started unseen.
class KvProcessNotifier : public QObject
{
    Q_OBJECT

public:
    explicit KvProcessNotifier(QObject *parent = nullptr);
    ~KvProcessNotifier() override;

    // Processes reported as started and not yet as ended.
    QSet<quint32> knownProcessIds() const { return m_knownProcessIds; }
    // Processes that ran before the subscription and have not been seen to
    // end.
    QSet<quint32> preexistingProcessIds() const { return m_preexistingProcessIds; }

signals:
    void started(const KvProcessInfo &processInfo);
    void ended(quint32 processId);

protected:
    // The reconciliation pass.
    void timerEvent(QTimerEvent *event) override;

private:
    void followStart(const KvProcessEntry &process);
    void followEnd(quint32 processId);
    void followLoss();
    void reconcile();
    void report(const KvProcessInfo &record);
    void reportEnd(quint32 processId);

    std::unique_ptr<KvProcessEventSource> m_eventSource;
    QSet<quint32> m_knownProcessIds;
    QSet<quint32> m_preexistingProcessIds;
    bool m_listingFailing = false;
    // Events were lost since the last comparison.
    bool m_eventsLost = false;
};
