#include "platform/windows/KvWindowsProcessEvents.h"

#include "platform/windows/KvWmiProcessEventSource.h"

KvPlatformProcessEvents *KvPlatformProcessEvents::native()
{
    static KvWindowsProcessEvents backend;
    return &backend;
}

std::unique_ptr<KvProcessEventSource> KvWindowsProcessEvents::subscribe()
{
    return KvWmiProcessEventSource::open();
}
