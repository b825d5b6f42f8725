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
    listeners.notify(connectivity);
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
    return listeners.add(events);
}

bool KvSimulatedConnectivity::unadvise(DWORD cookie)
{
    if (!listeners.remove(cookie)) {
        KvPlatformKernel::current().setLastError(ErrorInvalidCookie);
        return false;
    }
    return true;
}
