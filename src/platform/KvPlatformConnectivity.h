#pragma once

#include "platform/KvPlatformTypes.h"
#include "support/KvInstallable.h"

#ifdef _WIN32
#include <netlistmgr.h>
#else
// The platform's 32-bit set of connectivity flags, passed through unchanged.
using NLM_CONNECTIVITY = DWORD;
#endif

// The two flags of NLM_CONNECTIVITY that the program looks at. The machine
// counts as online when the value has either of them.
enum KvConnectivityFlags : DWORD {
    KvConnectivityIpv4Internet = 0x0040, // NLM_CONNECTIVITY_IPV4_INTERNET
    KvConnectivityIpv6Internet = 0x0400, // NLM_CONNECTIVITY_IPV6_INTERNET
    KvConnectivityInternet = KvConnectivityIpv4Internet | KvConnectivityIpv6Internet,
};

// What a listener of connectivity changes implements: the operations of
// INetworkListManagerEvents, under their COM names. The backend holds a
// reference on the listener (AddRef) from advise until unadvise and while it
// calls it, and releases it afterwards; the listener decides what a count of
// 0 means.
class KvConnectivityEvents
{
public:
    // IUnknown::AddRef and IUnknown::Release: the new count.
    virtual DWORD AddRef() = 0;
    virtual DWORD Release() = 0;

    // INetworkListManagerEvents::ConnectivityChanged: returns 0 (S_OK).
    virtual LONG ConnectivityChanged(NLM_CONNECTIVITY newConnectivity) = 0;

protected:
    ~KvConnectivityEvents() = default;
};

// Network connectivity (the Network List Manager).
//
// Every operation maps onto the COM calls named beside it. Failures return
// false / 0 and leave an error code for KvPlatformKernel::lastError(). All of
// it happens on the GUI thread, and change notifications arrive there too,
// from the event loop, never from inside advise.
//
// On Linux the value is computed from the kernel's routing tables, read over
// rtnetlink: KvConnectivityIpv4Internet while an IPv4 default route over an
// interface that is up exists, KvConnectivityIpv6Internet likewise for IPv6,
// no other flags. A change is reported whenever that value changes.
class KvPlatformConnectivity : public KvInstallable<KvPlatformConnectivity>
{
public:
    virtual ~KvPlatformConnectivity() = default;

    static KvPlatformConnectivity *native();

    // CoCreateInstance(CLSID_NetworkListManager, CLSCTX_ALL), OleRun,
    // QueryInterface(INetworkListManager), INetworkListManager::GetConnectivity:
    // the connectivity now, or false when any step fails.
    virtual bool getConnectivity(NLM_CONNECTIVITY &connectivity) = 0;

    // The same creation, then IConnectionPointContainer::FindConnectionPoint
    // (IID_INetworkListManagerEvents) and IConnectionPoint::Advise(events):
    // the registration cookie (never 0), or 0 when any step fails. From now
    // on every change of the connectivity calls events->ConnectivityChanged.
    virtual DWORD advise(KvConnectivityEvents *events) = 0;

    // IConnectionPoint::Unadvise(cookie): ends a registration and releases
    // the backend's reference on its listener. An unknown cookie fails.
    virtual bool unadvise(DWORD cookie) = 0;

protected:
    KvPlatformConnectivity() = default;
};
