#include "notifiers/KvNetworkNotifier.h"

#include "notifiers/NetworkListManagerEvents.h"
#include "platform/KvPlatformKernel.h"
#include "support/KvLog.h"

KvNetworkNotifier::KvNetworkNotifier()
    : source(&KvPlatformConnectivity::current())
    , events(new NetworkListManagerEvents)
{
    events->AddRef();
    connect(events, &NetworkListManagerEvents::connectivityChanged, this,
            &KvNetworkNotifier::on_events_connectivityChanged);
    cookie = source->advise(events);
    if (cookie == 0) {
        kvCriticalWithError(lcNotifier)
            << "network connectivity cannot be watched, its changes are not reported";
    }
}

KvNetworkNotifier::~KvNetworkNotifier()
{
    if (cookie != 0)
        source->unadvise(cookie);
    // Should anything still hold the listener, it must no longer reach us.
    disconnect(events, nullptr, this, nullptr);
    events->Release();
}

NLM_CONNECTIVITY KvNetworkNotifier::currentConnectivity()
{
    NLM_CONNECTIVITY connectivity = NLM_CONNECTIVITY(0);
    if (!KvPlatformConnectivity::current().getConnectivity(connectivity)) {
        kvCriticalWithError(lcNotifier)
            << "network connectivity cannot be read, the machine counts as disconnected";
        return NLM_CONNECTIVITY(0);
    }
    return connectivity;
}

void KvNetworkNotifier::on_events_connectivityChanged(NLM_CONNECTIVITY newConnectivity)
{
    emit connectivityChanged(newConnectivity);
}
