#pragma once

#include "platform/KvPlatformTypes.h"
#include "support/KvInstallable.h"

#include <QString>

#ifndef _WIN32
// Opaque window and hook handles. A null handle means "none".
using HWND = void *;
using HWINEVENTHOOK = void *;

// The signature of a window-event callback (WINEVENTPROC).
using WINEVENTPROC = void (*)(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG idObject,
                              LONG idChild, DWORD idEventThread, DWORD dwmsEventTime);
#endif

// Window events (user32): hooks that report system window events, and the
// owner of a window.
//
// Every operation maps one to one onto the user32 call named beside it and
// keeps that call's contract: failures return NULL / 0 / false and leave an
// error code for KvPlatformKernel::lastError(). All of it happens on the GUI
// thread, and callbacks arrive there too, from the event loop, never from
// inside the call that installs the hook.
//
// The backends report one event, the change of the foreground window
// (EventSystemForeground). On Linux that is the change of the X11 root
// window's _NET_ACTIVE_WINDOW, read through the GUI's own xcb connection,
// and what the compositor reports, which alone sees native Wayland windows
// (a script of KWin or GNOME Shell over the session bus, Sway's or
// Hyprland's IPC sockets); the latest report wins. Without any of them (no
// X11 display, no session bus, no compositor socket) hooks cannot be
// installed.
class KvPlatformWinEvents : public KvInstallable<KvPlatformWinEvents>
{
public:
    // The event constants, with their Windows values.
    enum Event : DWORD {
        EventSystemForeground = 0x0003, // EVENT_SYSTEM_FOREGROUND
    };

    // Flags of SetWinEventHook.
    enum HookFlags : DWORD {
        OutOfContext = 0x0000, // WINEVENT_OUTOFCONTEXT
    };

    virtual ~KvPlatformWinEvents() = default;

    static KvPlatformWinEvents *native();

    // SetWinEventHook(eventMin, eventMax, NULL, callback, processId, threadId,
    // flags): a new hook that calls callback for every event in
    // [eventMin, eventMax], or NULL. Only out-of-context hooks (flags 0) on
    // all processes and threads (processId and threadId 0) are supported.
    // Every hook gets its own callback for each event, with the hook's own
    // handle as the first argument.
    virtual HWINEVENTHOOK setWinEventHook(DWORD eventMin, DWORD eventMax, WINEVENTPROC callback,
                                          DWORD processId, DWORD threadId, DWORD flags) = 0;

    // UnhookWinEvent(hook): removes a hook; no callback of it follows.
    // Removing an unknown or null hook fails.
    virtual bool unhookWinEvent(HWINEVENTHOOK hook) = 0;

    // GetForegroundWindow: the window that has the focus now, or NULL.
    virtual HWND getForegroundWindow() = 0;

    // GetWindowThreadProcessId(window, processId): the id of the thread that
    // created the window, or 0 on failure. On success the owning process's
    // id is written to *processId (when processId is not null); on failure
    // *processId is left as it was. Where the platform does not know the
    // creating thread (Linux), the process's main thread is reported, whose
    // id equals the process id.
    virtual DWORD getWindowThreadProcessId(HWND window, DWORD *processId) = 0;

    // Not a user32 call: how the backend tells the program's log what a log
    // reader should know about the foreground events that is no failure of a
    // call (a source of them that is missing or comes later, a report it
    // refused). Notices arrive on the GUI thread; set the procedure before
    // the first hook. Backends with nothing to tell ignore it.
    enum class NoticeLevel { Debug, Info, Critical };
    using NoticeProc = void (*)(NoticeLevel level, const QString &text);
    virtual void setNoticeProc(NoticeProc proc) { (void)proc; }

protected:
    KvPlatformWinEvents() = default;
};
