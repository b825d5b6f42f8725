#pragma once

#include "platform/windows/KvWindowsProcessEntries.h"

#include <QObject>

#include <wbemidl.h>

// The event sink that WMI calls with the objects of one notification query.
// WMI calls it through a forwarding stub from the unsecured-apartment
// service, so that the calls reach the GUI thread's apartment; each delivered
// object becomes one emission of indicate. Its life follows its COM count.
class KvWbemObjectSink : public QObject, public IWbemObjectSink
{
    Q_OBJECT

public:
    using PropertyList = KvWindowsProcessEntries::Properties;

    KvWbemObjectSink();

    // The stub to hand to WMI, or null when it could not be made.
    IWbemObjectSink *forwarder() const { return m_forwarder; }
    // S_OK, or the failure that left the sink without a forwarder.
    HRESULT status() const { return m_status; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interfaceId, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Indicate(LONG objectCount, IWbemClassObject **objects) override;
    HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR parameter,
                                        IWbemClassObject *object) override;

signals:
    void indicate(const KvWbemObjectSink::PropertyList &properties);

private:
    ~KvWbemObjectSink() override;

    static PropertyList propertiesOfTarget(IWbemClassObject *event);

    IWbemObjectSink *m_forwarder = nullptr;
    HRESULT m_status = S_OK;
    // Plain, not atomic: WMI's calls arrive through the GUI thread's apartment.
    LONG m_references = 0;
};
