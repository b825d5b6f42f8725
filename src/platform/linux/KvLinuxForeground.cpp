#include "platform/linux/KvLinuxForeground.h"

#include "platform/linux/KvGuiXcb.h"
#include "platform/linux/KvWaylandForeground.h"

#include <QCoreApplication>

#include <cerrno>

KvPlatformForeground *KvPlatformForeground::native()
{
    // Never destroyed: the event dispatcher may still hold the filter while
    // static objects go at exit.
    static KvLinuxForeground *instance = new KvLinuxForeground;
    return instance;
}

quint32 KvLinuxForeground::process()
{
    if (reportIsLatest)
        return reported;
    return attach() ? processOf(activeWindow()) : KvProcessEntry::noProcessId;
}

KvStatus KvLinuxForeground::watch()
{
    // Either source will do.
    const bool x11 = attach() && watchRootWindow();
    const bool reports = startWaylandSources();
    if (!x11 && !reports)
        return KvError::fromErrno(ENXIO);
    return {};
}

quint32 KvLinuxForeground::processOf(xcb_window_t window)
{
    quint32 pid = KvProcessEntry::noProcessId;
    if (window == XCB_WINDOW_NONE || (!windowPid(window, pid) && !clientPid(window, pid)))
        return KvProcessEntry::noProcessId;
    return pid;
}

bool KvLinuxForeground::attach()
{
    if (attached)
        return true;
    connection = KvGuiXcb::connection(root);
    if (!connection)
        return false;
    activeWindowAtom = internAtom("_NET_ACTIVE_WINDOW");
    pidAtom = internAtom("_NET_WM_PID");
    if (activeWindowAtom == XCB_ATOM_NONE) {
        connection = nullptr;
        return false;
    }
    resourceExtension = KvGuiXcb::tellsClientProcesses(connection);

    // The connection belongs to the application object and goes with it.
    QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [this] {
        attached = false;
        watching = false;
        connection = nullptr;
    });
    attached = true;
    return true;
}

bool KvLinuxForeground::watchRootWindow()
{
    if (watching)
        return true;
    // The event mask is per client, and the GUI's connection has its own
    // wishes on the root window: add ours to them rather than replace them.
    KvXcbReply<xcb_get_window_attributes_reply_t> attributes;
    attributes.reply = xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, root), &attributes.error);
    if (!attributes.reply) {
        return false;
    }
    const uint32_t mask = attributes.reply->your_event_mask | XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_generic_error_t *error = xcb_request_check(
        connection,
        xcb_change_window_attributes_checked(connection, root, XCB_CW_EVENT_MASK, &mask));
    if (error) {
        std::free(error);
        return false;
    }
    lastActive = activeWindow();
    QCoreApplication::instance()->installNativeEventFilter(this);
    watching = true;
    return true;
}

xcb_atom_t KvLinuxForeground::internAtom(const char *name)
{
    return KvGuiXcb::internAtom(connection, name);
}

xcb_window_t KvLinuxForeground::activeWindow()
{
    uint32_t window = XCB_WINDOW_NONE;
    if (!KvGuiXcb::readProperty32(connection, root, activeWindowAtom, XCB_ATOM_WINDOW, window))
        return XCB_WINDOW_NONE;
    return window;
}

bool KvLinuxForeground::windowPid(xcb_window_t window, quint32 &processId)
{
    uint32_t pid = 0;
    if (pidAtom == XCB_ATOM_NONE ||
        !KvGuiXcb::readProperty32(connection, window, pidAtom, XCB_ATOM_CARDINAL, pid) || pid == 0)
        return false;
    processId = pid;
    return true;
}

bool KvLinuxForeground::clientPid(xcb_window_t window, quint32 &processId)
{
    return resourceExtension && KvGuiXcb::clientProcess(connection, window, processId);
}

bool KvLinuxForeground::nativeEventFilter(const QByteArray &eventType, void *message, long *)
{
    if (!watching || eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
        return false;
    const auto *change = reinterpret_cast<const xcb_property_notify_event_t *>(event);
    if (change->window != root || change->atom != activeWindowAtom)
        return false;
    // Window managers write the property again with the same value now and
    // then; only a different window is a change of the foreground.
    const xcb_window_t active =
        change->state == XCB_PROPERTY_DELETE ? xcb_window_t(XCB_WINDOW_NONE) : activeWindow();
    if (active != lastActive) {
        lastActive = active;
        // XWayland's active window turns to none whenever a native Wayland
        // window takes the focus, and the compositor reports which one,
        // perhaps before this event: the none must not undo that report.
        if (active == XCB_WINDOW_NONE && reportIsLatest)
            return false;
        reportIsLatest = false;
        emit changed(processOf(active));
    }
    return false; // the GUI may want the event as well
}

bool KvLinuxForeground::startWaylandSources()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (waylandTried || !app)
        return !wayland.isNull();
    waylandTried = true;
    // The sources are children of the application object and go with it.
    QObject::connect(app, &QObject::destroyed, this, [this] {
        waylandTried = false;
        reportIsLatest = false;
    });
    auto *sources =
        new KvWaylandForeground([this](quint32 processId) { onWaylandReport(processId); }, app);
    if (!sources->start()) {
        delete sources;
        return false;
    }
    wayland = sources;
    return true;
}

void KvLinuxForeground::onWaylandReport(quint32 processId)
{
    if (reportIsLatest && processId == reported)
        return;
    reported = processId;
    reportIsLatest = true;
    emit changed(processId);
}
