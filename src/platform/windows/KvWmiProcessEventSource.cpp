#include "platform/windows/KvWmiProcessEventSource.h"

#include "platform/windows/KvWindowsProcesses.h"

namespace {

const QString CreationQuery = QStringLiteral(
    "SELECT * FROM __InstanceCreationEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'");
const QString DeletionQuery = QStringLiteral(
    "SELECT * FROM __InstanceDeletionEvent WITHIN 1 WHERE TargetInstance ISA 'Win32_Process'");

} // namespace

KvWmiProcessEventSource::KvWmiProcessEventSource(std::unique_ptr<KvWbemConnection> connection,
                                                 bool listening, const QString &description)
    : KvProcessEventSource(listening, description,
                           listening ? KvError() : KvError{int(connection->status()), description})
    , m_connection(std::move(connection))
{}

std::unique_ptr<KvWmiProcessEventSource> KvWmiProcessEventSource::open()
{
    auto connection = std::make_unique<KvWbemConnection>();
    const QSharedPointer<KvWbemObjectSink> creation =
        connection->execNotificationQueryAsync(CreationQuery);
    const QSharedPointer<KvWbemObjectSink> deletion =
        connection->execNotificationQueryAsync(DeletionQuery);
    const bool listening = creation && deletion;
    const QString description =
        listening
            ? QStringLiteral("WMI notification queries on Win32_Process")
            : QStringLiteral("WMI cannot deliver process events (error 0x%1)")
                  .arg(static_cast<unsigned long>(connection->status()), 8, 16, QLatin1Char('0'));

    std::unique_ptr<KvWmiProcessEventSource> source(
        new KvWmiProcessEventSource(std::move(connection), listening, description));
    if (creation)
        QObject::connect(creation.data(), &KvWbemObjectSink::indicate, source.get(),
                         &KvWmiProcessEventSource::reportStart);
    if (deletion)
        QObject::connect(deletion.data(), &KvWbemObjectSink::indicate, source.get(),
                         &KvWmiProcessEventSource::reportEnd);
    return source;
}

void KvWmiProcessEventSource::reportStart(const KvWbemObjectSink::PropertyList &properties)
{
    std::optional<KvProcessEntry> entry = KvWindowsProcessEntries::started(properties);
    if (!entry)
        return;
    KvWindowsProcesses::complete(*entry);
    emit started(*entry);
}

void KvWmiProcessEventSource::reportEnd(const KvWbemObjectSink::PropertyList &properties)
{
    if (const std::optional<quint32> id = KvWindowsProcessEntries::ended(properties))
        emit ended(*id);
}
