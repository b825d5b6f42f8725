#include "platform/linux/KvWaylandForeground.h"
#include "support/KvLog.h"

#include "platform/linux/KvForegroundBusService.h"
#include "platform/linux/KvHyprlandFocusClient.h"
#include "platform/linux/KvReporterProbe.h"
#include "platform/linux/KvSwayFocusClient.h"

#include <cerrno>
#include <climits>
#include <signal.h>
#include <unistd.h>

namespace {

bool isWaylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           qgetenv("XDG_SESSION_TYPE") == "wayland";
}

bool processExists(quint32 processId)
{
    // Signal 0 only asks; another user's process answers EPERM, but it is there.
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

// Why a report of the process is refused, or null when it is taken.
const char *refusal(qint64 processId)
{
    if (processId <= 0 || processId > INT_MAX || !processExists(quint32(processId)))
        return "no such process";
    if (processId == getpid())
        return "that is Corvane itself";
    return nullptr;
}

} // namespace

KvWaylandForeground::KvWaylandForeground(ReportHandler onReport, QObject *parent)
    : QObject(parent)
    , onReport(std::move(onReport))
{}

bool KvWaylandForeground::start()
{
    const auto accepted = [this](qint64 pid) { accept(pid); };
    bus = new KvForegroundBusService(accepted, this);
    if (!bus->start()) {
        delete bus;
        bus = nullptr;
    }
    const QString swaySocket = qEnvironmentVariable("SWAYSOCK");
    if (!swaySocket.isEmpty()) {
        sway = new KvSwayFocusClient(swaySocket, accepted, this);
        sway->start();
    }
    const QString signature = qEnvironmentVariable("HYPRLAND_INSTANCE_SIGNATURE");
    if (!signature.isEmpty()) {
        hyprland = new KvHyprlandFocusClient(signature, accepted, this);
        hyprland->start();
    }
    if (isWaylandSession())
        checkSeen();
    return bus || sway || hyprland;
}

void KvWaylandForeground::accept(qint64 processId)
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
    QMetaObject::invokeMethod(this, &KvWaylandForeground::deliverLatest, Qt::QueuedConnection);
}

void KvWaylandForeground::deliverLatest()
{
    deliveryPending = false;
    onReport(latest);
}

bool KvWaylandForeground::compositorAnswers() const
{
    return (sway && sway->isConnected()) || (hyprland && hyprland->isConnected());
}

void KvWaylandForeground::checkSeen()
{
    if (compositorAnswers())
        return;
    if (!bus) {
        noticeNotSeen({});
        return;
    }
    // A second copy hears nothing on the bus anyway, and has said so.
    if (!bus->ownsName())
        return;
    KvReporterProbe::ask(
        QDBusConnection::sessionBus(),
        [this](bool running, const QString &gnomeShell) {
            if (!running && latest == 0 && !compositorAnswers())
                noticeNotSeen(gnomeShell);
        },
        this);
}

void KvWaylandForeground::noticeNotSeen(const QString &gnomeShell)
{
    kvCritical(lcNotifier) << notSeenNotice(qEnvironmentVariable("XDG_CURRENT_DESKTOP"), gnomeShell,
                                            sway ? sway->socketPath() : QString(),
                                            hyprland ? hyprland->folder() : QString());
}

QString KvWaylandForeground::notSeenNotice(const QString &desktop, const QString &gnomeShell,
                                           const QString &swaySocket, const QString &hyprlandFolder)
{
    const QStringList desktops = desktop.toLower().split(QLatin1Char(':'));
    const QString enable = QStringLiteral("log in again, then run gnome-extensions enable ");
    QString missing;
    if (!hyprlandFolder.isEmpty()) {
        missing = QStringLiteral("Hyprland: no event socket answers in %1").arg(hyprlandFolder);
    } else if (!swaySocket.isEmpty()) {
        missing =
            QStringLiteral("Sway: its IPC socket %1 (SWAYSOCK) does not answer").arg(swaySocket);
    } else if (!gnomeShell.isEmpty()) {
        const QString uuid = KvReporterProbe::gnomeExtensionFor(gnomeShell);
        missing = uuid.isEmpty()
                      ? QStringLiteral("GNOME Shell %1: Corvane's extensions need "
                                       "GNOME 40 or later")
                            .arg(gnomeShell)
                      : QStringLiteral("GNOME Shell %1: %2%3").arg(gnomeShell, enable, uuid);
    } else if (desktops.contains(QLatin1String("gnome"))) {
        missing = QStringLiteral("GNOME: %1%2 on GNOME 45 and later, %3 on GNOME 40 to 44")
                      .arg(enable, QLatin1String(KvReporterProbe::gnomeExtension),
                           QLatin1String(KvReporterProbe::gnome40Extension));
    } else if (desktops.contains(QLatin1String("kde"))) {
        missing = QStringLiteral("Plasma: System Settings > Window Management > KWin Scripts > "
                                 "\"Corvane foreground reporter\"");
    } else if (desktops.contains(QLatin1String("hyprland"))) {
        missing = QStringLiteral("Hyprland: HYPRLAND_INSTANCE_SIGNATURE is not set; start "
                                 "Corvane from the Hyprland session");
    } else if (desktops.contains(QLatin1String("sway"))) {
        missing = QStringLiteral("Sway: SWAYSOCK is not set; start Corvane from the Sway session");
    } else {
        missing = QStringLiteral("%1: Corvane follows the focus on Plasma and GNOME through its "
                                 "reporters there, on Sway through SWAYSOCK and on Hyprland "
                                 "through HYPRLAND_INSTANCE_SIGNATURE")
                      .arg(desktop.isEmpty() ? QStringLiteral("this desktop") : desktop);
    }
    return QStringLiteral("native Wayland windows are not seen: foreground and background "
                          "conditions follow X11 windows only (%1)")
        .arg(missing);
}
