#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/windows/KvWbemConnection.h"
#include "platform/windows/KvWbemObjectSink.h"

#include <memory>

// Process start and end events from WMI's two notification queries on
// Win32_Process.
class KvWmiProcessEventSource : public KvProcessEventSource
{
    Q_OBJECT

public:
    // Connects and subscribes; when that fails, the source never emits and
    // its description holds the COM error.
    static std::unique_ptr<KvWmiProcessEventSource> open();

private:
    KvWmiProcessEventSource(std::unique_ptr<KvWbemConnection> connection, bool listening,
                            const QString &description);

    void reportStart(const KvWbemObjectSink::PropertyList &properties);
    void reportEnd(const KvWbemObjectSink::PropertyList &properties);

    std::unique_ptr<KvWbemConnection> m_connection;
};
