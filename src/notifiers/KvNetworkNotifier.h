#pragma once

#include "platform/KvPlatformConnectivity.h"

#include <QObject>

class NetworkListManagerEvents;

// Reports every change of the machine's network connectivity as the signal
// connectivityChanged, on the GUI thread. It reports changes only; whoever
// needs the value at a given moment asks currentConnectivity().
//
// When the connectivity source cannot be opened the notifier says so in the
// log and stays silent.
class KvNetworkNotifier : public QObject
{
    Q_OBJECT

public:
    KvNetworkNotifier();
    ~KvNetworkNotifier() override;

    // The connectivity now. When the source cannot be read this is logged
    // and the machine counts as disconnected (0).
    static NLM_CONNECTIVITY currentConnectivity();

signals:
    void connectivityChanged(NLM_CONNECTIVITY newConnectivity);

private slots:
    void on_events_connectivityChanged(NLM_CONNECTIVITY newConnectivity);

private:
    // The source registered with, which stays the one to unregister from.
    KvPlatformConnectivity *source;
    // The registration with the source; 0 while there is none.
    DWORD cookie = 0;
    // Our own reference keeps the listener alive for our lifetime, whether
    // or not the source took one.
    NetworkListManagerEvents *events = nullptr;
};
