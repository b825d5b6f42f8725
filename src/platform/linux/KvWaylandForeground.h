#pragma once

#include <QObject>

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
// foreground. Reports of no process, of one that does not exist or of
// Corvane itself are refused. The others are handed on from the event loop,
// and only the latest of those that arrived meanwhile, so that a flood of
// them costs one evaluation of the rules per pass of the loop.
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
    void accept(qint64 processId);
    void deliverLatest();
    bool compositorAnswers() const;
    void checkSeen();
    void noticeNotSeen(const QString &gnomeShell);

    ReportHandler onReport;
    KvForegroundBusService *bus = nullptr;
    KvSwayFocusClient *sway = nullptr;
    KvHyprlandFocusClient *hyprland = nullptr;
    // The latest process reported and taken, or 0 before any.
    quint32 latest = 0;
    bool deliveryPending = false;
};
