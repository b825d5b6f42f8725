#pragma once

#include "platform/KvPlatformConnectivity.h"

#include <QMap>

// The registered listeners of a connectivity backend that calls them
// itself. The table holds a reference on each listener from add to remove.
class KvConnectivityListeners
{
public:
    // Registers events and returns its cookie (never 0).
    DWORD add(KvConnectivityEvents *events);
    // Ends a registration and releases the listener; false for an unknown
    // cookie.
    bool remove(DWORD cookie);

    // Calls every listener with the value. A listener may end registrations
    // while it is called: those that went away are skipped, and the reference
    // held during the call keeps a listener alive even if it unregisters
    // itself.
    void notify(NLM_CONNECTIVITY connectivity) const;

    int size() const { return listeners.size(); }
    bool isEmpty() const { return listeners.isEmpty(); }

private:
    QMap<DWORD, KvConnectivityEvents *> listeners;
    DWORD nextCookie = 1;
};
