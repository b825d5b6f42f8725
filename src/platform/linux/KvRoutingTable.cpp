#include "platform/linux/KvRoutingTable.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Answers the kernel never gives in one piece larger than this.
constexpr int ReceiveBufferSize = 64 * 1024;
// A dump that keeps being interrupted by changes is tried this often.
constexpr int DumpAttempts = 5;

struct LinkRequest
{
    nlmsghdr header;
    ifinfomsg link;
};

struct RouteRequest
{
    nlmsghdr header;
    rtmsg route;
};

bool routeLeadsOut(const nlmsghdr *message, const QSet<int> &links)
{
    const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(message));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST ||
        (route->rtm_flags & RTM_F_CLONED))
        return false;
    unsigned table = route->rtm_table;
    bool leadsOut = false;
    int length = static_cast<int>(RTM_PAYLOAD(message));
    for (auto *attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(uint32_t)) {
            std::memcpy(&table, RTA_DATA(attribute), sizeof(uint32_t));
        } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
            int link = 0;
            std::memcpy(&link, RTA_DATA(attribute), sizeof(int));
            leadsOut = leadsOut || links.contains(link);
        } else if (attribute->rta_type == RTA_MULTIPATH) {
            auto *hop = static_cast<const rtnexthop *>(RTA_DATA(attribute));
            int left = static_cast<int>(RTA_PAYLOAD(attribute));
            while (left >= static_cast<int>(sizeof(rtnexthop)) &&
                   hop->rtnh_len >= sizeof(rtnexthop) && hop->rtnh_len <= left) {
                leadsOut = leadsOut || links.contains(hop->rtnh_ifindex);
                left -= RTNH_ALIGN(hop->rtnh_len);
                hop = reinterpret_cast<const rtnexthop *>(reinterpret_cast<const char *>(hop) +
                                                          RTNH_ALIGN(hop->rtnh_len));
            }
        }
    }
    // The local table holds the machine's own addresses, never a way out.
    return leadsOut && table != RT_TABLE_LOCAL;
}

} // namespace

bool KvRoutingTable::connectivity(KvConnectivity &value)
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    // The kernel answers at once; the limit only guards the GUI thread
    // against waiting for ever on a kernel that does not.
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    KvRoutingTable table(fd);
    bool ok = false;
    for (int attempt = 0; attempt < DumpAttempts && !ok; ++attempt) {
        QSet<int> links;
        bool ipv4 = false;
        bool ipv6 = false;
        bool read = table.readLinksUp(links) && table.hasDefaultRoute(AF_INET, links, ipv4);
        // A kernel without IPv6 simply has no IPv6 routes.
        if (read && !table.hasDefaultRoute(AF_INET6, links, ipv6))
            read = errno == EAFNOSUPPORT;
        if (read) {
            value = KvConnectivity();
            if (ipv4)
                value |= KvConnectivityFlag::Ipv4Internet;
            if (ipv6)
                value |= KvConnectivityFlag::Ipv6Internet;
            ok = true;
        } else if (errno != EAGAIN) {
            break; // EAGAIN: a dump was interrupted by a change; start again
        }
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}

KvRoutingTable::KvRoutingTable(int socket)
    : socket(socket)
{}

bool KvRoutingTable::readLinksUp(QSet<int> &links)
{
    LinkRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.link.ifi_family = AF_UNSPEC;
    return dump(&request, sizeof request, [&links](const nlmsghdr *message) {
        if (message->nlmsg_type != RTM_NEWLINK)
            return;
        const auto *link = static_cast<const ifinfomsg *>(NLMSG_DATA(message));
        // Up, and with a carrier: a default route over a cable that is out
        // carries nothing.
        if ((link->ifi_flags & IFF_UP) && (link->ifi_flags & IFF_RUNNING))
            links.insert(link->ifi_index);
    });
}

bool KvRoutingTable::hasDefaultRoute(unsigned char family, const QSet<int> &links, bool &found)
{
    RouteRequest request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.route.rtm_family = family;
    found = false;
    return dump(&request, sizeof request, [&](const nlmsghdr *message) {
        if (message->nlmsg_type == RTM_NEWROUTE &&
            message->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg)) &&
            static_cast<const rtmsg *>(NLMSG_DATA(message))->rtm_family == family &&
            routeLeadsOut(message, links))
            found = true;
    });
}

bool KvRoutingTable::dump(const void *request, unsigned length,
                          const std::function<void(const nlmsghdr *)> &handle)
{
    // The request is copied so that it can carry this dump's sequence number.
    QByteArray message(static_cast<const char *>(request), static_cast<int>(length));
    auto *header = reinterpret_cast<nlmsghdr *>(message.data());
    header->nlmsg_seq = ++sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(socket, message.constData(), length, 0,
                        reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
        return false;

    QByteArray buffer(ReceiveBufferSize, Qt::Uninitialized);
    // A complete dump counts only when no change came in between.
    bool interrupted = false;
    auto finished = [&interrupted] {
        if (interrupted)
            errno = EAGAIN;
        return !interrupted;
    };
    for (;;) {
        const ssize_t received =
            ::recv(socket, buffer.data(), static_cast<size_t>(buffer.size()), 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                errno = ETIMEDOUT; // not "try again": the kernel did not answer
            return false;
        }
        if (received == 0) {
            errno = EPROTO;
            return false;
        }
        int left = static_cast<int>(received);
        for (auto *answer = reinterpret_cast<const nlmsghdr *>(buffer.constData());
             NLMSG_OK(answer, left); answer = NLMSG_NEXT(answer, left)) {
            if (answer->nlmsg_seq != sequence)
                continue; // left over from an earlier, abandoned dump
            if (answer->nlmsg_flags & NLM_F_DUMP_INTR)
                interrupted = true;
            if (answer->nlmsg_type == NLMSG_DONE)
                return finished();
            if (answer->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(answer));
                if (error->error == 0)
                    return finished();
                errno = -error->error;
                return false;
            }
            handle(answer);
        }
    }
}
