#include "platform/windows/KvNetworkEventsForwarder.h"

KvNetworkEventsForwarder::KvNetworkEventsForwarder(Receiver receiver)
    : m_receiver(std::move(receiver))
{}

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
    m_receiver(newConnectivity);
    return S_OK;
}
