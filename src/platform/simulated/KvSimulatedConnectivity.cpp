#include "platform/simulated/KvSimulatedConnectivity.h"

#include "platform/KvPlatformKernel.h"

#include <QList>

void KvSimulatedConnectivity::setConnectivity(NLM_CONNECTIVITY connectivity)
{
    value = connectivity;
}

void KvSimulatedConnectivity::fireConnectivityChanged(NLM_CONNECTIVITY connectivity)
{
    value = connectivity;
    // A listener may end registrations while it is called, so walk a copy
    // and skip the ones that went away; the reference held during the call
    // keeps the listener alive even if it unregisters itself.
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

void KvSimulatedConnectivity::failOpen(DWORD errorCode)
{
    openError = errorCode;
}

int KvSimulatedConnectivity::adviseCount() const
{
    return listeners.size();
}

bool KvSimulatedConnectivity::getConnectivity(NLM_CONNECTIVITY &connectivity)
{
    if (openError != 0) {
        KvPlatformKernel::current().setLastError(openError);
        return false;
    }
    connectivity = value;
    return true;
}

DWORD KvSimulatedConnectivity::advise(KvConnectivityEvents *events)
{
    if (openError != 0) {
        KvPlatformKernel::current().setLastError(openError);
        return 0;
    }
    const DWORD cookie = nextCookie++;
    events->AddRef();
    listeners.insert(cookie, events);
    return cookie;
}

bool KvSimulatedConnectivity::unadvise(DWORD cookie)
{
    KvConnectivityEvents *events = listeners.take(cookie);
    if (!events) {
        KvPlatformKernel::current().setLastError(ErrorInvalidCookie);
        return false;
    }
    events->Release();
    return true;
}
