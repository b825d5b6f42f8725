#include "notifiers/KvNetworkNotifier.h"

#include "support/KvLog.h"

KvNetworkNotifier::KvNetworkNotifier(QObject *parent)
    : QObject(parent)
{
    KvPlatformConnectivity &platform = KvPlatformConnectivity::current();
    connect(&platform, &KvPlatformConnectivity::changed, this,
            &KvNetworkNotifier::connectivityChanged);
    const KvStatus watched = platform.watch();
    if (!watched) {
        kvCriticalWithCode(lcNotifier, watched.error().code)
            << "network connectivity cannot be watched, its changes are not reported";
    }
}

KvConnectivity KvNetworkNotifier::currentConnectivity()
{
    const KvResult<KvConnectivity> connectivity = KvPlatformConnectivity::current().connectivity();
    if (!connectivity) {
        kvCriticalWithCode(lcNotifier, connectivity.error().code)
            << "network connectivity cannot be read, the machine counts as disconnected";
        return KvConnectivity();
    }
    return connectivity.value();
}
