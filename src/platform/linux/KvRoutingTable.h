#pragma once

#include "platform/KvPlatformConnectivity.h"

#include <QSet>

#include <functional>

struct nlmsghdr;

// Works out the connectivity value from the kernel's interfaces and routes,
// asked over a fresh rtnetlink socket each time: the IPv4 internet flag
// while an IPv4 default route leads out through an interface that is up and
// has a carrier, the IPv6 flag likewise.
class KvRoutingTable
{
public:
    // The value now, or false with errno set when the kernel cannot be asked.
    static bool connectivity(KvConnectivity &value);

private:
    explicit KvRoutingTable(int socket);

    bool readLinksUp(QSet<int> &links);
    bool hasDefaultRoute(unsigned char family, const QSet<int> &links, bool &found);
    // Sends a dump request and hands every answer to handle. False with
    // errno set on failure, EAGAIN when the kernel's tables changed during
    // the dump, so that the answers are not consistent.
    bool dump(const void *request, unsigned length,
              const std::function<void(const nlmsghdr *)> &handle);

    int socket;
    unsigned sequence = 0;
};
