#include "platform/windows/KvWindowsConnectivity.h"

#include "platform/windows/KvComInstance.h"
#include "platform/windows/KvNetworkEventsForwarder.h"
#include "platform/windows/KvWindowsError.h"

#include <QCoreApplication>
#include <QPointer>

static_assert(int(KvConnectivityFlag::Ipv4Internet) == NLM_CONNECTIVITY_IPV4_INTERNET &&
                  int(KvConnectivityFlag::Ipv6Internet) == NLM_CONNECTIVITY_IPV6_INTERNET,
              "the internet flags are the Network List Manager's");

namespace {

HRESULT createManager(KvComPointer<INetworkListManager> &manager)
{
    return KvComInstance::create(CLSID_NetworkListManager, IID_INetworkListManager, manager);
}

KvConnectivity internetFlagsOf(NLM_CONNECTIVITY connectivity)
{
    return KvConnectivity(QFlag(int(connectivity) &
                                (NLM_CONNECTIVITY_IPV4_INTERNET | NLM_CONNECTIVITY_IPV6_INTERNET)));
}

} // namespace

KvPlatformConnectivity *KvPlatformConnectivity::native()
{
    static KvWindowsConnectivity backend;
    return &backend;
}

KvWindowsConnectivity::~KvWindowsConnectivity()
{
    // After the application, COM is gone and our references with it: nothing
    // is left to release.
    if (!QCoreApplication::instance())
        m_registration.release();
}

KvWindowsConnectivity::Registration::~Registration()
{
    if (cookie != 0)
        point->Unadvise(cookie);
}

KvResult<KvConnectivity> KvWindowsConnectivity::connectivity()
{
    KvComPointer<INetworkListManager> manager;
    HRESULT status = createManager(manager);
    NLM_CONNECTIVITY connectivity = NLM_CONNECTIVITY_DISCONNECTED;
    if (SUCCEEDED(status))
        status = manager->GetConnectivity(&connectivity);
    if (FAILED(status))
        return KvWindowsError::fromCode(DWORD(status));
    return internetFlagsOf(connectivity);
}

KvStatus KvWindowsConnectivity::watch()
{
    if (m_registration)
        return {};
    KvComPointer<INetworkListManager> manager;
    HRESULT status = createManager(manager);
    if (FAILED(status))
        return KvWindowsError::fromCode(DWORD(status));
    KvComPointer<IConnectionPointContainer> container;
    manager->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    auto registration = std::make_unique<Registration>();
    if (container)
        container->FindConnectionPoint(IID_INetworkListManagerEvents, registration->point.put());
    if (!registration->point)
        return KvWindowsError::fromCode(DWORD(E_POINTER));

    m_last = connectivity().valueOr(KvConnectivity());
    // The connection point takes its own reference on the forwarder; the
    // one taken here only spans the call.
    QPointer<KvWindowsConnectivity> self(this);
    auto *forwarder = new KvNetworkEventsForwarder([self](NLM_CONNECTIVITY connectivity) {
        if (self)
            self->follow(connectivity);
    });
    forwarder->AddRef();
    status = registration->point->Advise(forwarder, &registration->cookie);
    forwarder->Release();
    if (FAILED(status) || registration->cookie == 0)
        return KvWindowsError::fromCode(DWORD(FAILED(status) ? status : E_FAIL));
    m_registration = std::move(registration);
    // COM goes with the application: stop before it does.
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this,
                &KvWindowsConnectivity::stopWatching);
    return {};
}

void KvWindowsConnectivity::follow(NLM_CONNECTIVITY connectivity)
{
    const KvConnectivity now = internetFlagsOf(connectivity);
    if (now == m_last)
        return;
    m_last = now;
    emit changed(now);
}

void KvWindowsConnectivity::stopWatching()
{
    m_registration.reset();
}
