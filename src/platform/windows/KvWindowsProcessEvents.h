#pragma once

#include "platform/KvPlatformProcessEvents.h"

class KvWindowsProcessEvents : public KvPlatformProcessEvents
{
public:
    std::unique_ptr<KvProcessEventSource> subscribe() override;
};
