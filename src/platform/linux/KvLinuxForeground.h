#pragma once

#include "platform/KvPlatformForeground.h"
#include "platform/KvProcessEventSource.h"

#include <QAbstractNativeEventFilter>
#include <QPointer>

#include <xcb/xcb.h>

class KvWaylandForeground;

// The foreground on an X11 desktop, read through the GUI's own xcb
// connection: the change of the root window's _NET_ACTIVE_WINDOW is the
// foreground event, and a window's process is its _NET_WM_PID or, where the
// window has none, what the X-Resource extension knows about the client that
// made it. Sharing the GUI's connection keeps everything on the GUI thread
// with no second connection to watch: Qt's event loop already reads it and
// hands every event to our native event filter.
//
// On a Wayland desktop X11 sees only the XWayland windows; which native
// window is active only the compositor knows, and it tells us the window's
// process (KvWaylandForeground: a script in KWin or GNOME Shell over the
// session bus, or Sway's and Hyprland's own sockets). Whichever of the two
// reported last names the foreground. Without an X11 display (no GUI, or
// Wayland without XWayland) and without any of the compositor's sources,
// nothing can be watched.
class KvLinuxForeground : public KvPlatformForeground, private QAbstractNativeEventFilter
{
public:
    quint32 process() override;
    KvStatus watch() override;

private:
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

    // Finds the GUI's xcb connection and sets up what the queries and the
    // events need; false when there is no X11 display.
    bool attach();
    // Starts watching the root window for _NET_ACTIVE_WINDOW changes.
    bool watchRootWindow();
    xcb_atom_t internAtom(const char *name);
    xcb_window_t activeWindow();
    // The process that made the window, or KvProcessEntry::noProcessId.
    quint32 processOf(xcb_window_t window);
    bool windowPid(xcb_window_t window, quint32 &processId);
    bool clientPid(xcb_window_t window, quint32 &processId);

    // Starts the compositor's sources, once per application object. Returns
    // whether any runs.
    bool startWaylandSources();
    void onWaylandReport(quint32 processId);

    xcb_connection_t *connection = nullptr;
    bool attached = false;
    bool watching = false;
    bool resourceExtension = false;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_atom_t activeWindowAtom = XCB_ATOM_NONE;
    xcb_atom_t pidAtom = XCB_ATOM_NONE;
    xcb_window_t lastActive = XCB_WINDOW_NONE;

    QPointer<KvWaylandForeground> wayland;
    bool waylandTried = false;
    // The process the compositor reported last, and whether that report is
    // newer than the X11 foreground.
    quint32 reported = KvProcessEntry::noProcessId;
    bool reportIsLatest = false;
};
