#include "platform/common/KvConnectivityListeners.h"

#include <QList>

DWORD KvConnectivityListeners::add(KvConnectivityEvents *events)
{
    const DWORD cookie = nextCookie++;
    events->AddRef();
    listeners.insert(cookie, events);
    return cookie;
}

bool KvConnectivityListeners::remove(DWORD cookie)
{
    KvConnectivityEvents *events = listeners.take(cookie);
    if (!events)
        return false;
    events->Release();
    return true;
}

void KvConnectivityListeners::notify(NLM_CONNECTIVITY connectivity) const
{
    const QList<DWORD> cookies = listeners.keys();
    for (DWORD cookie : cookies) {
        KvConnectivityEvents *events = listeners.value(cookie);
        if (!events)
            continue;
        events->AddRef();
        events->ConnectivityChanged(connectivity);
        events->Release();
    }
}
