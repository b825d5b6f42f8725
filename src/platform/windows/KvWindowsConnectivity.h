#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/windows/KvComPointer.h"

#include <QHash>

#include <memory>
#include <ocidl.h>

// Connectivity from the Network List Manager.
class KvWindowsConnectivity : public KvPlatformConnectivity
{
public:
    bool getConnectivity(NLM_CONNECTIVITY &connectivity) override;
    DWORD advise(KvConnectivityEvents *events) override;
    bool unadvise(DWORD cookie) override;

private:
    // Each registration keeps its connection point until it is ended.
    QHash<DWORD, std::shared_ptr<KvComPointer<IConnectionPoint>>> m_registrations;
};
