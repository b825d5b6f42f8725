#include "notifiers/NetworkListManagerEvents.h"

DWORD NetworkListManagerEvents::AddRef()
{
    return static_cast<DWORD>(++references);
}

DWORD NetworkListManagerEvents::Release()
{
    const LONG left = --references;
    if (left == 0)
        delete this;
    return static_cast<DWORD>(left);
}

LONG NetworkListManagerEvents::ConnectivityChanged(NLM_CONNECTIVITY newConnectivity)
{
    emit connectivityChanged(newConnectivity);
    return 0;
}
