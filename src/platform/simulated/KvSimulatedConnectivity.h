#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/common/KvConnectivityListeners.h"

#include <QMap>

// Connectivity of the simulated machine: a value that tests set, changes
// fired on demand, and a source that can be made to fail. Notifications run
// inside the call that fires them, which stands for the event loop
// delivering them.
class KvSimulatedConnectivity : public KvPlatformConnectivity
{
public:
    enum ErrorCode : DWORD {
        ErrorInvalidCookie = 0x80040200, // CONNECT_E_NOCONNECTION
    };

    // Sets the value without telling anyone.
    void setConnectivity(NLM_CONNECTIVITY connectivity);
    // Sets the value and tells every registered listener, even when the
    // value is the one it already had.
    void fireConnectivityChanged(NLM_CONNECTIVITY connectivity);

    // From now on the source cannot be opened: getConnectivity and advise
    // fail with errorCode. 0 makes the source work again.
    void failOpen(DWORD errorCode);

    // Registered listeners.
    int adviseCount() const;

    bool getConnectivity(NLM_CONNECTIVITY &connectivity) override;
    DWORD advise(KvConnectivityEvents *events) override;
    bool unadvise(DWORD cookie) override;

private:
    NLM_CONNECTIVITY value = NLM_CONNECTIVITY(0);
    DWORD openError = 0;
    KvConnectivityListeners listeners;
};
