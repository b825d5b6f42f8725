#pragma once

#include "platform/KvPlatformConnectivity.h"

#include <QObject>

// Reports every change of the machine's network connectivity as the signal
// connectivityChanged, on the GUI thread. It reports changes only; whoever
// needs the value at a given moment asks currentConnectivity().
//
// When the connectivity source cannot be watched the notifier says so in the
// log and stays silent.
class KvNetworkNotifier : public QObject
{
    Q_OBJECT

public:
    explicit KvNetworkNotifier(QObject *parent = nullptr);

    // The connectivity now. When the source cannot be read this is logged
    // and the machine counts as disconnected.
    static KvConnectivity currentConnectivity();

signals:
    void connectivityChanged(KvConnectivity connectivity);
};
