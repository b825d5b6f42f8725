#include "platform/windows/KvWmiProcessEventSource.h"

#include "platform/windows/KvWbemObjectSink.h"

namespace {

const QString CreationQuery = QStringLiteral(
    "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'");
const QString DeletionQuery = QStringLiteral(
    "SELECT * FROM __InstanceDeletionEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'");

} // namespace

KvWmiProcessEventSource::KvWmiProcessEventSource(std::unique_ptr<KvWbemConnection> connection,
                                                 bool listening, const QString &description)
    : KvProcessEventSource(listening, description)
    , m_connection(std::move(connection))
{
}

std::unique_ptr<KvWmiProcessEventSource> KvWmiProcessEventSource::open()
{
    auto connection = std::make_unique<KvWbemConnection>();
    const QSharedPointer<KvWbemObjectSink> creation =
        connection->execNotificationQueryAsync(CreationQuery);
    const QSharedPointer<KvWbemObjectSink> deletion =
        connection->execNotificationQueryAsync(DeletionQuery);
    const bool listening = creation && deletion;
    const HRESULT status = connection->status();
    const QString description =
        listening ? QStringLiteral("WMI notification queries on Win32_Process")
                  : QStringLiteral("WMI cannot deliver process events (error 0x%1)")
                        .arg(static_cast<unsigned long>(status), 8, 16, QLatin1Char('0'));

    std::unique_ptr<KvWmiProcessEventSource> source(
        new KvWmiProcessEventSource(std::move(connection), listening, description));
    if (creation)
        QObject::connect(creation.data(), &KvWbemObjectSink::indicate, source.get(),
                         &KvProcessEventSource::instanceCreated);
    if (deletion)
        QObject::connect(deletion.data(), &KvWbemObjectSink::indicate, source.get(),
                         &KvProcessEventSource::instanceDeleted);
    if (!listening)
        SetLastError(static_cast<DWORD>(status));
    return source;
}
