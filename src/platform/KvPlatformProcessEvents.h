#pragma once

#include "platform/KvProcessEventSource.h"
#include "support/KvInstallable.h"

#include <memory>

// Process creation and deletion events for the whole machine.
class KvPlatformProcessEvents : public KvInstallable<KvPlatformProcessEvents>
{
public:
    virtual ~KvPlatformProcessEvents() = default;

    static KvPlatformProcessEvents *native();

    // On Windows: IWbemLocator::ConnectServer("ROOT\\CIMV2") and two
    // IWbemServices::ExecNotificationQueryAsync subscriptions,
    //     SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'
    //     SELECT * FROM __InstanceDeletionEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'
    // whose sinks deliver the local, non-system properties of each event's
    // TargetInstance; destroying the source calls CancelAsyncCall for both.
    //
    // Never null. When nothing can deliver events the source says so with
    // isListening() false, and lastError() holds the code of the failure.
    virtual std::unique_ptr<KvProcessEventSource> subscribe() = 0;

protected:
    KvPlatformProcessEvents() = default;
};
