#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class KvForegroundBusService;
class KvHyprlandFocusClient;
class KvSwayFocusClient;

// The sources that see which native Wayland window has the focus, which
// only the compositor knows: the reporters inside KWin and GNOME Shell,
// which call our service on the session bus; Sway's IPC socket where
// SWAYSOCK is set; Hyprland's sockets where HYPRLAND_INSTANCE_SIGNATURE is
// set. Each reports the process of the window that took the focus, and all
// of them reach one handler on the GUI thread: the latest report is the
// foreground. Reports of no process or of Corvane itself are refused.
//
// On a Wayland session where none of them sees the native windows, the user
// hears once, at start, what is missing for the desktop that runs.
class KvWaylandForeground : public QObject
{
    Q_OBJECT

public:
    using ReportHandler = std::function<void(quint32 processId)>;

    KvWaylandForeground(ReportHandler onReport, QObject *parent);

    // Starts every source the session has; false when there is none.
    bool start();

    // The start-up notice when no source sees native windows, saying what
    // is missing for the desktop: desktop as XDG_CURRENT_DESKTOP names it,
    // gnomeShell the version of a GNOME Shell that answered, swaySocket and
    // hyprlandFolder where the compositor's sockets were looked for (empty
    // when the session named none).
    static QString notSeenNotice(const QString &desktop, const QString &gnomeShell,
                                 const QString &swaySocket, const QString &hyprlandFolder);

private:
    void accept(quint32 processId);
    void deliver(quint32 processId);
    bool compositorAnswers() const;
    void checkSeen();
    void noticeNotSeen(const QString &gnomeShell);

    ReportHandler onReport;
    QPointer<KvForegroundBusService> bus;
    KvSwayFocusClient *sway = nullptr;
    KvHyprlandFocusClient *hyprland = nullptr;
    bool reported = false;
};
