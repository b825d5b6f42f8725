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
// the processes reported started with a fresh snapshot.
class KvProcessNotifier : public QObject
{
    Q_OBJECT

public:
    KvProcessNotifier();
    ~KvProcessNotifier() override;

    // Processes reported as started and not yet as ended.
    QSet<DWORD> knownProcessIds() const { return m_knownProcessIds; }

signals:
    void started(KvProcessInfo processInfo);
    void ended(DWORD id);

protected:
    // The reconciliation pass.
    void timerEvent(QTimerEvent *event) override;

private slots:
    void on_instanceCreationObject_indicate(KvPropertyList properties);
    void on_instanceDeletionObject_indicate(KvPropertyList properties);
    void on_eventSource_eventsLost();

private:
    std::unique_ptr<KvProcessEventSource> m_eventSource;
    QSet<DWORD> m_knownProcessIds;
    bool m_snapshotFailing = false;
};
