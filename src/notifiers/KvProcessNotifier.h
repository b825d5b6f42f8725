#pragma once

#include "platform/KvPlatformTypes.h"
#include "platform/KvProcessEventSource.h"
#include "process/KvProcessInfo.h"

#include <QObject>
#include <QSet>

#include <memory>

// Tells the rest of the program when a process starts and when one ends,
// anywhere on the machine. One per process, obtained through
// KvLazySingleton<KvProcessNotifier>::instance().
//
// Ends the event source misses are caught by a once-a-second comparison of
// the processes reported started, and of those that ran before the
// subscription, with a fresh snapshot. When the source says it lost events,
// the next comparison also reports the processes that started unseen.
class KvProcessNotifier : public QObject
{
    Q_OBJECT

public:
    KvProcessNotifier();
    ~KvProcessNotifier() override;

    // Processes reported as started and not yet as ended.
    QSet<DWORD> knownProcessIds() const { return m_knownProcessIds; }
    // Processes that ran before the subscription and have not been seen to
    // end.
    QSet<DWORD> preexistingProcessIds() const { return m_preexistingProcessIds; }

signals:
    void started(KvProcessInfo processInfo);
    void ended(DWORD id);

protected:
    // The reconciliation pass.
    void timerEvent(QTimerEvent *event) override;

private slots:
    void on_instanceCreationObject_indicate(const KvPropertyList &properties);
    void on_instanceDeletionObject_indicate(const KvPropertyList &properties);
    void on_eventSource_eventsLost();

private:
    void reconcile();
    void report(const KvProcessInfo &record);
    void reportEnd(DWORD id);

    std::unique_ptr<KvProcessEventSource> m_eventSource;
    QSet<DWORD> m_knownProcessIds;
    QSet<DWORD> m_preexistingProcessIds;
    bool m_snapshotFailing = false;
    // Events were lost since the last comparison.
    bool m_eventsLost = false;
};
