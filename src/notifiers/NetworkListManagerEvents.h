#pragma once

#include "platform/KvPlatformConnectivity.h"

#include <QObject>

Q_DECLARE_INTERFACE(KvConnectivityEvents, "INetworkListManagerEvents")

// The listener that the connectivity source calls: turns each call into the
// signal connectivityChanged. Its lifetime follows its reference count,
// which starts at 0; the last Release deletes it.
class NetworkListManagerEvents : public QObject, public KvConnectivityEvents
{
    Q_OBJECT
    Q_INTERFACES(KvConnectivityEvents)

public:
    NetworkListManagerEvents() = default;

    DWORD AddRef() override;
    DWORD Release() override;
    LONG ConnectivityChanged(NLM_CONNECTIVITY newConnectivity) override;

signals:
    void connectivityChanged(NLM_CONNECTIVITY newConnectivity);

private:
    ~NetworkListManagerEvents() override = default;

    // Plain, not atomic: only the GUI thread counts.
    LONG references = 0;
};
