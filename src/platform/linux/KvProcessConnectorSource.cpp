#include "platform/linux/KvProcessConnectorSource.h"

#include "platform/linux/KvLinuxCpuGroups.h"

#include <QFile>
#include <QSocketNotifier>

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// kthreadd, the parent of every kernel thread (in the initial PID namespace,
// the only one this source runs in).
const quint32 kernelThreadParent = 2;

// Whether the kernel lets this process listen: only the initial user
// namespace may. (Its reports number processes as the initial PID namespace
// does, which the caller sees to.)
bool inInitialUserNamespace()
{
    QFile uidMap(QStringLiteral("/proc/self/uid_map"));
    if (uidMap.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = uidMap.readAll().simplified().split(' ');
        if (fields.size() >= 3 &&
            (fields.at(0) != "0" || fields.at(1) != "0" || fields.at(2) != "4294967295"))
            return false;
    }
    return true;
}

bool sendListenOperation(int socket, proc_cn_mcast_op operation)
{
    // nlmsghdr, cn_msg and the operation, back to back (cn_msg ends in a
    // flexible array, so they are laid out by hand).
    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))];
    std::memset(request, 0, sizeof(request));
    auto *header = reinterpret_cast<nlmsghdr *>(request);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    cn_msg message;
    std::memset(&message, 0, sizeof(message));
    message.id.idx = CN_IDX_PROC;
    message.id.val = CN_VAL_PROC;
    message.len = sizeof(proc_cn_mcast_op);
    char *payload = static_cast<char *>(NLMSG_DATA(header));
    std::memcpy(payload, &message, sizeof(message));
    std::memcpy(payload + sizeof(cn_msg), &operation, sizeof(operation));
    const ssize_t length = header->nlmsg_len;
    return ::send(socket, request, static_cast<size_t>(length), 0) == length;
}

// Lets through only what the socket reads: executions, or forks of
// processes (not of threads) and exits. The rest (a name change at every
// execution, new threads, changes of ids) would only wake the program.
void attachEventFilter(int socket, bool executions)
{
    // Offsets in the datagram: the netlink header, the connector message,
    // the event. Loads of words take them in network order. An event the
    // socket does not read is compared with a kind no event has.
    constexpr uint32_t event = NLMSG_HDRLEN + sizeof(cn_msg);
    constexpr uint32_t what = event + offsetof(proc_event, what);
    constexpr uint32_t childProcess = event + offsetof(proc_event, event_data.fork.child_pid);
    constexpr uint32_t childGroup = event + offsetof(proc_event, event_data.fork.child_tgid);
    const uint32_t none = 0xffffffff;
    const uint32_t fork = executions ? none : htonl(proc_event::PROC_EVENT_FORK);
    const uint32_t exec = executions ? htonl(proc_event::PROC_EVENT_EXEC) : none;
    const uint32_t exit = executions ? none : htonl(proc_event::PROC_EVENT_EXIT);
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, what),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, fork, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, exec, 7, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, exit, 6, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        // A fork: a process when the child is its own thread group.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, childProcess),
        BPF_STMT(BPF_ST, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, childGroup),
        BPF_STMT(BPF_LDX | BPF_W | BPF_MEM, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, KvProcessEntry::noProcessId),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog filter{sizeof(program) / sizeof(program[0]), program};
    // Without it every event arrives, which the source copes with as well.
    ::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof(filter));
}

// A socket that listens to the connector for one half of the events, or -1
// with errno set.
int openSocket(bool executions)
{
    const int socket =
        ::socket(PF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (socket < 0)
        return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    address.nl_pid = 0; // the kernel picks a free port
    // A burst of starts (a build, a shell loop, thousands of processes while
    // the machine is too busy to let this program read) must not overflow
    // the queue; the memory is only taken while events wait. The forced size
    // needs privilege, which this source has anyway.
    const int bufferSize = 16 * 1024 * 1024;
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof(bufferSize)) < 0)
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    attachEventFilter(socket, executions);
    if (::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0 ||
        !sendListenOperation(socket, PROC_CN_MCAST_LISTEN)) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return -1;
    }
    return socket;
}

void closeSocket(int socket)
{
    sendListenOperation(socket, PROC_CN_MCAST_IGNORE);
    ::close(socket);
}

} // namespace

std::unique_ptr<KvProcessConnectorSource> KvProcessConnectorSource::open()
{
    if (!inInitialUserNamespace()) {
        errno = EPERM;
        return nullptr;
    }
    const int executions = openSocket(true);
    const int others = executions < 0 ? -1 : openSocket(false);
    if (others < 0) {
        const int error = errno;
        if (executions >= 0)
            closeSocket(executions);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<KvProcessConnectorSource>(
        new KvProcessConnectorSource(executions, others));
}

KvProcessConnectorSource::KvProcessConnectorSource(int executions, int others)
    : KvProcessEventSource(true, QStringLiteral("the kernel's process connector"))
    , m_sockets{executions, others}
    , m_notifier(new QSocketNotifier(executions, QSocketNotifier::Read, this))
    , m_othersNotifier(new QSocketNotifier(others, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &KvProcessConnectorSource::readEvents);
    // The first fork or exit after a quiet spell wakes the program; then the
    // others are read with the next execution, or a while later.
    connect(m_othersNotifier, &QSocketNotifier::activated, this, [this] {
        m_othersNotifier->setEnabled(false);
        m_othersTimer.start();
    });
    m_othersTimer.setSingleShot(true);
    m_othersTimer.setInterval(othersDelayMs);
    connect(&m_othersTimer, &QTimer::timeout, this, [this] {
        const bool heard = m_othersHeard;
        readEvents();
        if (heard || m_othersHeard)
            m_othersTimer.start();
        else
            m_othersNotifier->setEnabled(true);
        m_othersHeard = false;
    });
    m_pendingTimer.setSingleShot(true);
    m_pendingTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pendingTimer, &QTimer::timeout, this, &KvProcessConnectorSource::checkPending);
    KvLinuxCpuGroups::forkReportsOpened();
}

KvProcessConnectorSource::~KvProcessConnectorSource()
{
    KvLinuxCpuGroups::forkReportsClosed();
    m_notifier->setEnabled(false);
    m_othersNotifier->setEnabled(false);
    for (int socket : m_sockets)
        closeSocket(socket);
}

void KvProcessConnectorSource::readEvents()
{
    // Both sockets hold every event up to now (the kernel hands each event
    // to every listener as it happens): in the order of their times, the
    // events are as one socket would have had them.
    // Executions first: a fork or exit read after them may be later than
    // any of them, never the other way round (an execution that comes in
    // meanwhile waits for the next read, with the fork it follows known).
    bool lost = false;
    for (int i = 0; i < 2; ++i) {
        m_received[i].clear();
        lost = receive(m_sockets[i], m_received[i]) || lost;
    }
    m_othersHeard = m_othersHeard || !m_received[1].isEmpty();
    // Each socket's events are in order already.
    m_events.resize(m_received[0].size() + m_received[1].size());
    std::merge(
        m_received[0].cbegin(), m_received[0].cend(), m_received[1].cbegin(), m_received[1].cend(),
        m_events.begin(),
        [](const proc_event &a, const proc_event &b) { return a.timestamp_ns < b.timestamp_ns; });
    for (const proc_event &event : qAsConst(m_events))
        dispatch(event);
    if (lost) {
        // Reading goes on with what followed; whatever was lost is looked
        // for afresh.
        KvLinuxCpuGroups::forkReportsLost();
        // Their ends may be among what was lost, and the ids taken again.
        m_unnamed.clear();
        emit eventsLost();
    }
    schedulePendingCheck();
}

bool KvProcessConnectorSource::receive(int socket, QVector<proc_event> &events)
{
    // Every event is a datagram of its own: in a storm many wait at once,
    // and one call takes them all in.
    constexpr int batch = 64;
    alignas(nlmsghdr) char buffers[batch][1024];
    mmsghdr messages[batch];
    iovec vectors[batch];
    bool lost = false;
    for (;;) {
        std::memset(messages, 0, sizeof(messages));
        for (int i = 0; i < batch; ++i) {
            vectors[i] = {buffers[i], sizeof(buffers[i])};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int received = ::recvmmsg(socket, messages, batch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                lost = true; // the queue overflowed
                continue;
            }
            return lost; // EAGAIN: everything read
        }
        for (int i = 0; i < received; ++i) {
            int remaining = int(messages[i].msg_len);
            for (auto *header = reinterpret_cast<nlmsghdr *>(buffers[i]);
                 NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_type == NLMSG_NOOP)
                    continue;
                parse(static_cast<const char *>(NLMSG_DATA(header)),
                      static_cast<int>(NLMSG_PAYLOAD(header, 0)), events);
            }
        }
        // Fewer than asked for: nothing more is waiting, and asking again
        // would only be told so.
        if (received < batch)
            return lost;
    }
}

void KvProcessConnectorSource::parse(const char *data, int length, QVector<proc_event> &events)
{
    if (length < static_cast<int>(sizeof(cn_msg)))
        return;
    cn_msg message;
    std::memcpy(&message, data, sizeof(message));
    if (message.id.idx != CN_IDX_PROC || message.id.val != CN_VAL_PROC)
        return;
    // The event may be shorter than this build's struct (older kernels),
    // never longer in the parts read here.
    proc_event event;
    std::memset(&event, 0, sizeof(event));
    const int available = std::min<int>(length - static_cast<int>(sizeof(cn_msg)),
                                        std::min<int>(message.len, sizeof(event)));
    if (available < static_cast<int>(offsetof(proc_event, event_data)))
        return;
    std::memcpy(&event, data + sizeof(cn_msg), static_cast<size_t>(available));
    events.append(event);
}

void KvProcessConnectorSource::dispatch(const proc_event &event)
{
    switch (event.what) {
    case proc_event::PROC_EVENT_FORK:
        onFork(event.event_data.fork.child_pid, event.event_data.fork.child_tgid,
               event.event_data.fork.parent_tgid);
        break;
    case proc_event::PROC_EVENT_EXEC:
        onExec(event.event_data.exec.process_tgid);
        break;
    case proc_event::PROC_EVENT_EXIT:
        onExit(event.event_data.exit.process_pid, event.event_data.exit.process_tgid,
               event.event_data.exit.parent_tgid);
        break;
    default:
        break;
    }
}

void KvProcessConnectorSource::onFork(quint32 childProcess, quint32 childThreadGroup,
                                      quint32 parentThreadGroup)
{
    // A new thread is a fork event too; only a new thread group is a
    // process, and none that the kernel starts for itself.
    if (childProcess != childThreadGroup || parentThreadGroup == kernelThreadParent)
        return;
    // A child of a capped process leaves its parent's cgroup before it does
    // much there.
    KvLinuxCpuGroups::processForked(childThreadGroup, parentThreadGroup);
    m_forks.forked(childThreadGroup, parentThreadGroup);
}

void KvProcessConnectorSource::onExec(quint32 threadGroup)
{
    quint32 creator = KvProcessEntry::noProcessId;
    const bool firstProgram = m_forks.take(threadGroup, creator);
    m_leaderGone.remove(threadGroup);
    reportStart(m_reader.describe(threadGroup, creator), firstProgram);
}

void KvProcessConnectorSource::reportStart(const KvProcessEntry &process, bool firstProgram)
{
    // Most short-lived processes are gone by the time their start is read,
    // with nothing left to name them by: no rule can match or reach them,
    // and a start and an end naming nothing would only add to the log. One
    // that was reported before (or ran before this source) keeps its end,
    // which rules holding it wait for.
    if (process.name.isEmpty()) {
        if (firstProgram)
            m_unnamed.insert(process.processId);
        return;
    }
    emit started(process);
}

void KvProcessConnectorSource::onExit(quint32 process, quint32 threadGroup,
                                      quint32 parentThreadGroup)
{
    // Kernels that say who the parent was tell kernel threads apart here.
    if (parentThreadGroup == kernelThreadParent)
        return;
    if (process != threadGroup) {
        // A thread ended. It ends the process only when the leader had gone
        // already and this was the last one left.
        if (m_leaderGone.contains(threadGroup) &&
            !m_reader.hasOtherLiveThreads(threadGroup, process))
            reportEnd(threadGroup);
        return;
    }
    quint32 creator = 0;
    if (m_forks.take(threadGroup, creator) || m_unnamed.remove(threadGroup))
        return; // never reported started
    if (m_reader.hasOtherLiveThreads(threadGroup)) {
        QElapsedTimer since;
        since.start();
        m_leaderGone.insert(threadGroup, since);
        return;
    }
    reportEnd(threadGroup);
}

void KvProcessConnectorSource::reportEnd(quint32 threadGroup)
{
    m_leaderGone.remove(threadGroup);
    emit ended(threadGroup);
}

void KvProcessConnectorSource::checkPending()
{
    for (const QPair<quint32, quint32> &child : m_forks.takeOverdue())
        reportStart(m_reader.describe(child.first, child.second), true);

    // The last threads of a process whose leader went first may have ended
    // after their own events were read.
    const QList<quint32> leaderGone = m_leaderGone.keys();
    for (quint32 threadGroup : leaderGone) {
        if (!m_reader.hasOtherLiveThreads(threadGroup))
            reportEnd(threadGroup);
    }
    schedulePendingCheck();
}

void KvProcessConnectorSource::schedulePendingCheck()
{
    if (m_pendingTimer.isActive())
        return;
    // Soon while a fork waits or a process's threads are still winding down;
    // rarely for a process that goes on without its leader thread.
    bool soon = !m_forks.isEmpty();
    for (const QElapsedTimer &since : qAsConst(m_leaderGone))
        soon = soon || since.elapsed() < 2000;
    if (soon)
        m_pendingTimer.start(KvForkTracker::graceMilliseconds / 2);
    else if (!m_leaderGone.isEmpty())
        m_pendingTimer.start(1000);
}
