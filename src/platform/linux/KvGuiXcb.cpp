#include "platform/linux/KvGuiXcb.h"

#include <QGuiApplication>
#include <qpa/qplatformnativeinterface.h>

#include <xcb/res.h>

xcb_connection_t *KvGuiXcb::connection(xcb_window_t &root)
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    QPlatformNativeInterface *native = app ? QGuiApplication::platformNativeInterface() : nullptr;
    if (!native || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto *connection =
        static_cast<xcb_connection_t *>(native->nativeResourceForIntegration("connection"));
    if (!connection || xcb_connection_has_error(connection))
        return nullptr;
    root = static_cast<xcb_window_t>(
        reinterpret_cast<quintptr>(native->nativeResourceForIntegration("rootwindow")));
    if (root == XCB_WINDOW_NONE) {
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
        if (screens.rem > 0)
            root = screens.data->root;
    }
    return root == XCB_WINDOW_NONE ? nullptr : connection;
}

xcb_atom_t KvGuiXcb::internAtom(xcb_connection_t *connection, const char *name)
{
    KvXcbReply<xcb_intern_atom_reply_t> atom;
    atom.reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(qstrlen(name)), name),
        &atom.error);
    return atom.reply ? atom.reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

bool KvGuiXcb::readProperty32(xcb_connection_t *connection, xcb_window_t window,
                              xcb_atom_t property, xcb_atom_t type, uint32_t &value)
{
    KvXcbReply<xcb_get_property_reply_t> reply;
    reply.reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, type, 0, 1), &reply.error);
    if (!reply.reply || reply.reply->format != 32 || xcb_get_property_value_length(reply.reply) < 4)
        return false;
    value = *static_cast<uint32_t *>(xcb_get_property_value(reply.reply));
    return true;
}

bool KvGuiXcb::tellsClientProcesses(xcb_connection_t *connection)
{
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_res_id);
    if (!extension || !extension->present)
        return false;
    KvXcbReply<xcb_res_query_version_reply_t> version;
    version.reply = xcb_res_query_version_reply(connection, xcb_res_query_version(connection, 1, 2),
                                                &version.error);
    return version.reply && (version.reply->server_major > 1 || (version.reply->server_major == 1 &&
                                                                 version.reply->server_minor >= 2));
}

bool KvGuiXcb::clientProcess(xcb_connection_t *connection, xcb_window_t window, quint32 &processId)
{
    xcb_res_client_id_spec_t spec;
    spec.client = window;
    spec.mask = XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID;
    KvXcbReply<xcb_res_query_client_ids_reply_t> ids;
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
