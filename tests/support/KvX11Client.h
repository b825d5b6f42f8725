#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// A test's own client on the X display, standing for the other programs of
// the desktop and for the window manager.
class KvX11Client
{
public:
    KvX11Client()
        : connection(xcb_connect(nullptr, nullptr))
    {
        if (!xcb_connection_has_error(connection))
            root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    }
    ~KvX11Client() { xcb_disconnect(connection); }

    bool isConnected() const { return !xcb_connection_has_error(connection); }

    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return atom;
    }

    xcb_window_t createWindow()
    {
        const xcb_window_t window = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, root, 0, 0, 100, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_map_window(connection, window);
        xcb_flush(connection);
        return window;
    }

    void setPid(xcb_window_t window, uint32_t pid)
    {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"),
                            XCB_ATOM_CARDINAL, 32, 1, &pid);
        xcb_flush(connection);
    }

    // What a window manager does when it gives a window the focus.
    void activate(xcb_window_t window)
    {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom("_NET_ACTIVE_WINDOW"),
                            XCB_ATOM_WINDOW, 32, 1, &window);
        // Wait until the server has done it, so that the notifier's
        // connection sees the change after this returns.
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

    void deactivate()
    {
        xcb_delete_property(connection, root, atom("_NET_ACTIVE_WINDOW"));
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    }

private:
    xcb_connection_t *connection;
    xcb_window_t root = XCB_WINDOW_NONE;
};
