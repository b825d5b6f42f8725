#include "platform/linux/KvEssentialProcesses.h"

#include "platform/linux/KvGuiXcb.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char displayRole[] = "the display server or compositor";
const char sessionRole[] = "a session or service manager";
const char loginRole[] = "a login or seat manager";

// Frozen, each of these leaves the user without a desktop to undo a rule
// from (display servers, compositors, the X11 window managers that handle
// focus), without the session's bus and services the desktop talks through,
// or without a way to log in at all.
const QHash<QString, const char *> &essentialPrograms()
{
    static const QHash<QString, const char *> programs = [] {
        QHash<QString, const char *> table;
        for (const char *name : {"Xorg",
                                 "X",
                                 "Xwayland",
                                 "Xvfb",
                                 "Xephyr",
                                 "Xnest",
                                 "Xvnc",
                                 "Xtigervnc",
                                 "gnome-shell",
                                 "mutter",
                                 "kwin_wayland",
                                 "kwin_x11",
                                 "kwin_wayland_wrapper",
                                 "plasmashell",
                                 "sway",
                                 "Hyprland",
                                 "weston",
                                 "labwc",
                                 "wayfire",
                                 "river",
                                 "niri",
                                 "cage",
                                 "gamescope",
                                 "cosmic-comp",
                                 "xfwm4",
                                 "marco",
                                 "muffin",
                                 "openbox",
                                 "i3",
                                 "awesome",
                                 "fluxbox",
                                 "icewm",
                                 "bspwm",
                                 "xmonad",
                                 "enlightenment",
                                 "compiz",
                                 "picom"})
            table.insert(QLatin1String(name), displayRole);
        for (const char *name : {"systemd", "dbus-daemon", "dbus-broker", "dbus-broker-launch"})
            table.insert(QLatin1String(name), sessionRole);
        for (const char *name :
             {"systemd-logind", "elogind", "seatd", "gdm", "gdm3", "gdm-session-worker",
              "gdm-wayland-session", "gdm-x-session", "sddm", "sddm-helper", "lightdm", "greetd",
              "login", "agetty", "sshd", "sshd-session"})
            table.insert(QLatin1String(name), loginRole);
        return table;
    }();
    return programs;
}

// Ids below this one are the system's own accounts (Debian's UID_MIN), which
// only root can make a process run as.
const uid_t firstUserId = 1000;
// How long what the session says of a process holds before it is asked again.
const qint64 askSessionAgainMs = 3000;
// Parents looked up at most, against a loop in a /proc read while it changes.
const int deepestParent = 16;
// Judgements kept at most before those of gone processes are dropped.
const int keptJudgements = 256;

// The real user the process runs as, from /proc/PID/status ("Uid:\treal\t...").
bool readRealUserId(quint32 processId, uid_t &userId)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/status", processId);
    QByteArray status;
    if (!KvLinuxProcFs::readFile(path, status))
        return false;
    const int line = status.indexOf("\nUid:");
    if (line < 0)
        return false;
    bool read = false;
    userId = uid_t(status.mid(line + 5, status.indexOf('\n', line + 5) - line - 5)
                       .simplified()
                       .split(' ')
                       .first()
                       .toUInt(&read));
    return read;
}

} // namespace

const char *KvEssentialProcesses::namedRole(const QString &executable)
{
    return essentialPrograms().value(executable.section(QLatin1Char('/'), -1));
}

bool KvEssentialProcesses::isSystemFile(const struct stat &file, const struct stat &folder)
{
    const mode_t othersWrite = S_IWGRP | S_IWOTH;
    return S_ISREG(file.st_mode) && file.st_uid == 0 && !(file.st_mode & othersWrite) &&
           S_ISDIR(folder.st_mode) && folder.st_uid == 0 && !(folder.st_mode & othersWrite);
}

KvEssentialProcesses::KvEssentialProcesses()
    : ownUserId(::getuid())
    , asRoot(::geteuid() == 0)
{
    clock.start();
}

bool KvEssentialProcesses::passes(quint32 processId, const QString &executable, const char *role)
{
    return passes(processId, executable, role, 0);
}

bool KvEssentialProcesses::passes(quint32 processId, const QString &executable, const char *role,
                                  int depth)
{
    const qint64 now = clock.elapsed();
    const Judgement known = judged.value(processId);
    const bool same = known.judgedAt > 0 && known.executable == executable;
    if (same && now - known.judgedAt < askSessionAgainMs)
        return known.passes;
    KvLinuxProcFs::Stat stat;
    if (!KvLinuxProcFs::readStat(processId, stat))
        return true; // gone: nothing to restrain, nothing to say of it
    Judgement judgement = known;
    if (!same || known.startTime != stat.startTime) {
        judgement.executable = executable;
        judgement.startTime = stat.startTime;
        judgement.byProcess = passesByProcess(processId, stat, executable, role, depth);
    }
    judgement.passes = judgement.byProcess || (role != loginRole && sockets.heldBy(processId)) ||
                       (role == displayRole && ownsManagerSelection(processId));
    judgement.judgedAt = qMax<qint64>(now, 1);
    if (judged.size() >= keptJudgements) {
        for (auto it = judged.begin(); it != judged.end();) {
            if (now - it->judgedAt > askSessionAgainMs)
                it = judged.erase(it);
            else
                ++it;
        }
    }
    judged.insert(processId, judgement);
    return judgement.passes;
}

bool KvEssentialProcesses::passesByProcess(quint32 processId, const KvLinuxProcFs::Stat &stat,
                                           const QString &executable, const char *role, int depth)
{
    uid_t userId = 0;
    if (!readRealUserId(processId, userId))
        return true; // gone
    if (!asRoot && userId != ownUserId)
        return true;
    if (depth >= deepestParent)
        return false;
    bool parentRoot = false;
    const bool parentPassed = parentPasses(stat.parentProcessId, depth, parentRoot);
    char image[32];
    std::snprintf(image, sizeof image, "/proc/%u/exe", processId);
    struct stat file, folder;
    if (::stat(image, &file) != 0) {
        return role == loginRole && (errno == EACCES || errno == EPERM) && parentRoot &&
               parentPassed && stat.parentProcessId != 1;
    }
    return (userId < firstUserId || parentPassed) && QFileInfo(executable).isAbsolute() &&
           ::stat(QFile::encodeName(QFileInfo(executable).path()).constData(), &folder) == 0 &&
           isSystemFile(file, folder);
}

bool KvEssentialProcesses::parentPasses(quint32 parentId, int depth, bool &runsAsRoot)
{
    uid_t userId = 1;
    runsAsRoot = readRealUserId(parentId, userId) && userId == 0;
    if (parentId == 1)
        return true;
    KvLinuxProcFs::Stat stat;
    QString executable;
    if (!KvLinuxProcFs::readImagePath(parentId, executable)) {
        if (!KvLinuxProcFs::readStat(parentId, stat))
            return false;
        executable = KvLinuxProcFs::nameWithoutImage(parentId, stat);
    }
    const char *role = namedRole(executable);
    return role && passes(parentId, executable, role, depth + 1);
}

bool KvEssentialProcesses::ownsManagerSelection(quint32 processId)
{
    xcb_window_t root = XCB_WINDOW_NONE;
    xcb_connection_t *connection = KvGuiXcb::connection(root);
    int number = 0, screen = 0;
    if (!connection || !KvGuiXcb::tellsClientProcesses(connection) ||
        !KvSessionSockets::parseDisplay(qEnvironmentVariable("DISPLAY"), number, screen))
        return false;
    for (const char *selection : {"WM_S%1", "_NET_WM_CM_S%1"}) {
        const QByteArray name = QString::fromLatin1(selection).arg(screen).toLatin1();
        const xcb_atom_t atom = KvGuiXcb::internAtom(connection, name.constData());
        KvXcbReply<xcb_get_selection_owner_reply_t> owner;
        owner.reply = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom), &owner.error);
        quint32 ownerProcess = 0;
        if (atom != XCB_ATOM_NONE && owner.reply && owner.reply->owner != XCB_WINDOW_NONE &&
            KvGuiXcb::clientProcess(connection, owner.reply->owner, ownerProcess) &&
            ownerProcess == processId)
            return true;
    }
    return false;
}
