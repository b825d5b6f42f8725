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
    void onFork(DWORD childProcess, DWORD childThreadGroup, DWORD parentThreadGroup);
    void onExec(DWORD threadGroup);
    void onExit(DWORD process, DWORD threadGroup, DWORD parentThreadGroup);
    void reportEnd(DWORD threadGroup);
    void checkPending();
    void schedulePendingCheck();

    int m_socket;
    QSocketNotifier *m_notifier;
    QTimer m_pendingTimer;
    KvLinuxProcReader m_reader;
    KvForkTracker m_forks;
    // Processes whose leader thread ended while other threads went on.
    QHash<DWORD, QElapsedTimer> m_leaderGone;
    // Processes gone before their start could be read, whose ends are not
    // reported either.
    QSet<DWORD> m_unnamed;
};
