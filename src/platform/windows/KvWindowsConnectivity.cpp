#include "platform/windows/KvWindowsConnectivity.h"

#include "platform/windows/KvComInstance.h"
#include "platform/windows/KvNetworkEventsForwarder.h"

#include <netlistmgr.h>

KvPlatformConnectivity *KvPlatformConnectivity::native()
{
    static KvWindowsConnectivity backend;
    return &backend;
}

namespace {

HRESULT createManager(KvComPointer<INetworkListManager> &manager)
{
    return KvComInstance::create(CLSID_NetworkListManager, IID_INetworkListManager, manager);
}

// Failures are reported the way every backend reports them: through
// lastError, which on Windows is the thread's last-error code.
bool fail(HRESULT status)
{
    SetLastError(static_cast<DWORD>(status));
    return false;
}

} // namespace

bool KvWindowsConnectivity::getConnectivity(NLM_CONNECTIVITY &connectivity)
{
    KvComPointer<INetworkListManager> manager;
    const HRESULT created = createManager(manager);
    if (FAILED(created))
        return fail(created);
    const HRESULT status = manager->GetConnectivity(&connectivity);
    return SUCCEEDED(status) || fail(status);
}

DWORD KvWindowsConnectivity::advise(KvConnectivityEvents *events)
{
    KvComPointer<INetworkListManager> manager;
    HRESULT status = createManager(manager);
    if (FAILED(status))
        return fail(status), 0;

    KvComPointer<IConnectionPointContainer> container;
    manager->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    if (!container)
        return fail(E_POINTER), 0;

    auto point = std::make_shared<KvComPointer<IConnectionPoint>>();
    container->FindConnectionPoint(IID_INetworkListManagerEvents, point->put());
    if (!*point)
        return fail(E_POINTER), 0;

    // The connection point takes its own reference on the forwarder; the
    // temporary one taken here only spans the call.
    auto *forwarder = new KvNetworkEventsForwarder(events);
    forwarder->AddRef();
    DWORD cookie = 0;
    status = (*point)->Advise(forwarder, &cookie);
    forwarder->Release();
    if (FAILED(status) || cookie == 0)
        return fail(FAILED(status) ? status : E_FAIL), 0;

    m_registrations.insert(cookie, point);
    return cookie;
}

bool KvWindowsConnectivity::unadvise(DWORD cookie)
{
    const auto point = m_registrations.take(cookie);
    if (!point)
        return fail(E_INVALIDARG);
    const HRESULT status = (*point)->Unadvise(cookie);
    return SUCCEEDED(status) || fail(status);
}
