#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/linux/KvForkTracker.h"
#include "platform/linux/KvLinuxProcReader.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <linux/cn_proc.h>

#include <memory>

class QSocketNotifier;

// Process events from the kernel's process connector (netlink), read on the
// event loop through socket notifiers. Listening needs root or
// CAP_NET_ADMIN, and the initial PID and user namespaces. Forks go to the
// job backend too, which moves children of capped processes out of their
// group as they appear.
//
// Every start wakes the program for its execution, which rules may have to
// act on at once. Forks and exits come through a second socket, read with
// the next execution or at most othersDelayMs after the first of them: a
// start costs one wake-up rather than three.
class KvProcessConnectorSource : public KvProcessEventSource
{
    Q_OBJECT

public:
    // A listening source, or nullptr with errno set. Its ids are those of
    // the initial PID namespace: for a process there only.
    static std::unique_ptr<KvProcessConnectorSource> open();
    ~KvProcessConnectorSource() override;

    // How late an end, or a fork that runs no other program, is heard at
    // most.
    static constexpr int othersDelayMs = 50;

private:
    KvProcessConnectorSource(int executions, int others);

    void readEvents();
    // Takes in what waits on the socket; whether some was lost.
    bool receive(int socket, QVector<proc_event> &events);
    void parse(const char *data, int length, QVector<proc_event> &events);
    void dispatch(const proc_event &event);
    void onFork(quint32 childProcess, quint32 childThreadGroup, quint32 parentThreadGroup);
    void onExec(quint32 threadGroup);
    void reportStart(const KvProcessEntry &process, bool firstProgram);
    void onExit(quint32 process, quint32 threadGroup, quint32 parentThreadGroup);
    void reportEnd(quint32 threadGroup);
    void checkPending();
    void schedulePendingCheck();

    // Executions; forks and exits.
    int m_sockets[2];
    QSocketNotifier *m_notifier;
    QSocketNotifier *m_othersNotifier;
    QTimer m_othersTimer;
    // Whether forks or exits came in since the timer last ran.
    bool m_othersHeard = false;
    // What each socket gave, and both in order; kept for their capacity.
    QVector<proc_event> m_received[2];
    QVector<proc_event> m_events;
    QTimer m_pendingTimer;
    KvLinuxProcReader m_reader;
    KvForkTracker m_forks;
    // Processes whose leader thread ended while other threads went on.
    QHash<quint32, QElapsedTimer> m_leaderGone;
    // Processes gone before their start could be read, whose ends are not
    // reported either.
    QSet<quint32> m_unnamed;
};
