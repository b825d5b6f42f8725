#pragma once

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvSessionSockets.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <sys/types.h>

struct stat;

// The processes that keep the user able to undo a rule: PID 1, the display
// server and compositor, the session's service managers and buses, the
// system's login and seat managers. Each role has its programs' names (the
// table in the source), but a name proves nothing: a copy of sleep named
// "sway" is a stranger that borrows the name, and is restrained like any
// process. A process with one of the names is that program when it passes
// the check of its role:
//
// - the display server or compositor: it holds one of the session's display
//   sockets (the Wayland display, the X11 display's sockets, Sway's and
//   Hyprland's IPC sockets; KvSessionSockets), or owns the window manager's
//   or the compositing manager's selection (WM_S<screen>, _NET_WM_CM_S<screen>)
//   on the GUI's X11 display, or it passes as a system program (below).
//   The sockets find the session's own compositor, also one started from a
//   shell or built into the user's home; the selections the window managers
//   of X11 desktops, which hold no socket; the rest Xwayland under its
//   compositor, kwin_wayland under its wrapper, what a service manager or a
//   display manager starts, and an Xorg run as root.
// - a session or service manager, or bus: it holds the user's service
//   manager's private socket, or the socket of the session bus or of the
//   system bus (with socket activation both the manager that listens and
//   the bus daemon it handed the socket to), or it passes as a system
//   program. PID 1 passes by its id alone.
// - a login or seat manager (logind, gdm, sddm, lightdm, greetd, seatd,
//   login, agetty, sshd): it passes as a system program; or, as sshd's half
//   that runs as the user and no longer lets that user look at it, its
//   executable cannot be read and its parent, other than PID 1 (which
//   adopts every orphan), runs as root and passes itself.
//
// A system program: its executable is owned by root and writable by no one
// else, in a folder owned by root and writable by no one else (where no
// ordinary user can put a file), and it runs as root or a system account,
// or its parent is PID 1 or passes the check of its own role.
//
// A process this program could not restrain anyway (another user's, when
// this program does not run as root) passes by its name: nothing could be
// done to it, and little of it can be looked at.
//
// Names not in the table cost a hash lookup, as they always did. The facts
// of one process are read once for its id and start time; what the session
// says of it (sockets, selections) is asked again after a few seconds, so
// that a compositor asked about before its socket was up passes once it is.
class KvEssentialProcesses
{
public:
    // The role whose programs have the executable's file name, in words for
    // the log; null for any other name.
    static const char *namedRole(const QString &executable);
    // Whether a file is one no ordinary user could have put in place: the
    // executable and the folder it is in, both owned by root and writable
    // by no one else.
    static bool isSystemFile(const struct stat &file, const struct stat &folder);

    KvEssentialProcesses();

    // Whether the process, whose executable's name is one of role's, really
    // is that program.
    bool passes(quint32 processId, const QString &executable, const char *role);

private:
    // What was found of one process.
    struct Judgement
    {
        QString executable;
        quint64 startTime = 0;
        qint64 judgedAt = 0;
        bool byProcess = false;
        bool passes = false;
    };

    bool passes(quint32 processId, const QString &executable, const char *role, int depth);
    // The checks that go by the process alone, which hold for its life.
    bool passesByProcess(quint32 processId, const KvLinuxProcFs::Stat &stat,
                         const QString &executable, const char *role, int depth);
    // Whether the parent is PID 1 or a process that passes its own role's
    // check; runsAsRoot tells whether it runs as root.
    bool parentPasses(quint32 parentId, int depth, bool &runsAsRoot);
    // Whether the process owns the window manager's or the compositing
    // manager's selection on the GUI's X11 display.
    static bool ownsManagerSelection(quint32 processId);

    QHash<quint32, Judgement> judged;
    KvSessionSockets sockets;
    QElapsedTimer clock;
    const uid_t ownUserId;
    const bool asRoot;
};
