#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/common/KvConnectivityListeners.h"

#include <QMap>

class QSocketNotifier;

// Connectivity from the kernel's routing tables. While anyone listens, an
// rtnetlink socket subscribed to link, address and route changes is read by
// a socket notifier of the GUI thread's event loop; after every burst of
// changes the value is worked out again (KvRoutingTable) and the listeners
// hear of it when it differs from the last value they heard of.
class KvLinuxConnectivity : public KvPlatformConnectivity
{
public:
    KvLinuxConnectivity() = default;
    ~KvLinuxConnectivity() override;

    bool getConnectivity(NLM_CONNECTIVITY &connectivity) override;
    DWORD advise(KvConnectivityEvents *events) override;
    bool unadvise(DWORD cookie) override;

private:
    bool openChanges();
    void closeChanges();
    void readChanges();

    int changesSocket = -1;
    QSocketNotifier *changesNotifier = nullptr;
    NLM_CONNECTIVITY reported = 0;
    KvConnectivityListeners listeners;
};
