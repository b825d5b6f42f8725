#include "platform/windows/KvWbemConnection.h"

#include "platform/windows/KvComInstance.h"
#include "platform/windows/KvWbemObjectSink.h"

namespace {

const LONG ConnectUseMaxWait = 0x80; // WBEM_FLAG_CONNECT_USE_MAX_WAIT
const DWORD DefaultAndDynamicCloaking = 0x840;

// BSTR texts that free themselves.
class Bstr
{
public:
    explicit Bstr(const wchar_t *text)
        : m_text(SysAllocString(text))
    {}
    explicit Bstr(const QString &text)
        : m_text(
              SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()), UINT(text.size())))
    {}
    ~Bstr() { SysFreeString(m_text); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;
    operator BSTR() const { return m_text; }

private:
    BSTR m_text;
};

void doNotDelete(KvWbemObjectSink *) {}

} // namespace

KvWbemConnection::KvWbemConnection()
{
    KvComPointer<IWbemLocator> locator;
    m_status = KvComInstance::create(CLSID_WbemLocator, IID_IWbemLocator, locator);
    if (FAILED(m_status))
        return;
    Bstr nameSpace(L"ROOT\\CIMV2");
    if (!nameSpace) {
        m_status = E_OUTOFMEMORY;
        return;
    }
    m_status = locator->ConnectServer(nameSpace, nullptr, nullptr, nullptr, ConnectUseMaxWait,
                                      nullptr, nullptr, &m_services);
    if (!m_services) {
        if (SUCCEEDED(m_status))
            m_status = E_POINTER;
        return;
    }
    CoSetProxyBlanket(m_services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                      RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_DELEGATE, nullptr,
                      DefaultAndDynamicCloaking);
}

KvWbemConnection::~KvWbemConnection()
{
    for (const QSharedPointer<KvWbemObjectSink> &sink : qAsConst(m_sinks)) {
        IWbemObjectSink *forwarder = sink->forwarder();
        forwarder->AddRef();
        m_services->CancelAsyncCall(forwarder);
        forwarder->Release();
    }
    m_sinks.clear();
    if (m_services)
        m_services->Release();
}

QSharedPointer<KvWbemObjectSink> KvWbemConnection::execNotificationQueryAsync(const QString &query)
{
    if (!m_services)
        return {};
    QSharedPointer<KvWbemObjectSink> sink(new KvWbemObjectSink, doNotDelete);
    // The sink's own reference, dropped once WMI holds the forwarder (or
    // failed to take it).
    sink->AddRef();
    if (FAILED(sink->status())) {
        m_status = sink->status();
        sink->Release();
        return {};
    }
    IWbemObjectSink *forwarder = sink->forwarder();
    forwarder->AddRef();
    m_services->ExecNotificationQueryAsync(Bstr(L"WQL"), Bstr(query), 0, nullptr, forwarder);
    forwarder->Release();
    m_sinks.insert(sink);
    sink->Release();
    return sink;
}
