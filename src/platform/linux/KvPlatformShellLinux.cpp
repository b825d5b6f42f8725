#include "platform/KvPlatformShell.h"

#include <QCoreApplication>
#include <QHash>

namespace {

const char displayRole[] = "the display server or compositor";
const char sessionRole[] = "a session or service manager";
const char loginRole[] = "a login or seat manager";

// Frozen, each of these leaves the user without a desktop to undo a rule
// from (display servers, compositors, the X11 window managers that handle
// focus), without the session's bus and services the desktop talks through,
// or without a way to log in at all.
const QHash<QString, const char *> &essentialPrograms()
{
    static const QHash<QString, const char *> programs = [] {
        QHash<QString, const char *> table;
        for (const char *name : {"Xorg",
                                 "X",
                                 "Xwayland",
                                 "Xvfb",
                                 "Xephyr",
                                 "Xnest",
                                 "Xvnc",
                                 "Xtigervnc",
                                 "gnome-shell",
                                 "mutter",
                                 "kwin_wayland",
                                 "kwin_x11",
                                 "kwin_wayland_wrapper",
                                 "plasmashell",
                                 "sway",
                                 "Hyprland",
                                 "weston",
                                 "labwc",
                                 "wayfire",
                                 "river",
                                 "niri",
                                 "cage",
                                 "gamescope",
                                 "cosmic-comp",
                                 "xfwm4",
                                 "marco",
                                 "muffin",
                                 "openbox",
                                 "i3",
                                 "awesome",
                                 "fluxbox",
                                 "icewm",
                                 "bspwm",
                                 "xmonad",
                                 "enlightenment",
                                 "compiz",
                                 "picom"})
            table.insert(QLatin1String(name), displayRole);
        for (const char *name : {"systemd", "dbus-daemon", "dbus-broker", "dbus-broker-launch"})
            table.insert(QLatin1String(name), sessionRole);
        for (const char *name :
             {"systemd-logind", "elogind", "seatd", "gdm", "gdm3", "gdm-session-worker",
              "gdm-wayland-session", "gdm-x-session", "sddm", "sddm-helper", "lightdm", "greetd",
              "login", "agetty", "sshd", "sshd-session"})
            table.insert(QLatin1String(name), loginRole);
        return table;
    }();
    return programs;
}

class KvPlatformShellLinux final : public KvPlatformShell
{
public:
    QString executableNameFilter() const override
    {
        // A name filter cannot ask for the executable bit, so the first
        // choice offers every file; the executables are among them.
        return QCoreApplication::translate("KvPlatformShell", "Programs (*)") +
               QStringLiteral(";;*.exe");
    }

    QString essentialRole(quint32 processId, const QString &executable) const override
    {
        if (processId == 1)
            return QStringLiteral("the system's first process");
        const QString name = executable.section(QLatin1Char('/'), -1);
        const char *role = essentialPrograms().value(name);
        return role ? QLatin1String(role) : QString();
    }
};

} // namespace

KvPlatformShell *KvPlatformShell::native()
{
    static KvPlatformShellLinux shell;
    return &shell;
}
