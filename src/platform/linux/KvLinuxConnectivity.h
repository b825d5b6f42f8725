#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/linux/KvUniqueFd.h"

#include <memory>

class QSocketNotifier;

// Connectivity from the kernel's routing tables. Once watched, an rtnetlink
// socket subscribed to link, address and route changes is read by a socket
// notifier of the GUI thread's event loop; after every burst of changes the
// value is worked out again (KvRoutingTable) and a change is reported when
// it differs from the last value reported.
class KvLinuxConnectivity : public KvPlatformConnectivity
{
public:
    KvLinuxConnectivity();
    ~KvLinuxConnectivity() override;

    KvResult<KvConnectivity> connectivity() override;
    KvStatus watch() override;

private:
    void readChanges();

    KvUniqueFd changes;
    std::unique_ptr<QSocketNotifier> notifier;
    KvConnectivity reported;
};
