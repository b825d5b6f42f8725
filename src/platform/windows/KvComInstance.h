#pragma once

#include "platform/windows/KvComPointer.h"

#include <ole2.h>

// Creates COM objects the way every service of the program is created.
class KvComInstance
{
public:
    // CoCreateInstance(CLSCTX_ALL) for IUnknown, OleRun, then QueryInterface
    // for the interface wanted, releasing the IUnknown. Returns the failing
    // call's HRESULT, or E_POINTER when the object lacks the interface.
    template<class Interface>
    static HRESULT create(REFCLSID classId, REFIID interfaceId, KvComPointer<Interface> &result);
};

template<class Interface>
HRESULT KvComInstance::create(REFCLSID classId, REFIID interfaceId, KvComPointer<Interface> &result)
{
    KvComPointer<IUnknown> unknown;
    HRESULT status =
        CoCreateInstance(classId, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.putVoid());
    if (FAILED(status))
        return status;
    status = OleRun(unknown.get());
    if (FAILED(status))
        return status;
    unknown->QueryInterface(interfaceId, result.putVoid());
    return result ? S_OK : E_POINTER;
}
