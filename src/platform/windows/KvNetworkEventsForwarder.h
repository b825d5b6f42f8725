#pragma once

#include <functional>

#include <netlistmgr.h>

// The COM object that the Network List Manager calls: hands each
// connectivity change to a function. Its life follows its COM count.
class KvNetworkEventsForwarder : public INetworkListManagerEvents
{
public:
    using Receiver = std::function<void(NLM_CONNECTIVITY connectivity)>;

    explicit KvNetworkEventsForwarder(Receiver receiver);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interfaceId, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ConnectivityChanged(NLM_CONNECTIVITY newConnectivity) override;

private:
    virtual ~KvNetworkEventsForwarder() = default;

    Receiver m_receiver;
    // Plain, not atomic: calls arrive through the GUI thread's apartment.
    ULONG m_references = 0;
};
