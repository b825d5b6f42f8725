#pragma once

#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QString>

#include <functional>

// The user's desktop session as the program meets it: whether there is a
// display to show windows on, and the requests to end the program that come
// from outside it (log-off, shut-down, Ctrl-C, a service manager).
//
// On Windows the operations map onto:
//   hasDisplay          -> always true (a GUI process runs in an interactive
//                          window station);
//   setTerminationHandler -> SetConsoleCtrlHandler(handler, TRUE) for
//                          CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT,
//                          CTRL_LOGOFF_EVENT and CTRL_SHUTDOWN_EVENT, with the
//                          request posted to the GUI thread; an empty handler
//                          is SetConsoleCtrlHandler(handler, FALSE).
// On Linux: DISPLAY / WAYLAND_DISPLAY, and SIGTERM, SIGINT and SIGHUP.
class KvPlatformSession : public KvInstallable<KvPlatformSession>
{
public:
    // Receives the name of the request ("SIGTERM", "CTRL_LOGOFF_EVENT", ...).
    using TerminationHandler = std::function<void(const QString &request)>;

    virtual ~KvPlatformSession() = default;

    static KvPlatformSession *native();

    // Whether a display server is there to show windows on. Asked before the
    // application object exists, so it needs no event loop.
    virtual bool hasDisplay() const = 0;

    // Routes termination requests to handler, which is always called later
    // from the GUI thread's event loop, never from inside a signal handler or
    // a foreign thread. Requests that arrive while no loop runs wait for the
    // next one. An empty handler restores the platform's default reaction
    // (the process ends). Needs the application object while a handler is
    // set. Fails when the requests cannot be intercepted; the default
    // reaction then stays.
    virtual KvStatus setTerminationHandler(const TerminationHandler &handler) = 0;
    // Hands the requests that came while no event loop ran to the handler
    // now: start-up asks between its longer steps, so that a request to end
    // does not wait for the loop.
    virtual void deliverPendingRequests() {}

protected:
    KvPlatformSession() = default;
};
