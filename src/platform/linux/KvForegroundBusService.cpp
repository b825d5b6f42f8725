#include "platform/linux/KvForegroundBusService.h"
#include "support/KvLog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusReply>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <signal.h>
#include <unistd.h>


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

bool processExists(quint32 processId)
{
    // Signal 0 only asks; another user's process answers EPERM, but it is there.
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

} // namespace

KvForegroundBusService::KvForegroundBusService(ReportHandler onReport,
                                               QObject *parent)
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
        kvCritical(lcNotifier) << QStringLiteral("the session bus refused the object %1: the desktop's foreground "
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
        kvCritical(lcNotifier) << QStringLiteral("the session bus refused the name %1 (%2): the desktop's "
                              "foreground reports are not received")
                   .arg(name, reply.error().message());
        return false;
    }
    if (reply.value() == QDBusConnectionInterface::ServiceQueued) {
        kvInfo(lcNotifier) << QStringLiteral("another copy of Corvane owns %1 on the session bus and receives "
                              "the desktop's foreground reports; this copy receives them when "
                              "that one ends")
                   .arg(name);
    } else {
        owner = true;
        kvInfo(lcNotifier) << QStringLiteral("receives the desktop's foreground reports as %1 on the session bus")
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
    accept(processId);
}

void KvForegroundBusService::ReportProcess(int processId)
{
    accept(processId);
}

const char *KvForegroundBusService::refusal(qint64 processId)
{
    if (processId <= 0 || processId > INT_MAX || !processExists(quint32(processId)))
        return "no such process";
    if (processId == getpid())
        return "that is Corvane itself";
    return nullptr;
}

void KvForegroundBusService::accept(qint64 processId)
{
    if (const char *why = refusal(processId)) {
        kvDebug(lcNotifier) << QStringLiteral("foreground report of process #%1 ignored: %2")
                                       .arg(processId)
                                       .arg(QLatin1String(why));
        return;
    }
    latest = quint32(processId);
    if (deliveryPending)
        return;
    deliveryPending = true;
    QMetaObject::invokeMethod(this, &KvForegroundBusService::deliverLatest, Qt::QueuedConnection);
}

void KvForegroundBusService::deliverLatest()
{
    deliveryPending = false;
    onReport(latest);
}
