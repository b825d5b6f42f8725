#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/windows/KvWbemConnection.h"

#include <memory>

// Process start and end events from WMI's two notification queries on
// Win32_Process.
class KvWmiProcessEventSource : public KvProcessEventSource
{
    Q_OBJECT

public:
    // Connects and subscribes; when that fails, the source never emits and
    // lastError holds the COM error.
    static std::unique_ptr<KvWmiProcessEventSource> open();

private:
    KvWmiProcessEventSource(std::unique_ptr<KvWbemConnection> connection, bool listening,
                            const QString &description);

    std::unique_ptr<KvWbemConnection> m_connection;
};
