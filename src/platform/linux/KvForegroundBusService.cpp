#include "platform/linux/KvForegroundBusService.h"
#include "support/KvLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusReply>
#include <QFile>
#include <QFileInfo>

const char KvForegroundBusService::serviceName[] = "app.corvane.Corvane";
const char KvForegroundBusService::objectPath[] = "/app/corvane/Corvane";

namespace {

// Where a session bus is, libdbus finds it through the environment or at
// $XDG_RUNTIME_DIR/bus. Otherwise it would try to launch one (dbus-launch),
// a daemon that no desktop script is on and that would outlive us.
bool sessionBusAnnounced()
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    return !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
           (!runtimeDir.isEmpty() && QFileInfo::exists(QFile::decodeName(runtimeDir + "/bus")));
}

} // namespace

KvForegroundBusService::KvForegroundBusService(ReportHandler onReport, QObject *parent)
    : QObject(parent)
    , onReport(std::move(onReport))
{}

bool KvForegroundBusService::start()
{
    const QString name = QLatin1String(serviceName);
    const auto noBus = [this](const QString &reason) {
        kvInfo(lcNotifier) << QStringLiteral("no session bus (%1): the desktop's foreground "
                                             "reports, which alone show native Wayland "
                                             "windows, are not received")
                                  .arg(reason);
        return false;
    };
    if (!sessionBusAnnounced())
        return noBus(QStringLiteral("none announced"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return noBus(QStringLiteral("%1 does not answer")
                         .arg(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS")));
    }
    if (!bus.registerObject(QLatin1String(objectPath), this,
                            QDBusConnection::ExportScriptableSlots)) {
        kvCritical(lcNotifier)
            << QStringLiteral("the session bus refused the object %1: the desktop's foreground "
                              "reports are not received")
                   .arg(QLatin1String(objectPath));
        return false;
    }
    QDBusConnectionInterface *daemon = bus.interface();
    connect(daemon, &QDBusConnectionInterface::serviceRegistered, this,
            &KvForegroundBusService::onNameAcquired);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        daemon->registerService(name, QDBusConnectionInterface::QueueService,
                                QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        bus.unregisterObject(QLatin1String(objectPath));
        kvCritical(lcNotifier) << QStringLiteral(
                                      "the session bus refused the name %1 (%2): the desktop's "
                                      "foreground reports are not received")
                                      .arg(name, reply.error().message());
        return false;
    }
    if (reply.value() == QDBusConnectionInterface::ServiceQueued) {
        kvInfo(lcNotifier) << QStringLiteral(
                                  "another copy of Corvane owns %1 on the session bus and receives "
                                  "the desktop's foreground reports; this copy receives them when "
                                  "that one ends")
                                  .arg(name);
    } else {
        owner = true;
        kvInfo(lcNotifier)
            << QStringLiteral("receives the desktop's foreground reports as %1 on the session bus")
                   .arg(name);
    }
    return true;
}

void KvForegroundBusService::onNameAcquired(const QString &name)
{
    // The bus also confirms the name we got at once; only a name that was
    // queued for is news.
    if (owner || name != QLatin1String(serviceName))
        return;
    owner = true;
    kvInfo(lcNotifier) << QStringLiteral("the other copy of Corvane ended: this copy now "
                                         "receives the desktop's foreground reports");
}

void KvForegroundBusService::ReportProcess(uint processId)
{
    onReport(processId);
}

void KvForegroundBusService::ReportProcess(int processId)
{
    onReport(processId);
}
