#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QSet>
#include <QStringList>
#include <QVector>

// The listening sockets that the session's environment names, and whether a
// process has one of them open: the display's (Wayland, X11, Sway's and
// Hyprland's IPC), the user's service manager's private socket, the session
// bus and the system bus. Whoever holds one is the server behind it, or was
// handed it by that server (a wrapper hands the Wayland socket on to its
// compositor, a compositor its X11 sockets to the Xwayland it starts, the
// service manager its bus socket to the bus daemon it activates); a stranger
// cannot come by one. Looked at in /proc rather than asked by connecting:
// a connection to the X11 socket would start an Xwayland that starts on
// demand.
class KvSessionSockets
{
public:
    // The names as /proc/net/unix shows them: a path, or "@name" in the
    // abstract namespace.
    static QStringList namesIn(const QProcessEnvironment &environment);
    // The display number and screen of an X11 display on this machine
    // (":1", "unix:0.1"); false for a display elsewhere or none.
    static bool parseDisplay(const QString &display, int &number, int &screen);
    // The inodes of the listening sockets bound to one of names, from the
    // text of /proc/net/unix.
    static QSet<quint64> listening(const QByteArray &table, const QStringList &names);

    // Whether the process has one of the sockets open. Where they are is
    // looked up again when the last look is a few seconds old, the
    // environment names others, or a socket file was made anew.
    bool heldBy(quint32 processId);

private:
    void update();

    QStringList names;
    // The inodes of the socket files among names, as the last look found
    // them (0: none there).
    QVector<quint64> files;
    QSet<quint64> sockets;
    QElapsedTimer looked;
};
