#pragma once

#include "platform/KvPlatformProcessEvents.h"

// The kernel's process connector where this process may listen to it,
// polling /proc otherwise.
class KvLinuxProcessEvents : public KvPlatformProcessEvents
{
public:
    std::unique_ptr<KvProcessEventSource> subscribe() override;

    // Whether subscribe() tries the process connector first; false makes it
    // poll, as without privilege.
    void setConnectorAllowed(bool allowed) { m_connectorAllowed = allowed; }

private:
    bool m_connectorAllowed = true;
};
