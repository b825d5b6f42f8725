#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QObject>

// The process whose window has the focus, and its changes.
//
// Windows: a WinEvent hook for EVENT_SYSTEM_FOREGROUND, GetForegroundWindow
// and GetWindowThreadProcessId. Linux: the X11 root window's
// _NET_ACTIVE_WINDOW, and on Wayland what the compositor tells (a script of
// KWin or GNOME Shell over the session bus, Sway's and Hyprland's sockets);
// the latest report of any source wins. Changes arrive on the GUI thread,
// from the event loop.
class KvPlatformForeground : public QObject, public KvInstallable<KvPlatformForeground>
{
    Q_OBJECT

public:
    ~KvPlatformForeground() override = default;

    static KvPlatformForeground *native();

    // The process of the foreground window now; KvProcessEntry::noProcessId
    // when none is known.
    virtual quint32 process() = 0;
    // Starts following the foreground (again and again is fine); fails when
    // no source of it can be had.
    virtual KvStatus watch() = 0;

signals:
    // Another process's window took the focus (KvProcessEntry::noProcessId:
    // none that is known).
    void changed(quint32 processId);

protected:
    KvPlatformForeground() = default;
};
