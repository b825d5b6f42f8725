#include "platform/linux/KvLinuxForeground.h"

#include "platform/linux/KvWaylandForeground.h"

#include <QGuiApplication>
#include <qpa/qplatformnativeinterface.h>

#include <xcb/res.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Frees what xcb hands out with malloc.
template<class T> struct XcbReply
{
    T *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    ~XcbReply()
    {
        std::free(reply);
        std::free(error);
    }
};

// The first 32-bit value of a window's property, where it has one.
bool readProperty32(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t property,
                    xcb_atom_t type, uint32_t &value)
{
    XcbReply<xcb_get_property_reply_t> reply;
    reply.reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, type, 0, 1), &reply.error);
    if (!reply.reply || reply.reply->format != 32 || xcb_get_property_value_length(reply.reply) < 4)
        return false;
    value = *static_cast<uint32_t *>(xcb_get_property_value(reply.reply));
    return true;
}

} // namespace

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
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    QPlatformNativeInterface *native = app ? QGuiApplication::platformNativeInterface() : nullptr;
    if (!native || QGuiApplication::platformName() != QLatin1String("xcb"))
        return false;
    connection =
        static_cast<xcb_connection_t *>(native->nativeResourceForIntegration("connection"));
    if (!connection || xcb_connection_has_error(connection)) {
        connection = nullptr;
        return false;
    }
    root = static_cast<xcb_window_t>(
        reinterpret_cast<quintptr>(native->nativeResourceForIntegration("rootwindow")));
    if (root == XCB_WINDOW_NONE) {
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
        if (screens.rem > 0)
            root = screens.data->root;
    }
    activeWindowAtom = internAtom("_NET_ACTIVE_WINDOW");
    pidAtom = internAtom("_NET_WM_PID");
    if (root == XCB_WINDOW_NONE || activeWindowAtom == XCB_ATOM_NONE) {
        connection = nullptr;
        return false;
    }

    // Asking a window's creator needs QueryClientIds, new in X-Resource 1.2.
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_res_id);
    if (extension && extension->present) {
        XcbReply<xcb_res_query_version_reply_t> version;
        version.reply = xcb_res_query_version_reply(
            connection, xcb_res_query_version(connection, 1, 2), &version.error);
        resourceExtension = version.reply &&
                            (version.reply->server_major > 1 || (version.reply->server_major == 1 &&
                                                                 version.reply->server_minor >= 2));
    }

    // The connection belongs to the application object and goes with it.
    QObject::connect(app, &QObject::destroyed, [this] {
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
    XcbReply<xcb_get_window_attributes_reply_t> attributes;
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
    XcbReply<xcb_intern_atom_reply_t> atom;
    atom.reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(qstrlen(name)), name),
        &atom.error);
    return atom.reply ? atom.reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_window_t KvLinuxForeground::activeWindow()
{
    uint32_t window = XCB_WINDOW_NONE;
    if (!readProperty32(connection, root, activeWindowAtom, XCB_ATOM_WINDOW, window))
        return XCB_WINDOW_NONE;
    return window;
}

bool KvLinuxForeground::windowPid(xcb_window_t window, quint32 &processId)
{
    uint32_t pid = 0;
    if (pidAtom == XCB_ATOM_NONE ||
        !readProperty32(connection, window, pidAtom, XCB_ATOM_CARDINAL, pid) || pid == 0)
        return false;
    processId = pid;
    return true;
}

bool KvLinuxForeground::clientPid(xcb_window_t window, quint32 &processId)
{
    if (!resourceExtension)
        return false;
    xcb_res_client_id_spec_t spec;
    spec.client = window;
    spec.mask = XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID;
    XcbReply<xcb_res_query_client_ids_reply_t> ids;
    ids.reply = xcb_res_query_client_ids_reply(
        connection, xcb_res_query_client_ids(connection, 1, &spec), &ids.error);
    if (!ids.reply)
        return false;
    for (auto it = xcb_res_query_client_ids_ids_iterator(ids.reply); it.rem > 0;
         xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) &&
            xcb_res_client_id_value_value_length(it.data) >= 1) {
            const uint32_t pid = *xcb_res_client_id_value_value(it.data);
            if (pid == 0)
                return false;
            processId = pid;
            return true;
        }
    }
    return false;
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
