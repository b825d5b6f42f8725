#pragma once

#include "platform/KvPlatformConnectivity.h"

#include <netlistmgr.h>

// The COM object that the Network List Manager calls: forwards each
// connectivity change to the program's listener. Holds a reference on the
// listener for its whole life; its own life follows its COM count.
class KvNetworkEventsForwarder : public INetworkListManagerEvents
{
public:
    explicit KvNetworkEventsForwarder(KvConnectivityEvents *listener);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interfaceId, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ConnectivityChanged(NLM_CONNECTIVITY newConnectivity) override;

private:
    virtual ~KvNetworkEventsForwarder();

    KvConnectivityEvents *m_listener;
    // Plain, not atomic: calls arrive through the GUI thread's apartment.
    ULONG m_references = 0;
};
