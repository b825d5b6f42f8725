#pragma once

#include "platform/KvPlatformWinEvents.h"
#include "platform/common/KvWinEventHookTable.h"

#include <QAbstractNativeEventFilter>
#include <QMap>
#include <QPointer>

#include <xcb/xcb.h>

class KvWaylandForeground;

// Window events on an X11 desktop, read through the GUI's own xcb
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
// session bus, or Sway's and Hyprland's own sockets). Each report is a
// foreground event like an X11 one, and whichever came last is the
// foreground window.
//
// Window handles are X11 window ids, or for a window the compositor
// reported, its process id marked as such. Without an X11 display (the
// offscreen platform, Wayland without XWayland) and without any of the
// compositor's sources, hooks fail with ENXIO and window queries find
// nothing.
class KvLinuxWinEvents : public KvPlatformWinEvents, private QAbstractNativeEventFilter
{
public:
    KvLinuxWinEvents() = default;
    ~KvLinuxWinEvents() override;

    HWINEVENTHOOK setWinEventHook(DWORD eventMin, DWORD eventMax, WINEVENTPROC callback,
                                  DWORD processId, DWORD threadId, DWORD flags) override;
    bool unhookWinEvent(HWINEVENTHOOK hook) override;
    HWND getForegroundWindow() override;
    DWORD getWindowThreadProcessId(HWND window, DWORD *processId) override;
    void setNoticeProc(NoticeProc proc) override { noticeProc = proc; }

private:
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;

    // Finds the GUI's xcb connection and sets up what the queries and the
    // events need. Returns false, with the error code set, when there is no
    // X11 display.
    bool attach();
    // Starts watching the root window for _NET_ACTIVE_WINDOW changes.
    bool watchRootWindow();
    xcb_atom_t internAtom(const char *name);
    xcb_window_t activeWindow();
    bool windowPid(xcb_window_t window, DWORD &processId);
    bool clientPid(xcb_window_t window, DWORD &processId);
    void deliver(DWORD event, xcb_window_t window, DWORD time);

    // Starts the compositor's sources, once per application object. Returns
    // whether any runs.
    bool startWaylandSources();
    void onWaylandReport(quint32 processId);
    void notice(NoticeLevel level, const QString &text) const;

    xcb_connection_t *connection = nullptr;
    bool attached = false;
    bool watching = false;
    bool resourceExtension = false;
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_atom_t activeWindowAtom = XCB_ATOM_NONE;
    xcb_atom_t pidAtom = XCB_ATOM_NONE;
    xcb_window_t lastActive = XCB_WINDOW_NONE;
    KvWinEventHookTable hooks;

    QPointer<KvWaylandForeground> wayland;
    bool waylandTried = false;
    // The window the compositor reported last, and whether that report is
    // newer than the X11 foreground.
    HWND reportedForeground = nullptr;
    bool reportIsLatest = false;
    NoticeProc noticeProc = nullptr;
};
