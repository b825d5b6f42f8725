#include "platform/linux/KvLinuxConnectivity.h"

#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvRoutingTable.h"

#include <QList>
#include <QSocketNotifier>

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void setLastError(int code)
{
    KvPlatformKernel::current().setLastError(static_cast<DWORD>(code));
}

} // namespace

KvPlatformConnectivity *KvPlatformConnectivity::native()
{
    // Never destroyed: its socket notifier belongs to an event loop that
    // may be gone when static objects are destroyed at exit.
    static KvLinuxConnectivity *instance = new KvLinuxConnectivity;
    return instance;
}

KvLinuxConnectivity::~KvLinuxConnectivity()
{
    closeChanges();
}

bool KvLinuxConnectivity::getConnectivity(NLM_CONNECTIVITY &connectivity)
{
    if (!KvRoutingTable::connectivity(connectivity)) {
        setLastError(errno);
        return false;
    }
    return true;
}

DWORD KvLinuxConnectivity::advise(KvConnectivityEvents *events)
{
    if (!events) {
        setLastError(EINVAL);
        return 0;
    }
    if (changesSocket < 0 && !openChanges())
        return 0;
    return listeners.add(events);
}

bool KvLinuxConnectivity::unadvise(DWORD cookie)
{
    if (!listeners.remove(cookie)) {
        setLastError(EINVAL);
        return false;
    }
    if (listeners.isEmpty())
        closeChanges();
    return true;
}

bool KvLinuxConnectivity::openChanges()
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        setLastError(errno);
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR |
                        RTMGRP_IPV6_ROUTE;
    // Subscribe before reading the starting value, so that no change can
    // fall between the two.
    NLM_CONNECTIVITY now = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0 ||
        !KvRoutingTable::connectivity(now)) {
        const int error = errno;
        ::close(fd);
        setLastError(error);
        return false;
    }
    changesSocket = fd;
    reported = now;
    changesNotifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(changesNotifier, &QSocketNotifier::activated, [this] { readChanges(); });
    return true;
}

void KvLinuxConnectivity::closeChanges()
{
    // The last listener may leave while the notifier is delivering.
    if (changesNotifier) {
        changesNotifier->setEnabled(false);
        changesNotifier->deleteLater();
    }
    changesNotifier = nullptr;
    if (changesSocket >= 0)
        ::close(changesSocket);
    changesSocket = -1;
}

void KvLinuxConnectivity::readChanges()
{
    // What changed does not matter, only that something did: take in the
    // whole burst, then work the value out once. A full queue (ENOBUFS)
    // loses messages, which the fresh reading makes good.
    char buffer[8192];
    for (;;) {
        const ssize_t received = ::recv(changesSocket, buffer, sizeof buffer, 0);
        if (received > 0 || (received < 0 && (errno == EINTR || errno == ENOBUFS)))
            continue;
        break;
    }
    NLM_CONNECTIVITY now = 0;
    if (!KvRoutingTable::connectivity(now) || now == reported)
        return;
    reported = now;
    listeners.notify(now);
}
