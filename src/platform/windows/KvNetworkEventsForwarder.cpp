#include "platform/windows/KvNetworkEventsForwarder.h"

KvNetworkEventsForwarder::KvNetworkEventsForwarder(KvConnectivityEvents *listener)
    : m_listener(listener)
{
    m_listener->AddRef();
}

KvNetworkEventsForwarder::~KvNetworkEventsForwarder()
{
    m_listener->Release();
}

HRESULT KvNetworkEventsForwarder::QueryInterface(REFIID interfaceId, void **object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(interfaceId, IID_IUnknown) ||
        IsEqualIID(interfaceId, IID_INetworkListManagerEvents)) {
        *object = static_cast<INetworkListManagerEvents *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG KvNetworkEventsForwarder::AddRef()
{
    return ++m_references;
}

ULONG KvNetworkEventsForwarder::Release()
{
    const ULONG remaining = --m_references;
    if (remaining == 0)
        delete this;
    return remaining;
}

HRESULT KvNetworkEventsForwarder::ConnectivityChanged(NLM_CONNECTIVITY newConnectivity)
{
    // The listener may drop its last other reference while it handles the
    // change; this reference keeps it alive until the call returns.
    m_listener->AddRef();
    const HRESULT result = m_listener->ConnectivityChanged(newConnectivity);
    m_listener->Release();
    return result;
}
