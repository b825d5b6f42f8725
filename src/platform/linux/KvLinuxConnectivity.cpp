#include "platform/linux/KvLinuxConnectivity.h"

#include "platform/linux/KvRoutingTable.h"

#include <QSocketNotifier>

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

KvPlatformConnectivity *KvPlatformConnectivity::native()
{
    // Never destroyed: its socket notifier belongs to an event loop that
    // may be gone when static objects are destroyed at exit.
    static KvLinuxConnectivity *instance = new KvLinuxConnectivity;
    return instance;
}

KvLinuxConnectivity::KvLinuxConnectivity() = default;

KvLinuxConnectivity::~KvLinuxConnectivity() = default;

KvResult<KvConnectivity> KvLinuxConnectivity::connectivity()
{
    KvConnectivity value;
    if (!KvRoutingTable::connectivity(value))
        return KvError::fromErrno(errno);
    return value;
}

KvStatus KvLinuxConnectivity::watch()
{
    if (changes.isValid())
        return {};
    KvUniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.isValid())
        return KvError::fromErrno(errno);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR |
                        RTMGRP_IPV6_ROUTE;
    // Subscribe before reading the starting value, so that no change can
    // fall between the two.
    KvConnectivity now;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0 ||
        !KvRoutingTable::connectivity(now))
        return KvError::fromErrno(errno);
    changes = std::move(fd);
    reported = now;
    notifier = std::make_unique<QSocketNotifier>(changes.get(), QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, &KvLinuxConnectivity::readChanges);
    return {};
}

void KvLinuxConnectivity::readChanges()
{
    // What changed does not matter, only that something did: take in the
    // whole burst, then work the value out once. A full queue (ENOBUFS)
    // loses messages, which the fresh reading makes good.
    char buffer[8192];
    for (;;) {
        const ssize_t received = ::recv(changes.get(), buffer, sizeof buffer, 0);
        if (received > 0 || (received < 0 && (errno == EINTR || errno == ENOBUFS)))
            continue;
        break;
    }
    KvConnectivity now;
    if (!KvRoutingTable::connectivity(now) || now == reported)
        return;
    reported = now;
    emit changed(now);
}
