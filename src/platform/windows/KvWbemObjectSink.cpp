#include "platform/windows/KvWbemObjectSink.h"

#include "platform/windows/KvComInstance.h"

namespace {

const LONG LocalNonSystemProperties = 0x50; // WBEM_FLAG_LOCAL_ONLY | WBEM_FLAG_NONSYSTEM_ONLY
const HRESULT MethodNotImplemented = static_cast<HRESULT>(0x80041055);

QVariant toVariant(const VARIANT &value)
{
    switch (value.vt) {
    case VT_I4:
        return QVariant(static_cast<int>(value.lVal));
    case VT_BSTR:
        return QVariant(QString::fromWCharArray(value.bstrVal, int(SysStringLen(value.bstrVal))));
    default:
        return QVariant();
    }
}

} // namespace

KvWbemObjectSink::KvWbemObjectSink()
{
    KvComPointer<IUnsecuredApartment> apartment;
    m_status = KvComInstance::create(CLSID_UnsecuredApartment, IID_IUnsecuredApartment, apartment);
    if (FAILED(m_status))
        return;
    KvComPointer<IUnknown> stub;
    m_status = apartment->CreateObjectStub(static_cast<IWbemObjectSink *>(this), stub.put());
    if (FAILED(m_status))
        return;
    stub->QueryInterface(IID_IWbemObjectSink, reinterpret_cast<void **>(&m_forwarder));
    if (!m_forwarder)
        m_status = E_POINTER;
}

KvWbemObjectSink::~KvWbemObjectSink()
{
    if (m_forwarder)
        m_forwarder->Release();
}

HRESULT KvWbemObjectSink::QueryInterface(REFIID interfaceId, void **object)
{
    if (!object)
        return E_POINTER;
    if (IsEqualIID(interfaceId, IID_IUnknown) || IsEqualIID(interfaceId, IID_IWbemObjectSink)) {
        *object = static_cast<IWbemObjectSink *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG KvWbemObjectSink::AddRef()
{
    return ULONG(++m_references);
}

ULONG KvWbemObjectSink::Release()
{
    const LONG remaining = --m_references;
    if (remaining == 0)
        delete this;
    return ULONG(remaining);
}

HRESULT KvWbemObjectSink::Indicate(LONG objectCount, IWbemClassObject **objects)
{
    for (LONG i = 0; i < objectCount; ++i)
        emit indicate(propertiesOfTarget(objects[i]));
    return S_OK;
}

HRESULT KvWbemObjectSink::SetStatus(LONG, HRESULT, BSTR, IWbemClassObject *)
{
    return MethodNotImplemented;
}

KvWbemObjectSink::PropertyList KvWbemObjectSink::propertiesOfTarget(IWbemClassObject *event)
{
    PropertyList properties;
    VARIANT target;
    VariantInit(&target);
    KvComPointer<IWbemClassObject> instance;
    if (event && SUCCEEDED(event->Get(L"TargetInstance", 0, &target, nullptr, nullptr)) &&
        (target.vt == VT_UNKNOWN || target.vt == VT_DISPATCH) && target.punkVal)
        target.punkVal->QueryInterface(IID_IWbemClassObject, instance.putVoid());
    VariantClear(&target);
    // An event without a target instance still reaches the notifier, as an
    // empty list that names no process.
    if (!instance)
        return properties;

    instance->BeginEnumeration(LocalNonSystemProperties);
    for (;;) {
        BSTR name = nullptr;
        VARIANT value;
        VariantInit(&value);
        if (instance->Next(0, &name, &value, nullptr, nullptr) != WBEM_S_NO_ERROR)
            break;
        properties.append(
            qMakePair(QString::fromWCharArray(name, int(SysStringLen(name))), toVariant(value)));
        SysFreeString(name);
        VariantClear(&value);
    }
    instance->EndEnumeration();
    return properties;
}
