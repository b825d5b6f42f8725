#pragma once

#include <QtGlobal>

#include <xcb/xcb.h>

#include <cstdlib>

// Frees what xcb hands out with malloc.
template<class T> struct KvXcbReply
{
    T *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    ~KvXcbReply()
    {
        std::free(reply);
        std::free(error);
    }
};

// The GUI's own xcb connection, and what the backend asks over it. Sharing
// the GUI's connection adds no client to the X server and keeps every
// question on the GUI thread.
class KvGuiXcb
{
public:
    // The connection and its root window; null when the GUI runs elsewhere
    // than on X11, or not at all. It belongs to the application object and
    // goes with it.
    static xcb_connection_t *connection(xcb_window_t &root);

    static xcb_atom_t internAtom(xcb_connection_t *connection, const char *name);
    // The first 32-bit value of a window's property, where it has one.
    static bool readProperty32(xcb_connection_t *connection, xcb_window_t window,
                               xcb_atom_t property, xcb_atom_t type, uint32_t &value);
    // Whether the server tells the process of a client: QueryClientIds, new
    // in X-Resource 1.2.
    static bool tellsClientProcesses(xcb_connection_t *connection);
    // The process of the client that made the window (or any resource), as
    // the server knows it; false where it does not.
    static bool clientProcess(xcb_connection_t *connection, xcb_window_t window,
                              quint32 &processId);
};
