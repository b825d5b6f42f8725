#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/windows/KvComPointer.h"

#include <memory>

#include <netlistmgr.h>
#include <ocidl.h>

// Connectivity from the Network List Manager.
class KvWindowsConnectivity : public KvPlatformConnectivity
{
public:
    ~KvWindowsConnectivity() override;

    KvResult<KvConnectivity> connectivity() override;
    KvStatus watch() override;

private:
    // The connection point that calls us, while we are advised of it.
    struct Registration
    {
        KvComPointer<IConnectionPoint> point;
        DWORD cookie = 0;
        ~Registration();
    };

    void follow(NLM_CONNECTIVITY connectivity);
    void stopWatching();

    std::unique_ptr<Registration> m_registration;
    KvConnectivity m_last;
};
