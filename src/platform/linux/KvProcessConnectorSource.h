#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/linux/KvForkTracker.h"
#include "platform/linux/KvLinuxProcReader.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <memory>

class QSocketNotifier;

// Process events from the kernel's process connector (netlink), read on the
// event loop through a socket notifier. Listening needs root or
// CAP_NET_ADMIN, and the initial PID and user namespaces. Forks go to the
// job backend too, which moves children of capped processes out of their
// group as they appear.
class KvProcessConnectorSource : public KvProcessEventSource
{
    Q_OBJECT

public:
    // A listening source, or nullptr with errno set.
    static std::unique_ptr<KvProcessConnectorSource> open();
    ~KvProcessConnectorSource() override;

private:
    explicit KvProcessConnectorSource(int socket);

    void readEvents();
    void handleMessage(const char *data, int length);
    void onFork(quint32 childProcess, quint32 childThreadGroup, quint32 parentThreadGroup);
    void onExec(quint32 threadGroup);
    void onExit(quint32 process, quint32 threadGroup, quint32 parentThreadGroup);
    void reportEnd(quint32 threadGroup);
    void checkPending();
    void schedulePendingCheck();

    int m_socket;
    QSocketNotifier *m_notifier;
    QTimer m_pendingTimer;
    KvLinuxProcReader m_reader;
    KvForkTracker m_forks;
    // Processes whose leader thread ended while other threads went on.
    QHash<quint32, QElapsedTimer> m_leaderGone;
    // Processes gone before their start could be read, whose ends are not
    // reported either.
    QSet<quint32> m_unnamed;
};
