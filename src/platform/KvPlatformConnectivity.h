#pragma once

#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QFlags>
#include <QObject>

// Whether the machine reaches the internet, over IPv4 and over IPv6.
enum class KvConnectivityFlag : quint32 {
    Ipv4Internet = 0x0040,
    Ipv6Internet = 0x0400,
};
Q_DECLARE_FLAGS(KvConnectivity, KvConnectivityFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(KvConnectivity)

// The machine's connectivity, and its changes.
//
// Windows: the Network List Manager (INetworkListManager::GetConnectivity and
// its events), whose two internet flags these are. Linux: the kernel's
// routing tables over rtnetlink: a default route through an interface that
// is up, for each family. Changes arrive on the GUI thread, from the event
// loop, and only when the value changes.
class KvPlatformConnectivity : public QObject, public KvInstallable<KvPlatformConnectivity>
{
    Q_OBJECT

public:
    ~KvPlatformConnectivity() override = default;

    static KvPlatformConnectivity *native();

    virtual KvResult<KvConnectivity> connectivity() = 0;
    // Starts following the changes; fails when they cannot be watched.
    virtual KvStatus watch() = 0;

signals:
    void changed(KvConnectivity connectivity);

protected:
    KvPlatformConnectivity() = default;
};
