#pragma once

#include <QSet>
#include <QSharedPointer>

#include <wbemidl.h>

class KvWbemObjectSink;

// The connection to WMI's ROOT\CIMV2 namespace, and the notification queries
// running over it. The sinks live by their COM counts; the set only names
// them, to cancel their queries when the connection goes.
class KvWbemConnection
{
public:
    KvWbemConnection();
    ~KvWbemConnection();
    KvWbemConnection(const KvWbemConnection &) = delete;
    KvWbemConnection &operator=(const KvWbemConnection &) = delete;

    // S_OK, or the failure that left the connection without a namespace.
    HRESULT status() const { return m_status; }

    // Starts a notification query whose events reach the returned sink. A
    // null result (with status() telling why) when nothing can be delivered.
    QSharedPointer<KvWbemObjectSink> execNotificationQueryAsync(const QString &query);

private:
    IWbemServices *m_services = nullptr;
    QSet<QSharedPointer<KvWbemObjectSink>> m_sinks;
    HRESULT m_status = S_OK;
};
