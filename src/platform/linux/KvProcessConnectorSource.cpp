#include "platform/linux/KvProcessConnectorSource.h"

#include "platform/linux/KvLinuxCpuGroups.h"

#include <QFile>
#include <QSocketNotifier>

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>

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

// Whether this process sees the machine's own process ids: the kernel only
// lets the initial namespaces listen, and reports ids as the initial PID
// namespace numbers them.
bool inInitialNamespaces()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("NSpid:") && line.mid(6).simplified().split(' ').size() > 1)
                return false;
        }
    }
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

// Lets through only what the source reads: forks of processes (not of
// threads), executions and exits. The rest (a name change at every
// execution, new threads, changes of ids) would only wake the program.
void attachEventFilter(int socket)
{
    // Offsets in the datagram: the netlink header, the connector message,
    // the event. Loads of words take them in network order.
    constexpr uint32_t event = NLMSG_HDRLEN + sizeof(cn_msg);
    constexpr uint32_t what = event + offsetof(proc_event, what);
    constexpr uint32_t childProcess = event + offsetof(proc_event, event_data.fork.child_pid);
    constexpr uint32_t childGroup = event + offsetof(proc_event, event_data.fork.child_tgid);
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, what),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_FORK), 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXEC), 7, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXIT), 6, 0),
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

} // namespace

std::unique_ptr<KvProcessConnectorSource> KvProcessConnectorSource::open()
{
    if (!inInitialNamespaces()) {
        errno = EPERM;
        return nullptr;
    }
    const int socket =
        ::socket(PF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (socket < 0)
        return nullptr;

    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    address.nl_pid = 0; // the kernel picks a free port
    if (::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return nullptr;
    }
    // A burst of starts (a build, a shell loop, thousands of processes while
    // the machine is too busy to let this program read) must not overflow
    // the queue; the memory is only taken while events wait. The forced size
    // needs privilege, which this source has anyway.
    const int bufferSize = 16 * 1024 * 1024;
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof(bufferSize)) < 0)
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    attachEventFilter(socket);

    if (!sendListenOperation(socket, PROC_CN_MCAST_LISTEN)) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<KvProcessConnectorSource>(new KvProcessConnectorSource(socket));
}

KvProcessConnectorSource::KvProcessConnectorSource(int socket)
    : KvProcessEventSource(true, QStringLiteral("the kernel's process connector"))
    , m_socket(socket)
    , m_notifier(new QSocketNotifier(socket, QSocketNotifier::Read, this))
{
    connect(m_notifier, &QSocketNotifier::activated, this, &KvProcessConnectorSource::readEvents);
    m_pendingTimer.setSingleShot(true);
    m_pendingTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pendingTimer, &QTimer::timeout, this, &KvProcessConnectorSource::checkPending);
    KvLinuxCpuGroups::forkReportsOpened();
}

KvProcessConnectorSource::~KvProcessConnectorSource()
{
    KvLinuxCpuGroups::forkReportsClosed();
    m_notifier->setEnabled(false);
    sendListenOperation(m_socket, PROC_CN_MCAST_IGNORE);
    ::close(m_socket);
}

void KvProcessConnectorSource::readEvents()
{
    // Every event is a datagram of its own: in a storm many wait at once,
    // and one call takes them all in.
    constexpr int batch = 64;
    alignas(nlmsghdr) char buffers[batch][1024];
    mmsghdr messages[batch];
    iovec vectors[batch];
    for (;;) {
        std::memset(messages, 0, sizeof(messages));
        for (int i = 0; i < batch; ++i) {
            vectors[i] = {buffers[i], sizeof(buffers[i])};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int received = ::recvmmsg(m_socket, messages, batch, MSG_DONTWAIT, nullptr);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                // The queue overflowed; reading goes on with what follows.
                KvLinuxCpuGroups::forkReportsLost();
                // Their ends may be among what was lost, and the ids
                // taken again.
                m_unnamed.clear();
                emit eventsLost();
                continue;
            }
            break; // EAGAIN: everything read
        }
        for (int i = 0; i < received; ++i) {
            int remaining = int(messages[i].msg_len);
            for (auto *header = reinterpret_cast<nlmsghdr *>(buffers[i]);
                 NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_type == NLMSG_NOOP)
                    continue;
                handleMessage(static_cast<const char *>(NLMSG_DATA(header)),
                              static_cast<int>(NLMSG_PAYLOAD(header, 0)));
            }
        }
        // Fewer than asked for: nothing more is waiting, and asking again
        // would only be told so.
        if (received < batch)
            break;
    }
    schedulePendingCheck();
}

void KvProcessConnectorSource::handleMessage(const char *data, int length)
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
    const KvProcessEntry process = m_reader.describe(threadGroup, creator);
    // Most short-lived processes are gone by the time their start is read,
    // with nothing left to name them by: no rule can match or reach them,
    // and a start and an end naming nothing would only add to the log. One
    // that was reported before (or ran before this source) keeps its end,
    // which rules holding it wait for.
    if (process.name.isEmpty()) {
        if (firstProgram)
            m_unnamed.insert(threadGroup);
        return;
    }
    emit started(process);
}

void KvProcessConnectorSource::onExit(quint32 process, quint32 threadGroup, quint32 parentThreadGroup)
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
        emit started(m_reader.describe(child.first, child.second));

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
