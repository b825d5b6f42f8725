#include "platform/linux/KvSessionSockets.h"

#include "platform/linux/KvLinuxProcFs.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How old a look at the sockets may be before the next judgement looks
// again: a compositor that restarts within it names a socket file anew,
// which is seen at once.
const qint64 lookAgainMs = 2000;

// __SO_ACCEPTCON in the flags of /proc/net/unix: the socket listens.
const quint64 listeningFlag = 0x10000;

// The sockets a D-Bus address names ("unix:path=...;unix:abstract=...",
// values %-escaped).
QStringList busSockets(const QString &address, const QString &runtime)
{
    QStringList found;
    for (const QString &entry : address.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (!entry.startsWith(QLatin1String("unix:")))
            continue;
        for (const QString &pair : entry.mid(5).split(QLatin1Char(','))) {
            const QString key = pair.section(QLatin1Char('='), 0, 0);
            const QString value = QString::fromUtf8(
                QByteArray::fromPercentEncoding(pair.section(QLatin1Char('='), 1).toUtf8()));
            if (key == QLatin1String("path"))
                found << QDir::cleanPath(value);
            else if (key == QLatin1String("abstract"))
                found << QLatin1Char('@') + value;
            else if (key == QLatin1String("runtime") && value == QLatin1String("yes") &&
                     !runtime.isEmpty())
                found << QDir::cleanPath(runtime + QLatin1String("/bus"));
        }
    }
    return found;
}

} // namespace

QStringList KvSessionSockets::namesIn(const QProcessEnvironment &environment)
{
    QStringList names;
    const QString runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
    // Wayland's display and the compositors' own sockets are named relative
    // to the runtime folder, or in full.
    const auto named = [&](const QString &name) {
        if (QDir::isAbsolutePath(name))
            names << QDir::cleanPath(name);
        else if (!runtime.isEmpty() && !name.isEmpty())
            names << QDir::cleanPath(runtime + QLatin1Char('/') + name);
    };
    named(environment.value(QStringLiteral("WAYLAND_DISPLAY")));
    int number = 0, screen = 0;
    if (parseDisplay(environment.value(QStringLiteral("DISPLAY")), number, screen)) {
        const QString x11 = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        names << x11 << QLatin1Char('@') + x11;
    }
    named(environment.value(QStringLiteral("SWAYSOCK")));
    const QString hyprland = environment.value(QStringLiteral("HYPRLAND_INSTANCE_SIGNATURE"));
    if (!hyprland.isEmpty()) {
        // Hyprland 0.40 moved its sockets from /tmp to the runtime folder.
        const QString socket = QStringLiteral("hypr/%1/.socket.sock").arg(hyprland);
        named(socket);
        named(QLatin1String("/tmp/") + socket);
    }
    named(QStringLiteral("systemd/private"));
    names << busSockets(environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")), runtime);
    const QString system = environment.value(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"));
    names << busSockets(system.isEmpty() ? QStringLiteral("unix:path=/run/dbus/system_bus_socket")
                                         : system,
                        runtime);
    return names;
}

bool KvSessionSockets::parseDisplay(const QString &display, int &number, int &screen)
{
    const int colon = display.lastIndexOf(QLatin1Char(':'));
    const QStringRef host = display.leftRef(colon);
    if (colon < 0 || !(host.isEmpty() || host == QLatin1String("unix")))
        return false;
    const QStringList parts = display.mid(colon + 1).split(QLatin1Char('.'));
    bool numbered = false, screened = parts.size() == 1;
    number = int(parts.first().toUShort(&numbered));
    screen = parts.size() == 2 ? int(parts.last().toUShort(&screened)) : 0;
    return numbered && screened;
}

QSet<quint64> KvSessionSockets::listening(const QByteArray &table, const QStringList &names)
{
    QSet<QByteArray> wanted;
    for (const QString &name : names)
        wanted.insert(QFile::encodeName(name));
    QSet<quint64> found;
    // "Num RefCount Protocol Flags Type St Inode Path": the path, which may
    // hold spaces, is the rest of the line after the seventh field.
    for (const QByteArray &line : table.split('\n')) {
        QByteArray fields[7];
        int at = 0;
        for (QByteArray &field : fields) {
            while (at < line.size() && line.at(at) == ' ')
                ++at;
            const int start = at;
            while (at < line.size() && line.at(at) != ' ')
                ++at;
            field = line.mid(start, at - start);
        }
        bool flagged = false, numbered = false;
        const quint64 flags = fields[3].toULongLong(&flagged, 16);
        const quint64 inode = fields[6].toULongLong(&numbered);
        if (flagged && numbered && (flags & listeningFlag) && at + 1 < line.size() &&
            wanted.contains(line.mid(at + 1)))
            found.insert(inode);
    }
    return found;
}

bool KvSessionSockets::heldBy(quint32 processId)
{
    update();
    if (sockets.isEmpty())
        return false;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/fd", processId);
    DIR *descriptors = ::opendir(path);
    if (!descriptors)
        return false;
    bool held = false;
    for (const dirent *entry; !held && (entry = ::readdir(descriptors));) {
        char target[64];
        const ssize_t length =
            ::readlinkat(::dirfd(descriptors), entry->d_name, target, sizeof target - 1);
        unsigned long long inode = 0;
        if (length <= 0 || std::strncmp(target, "socket:[", 8) != 0)
            continue;
        target[length] = '\0';
        held = std::sscanf(target + 8, "%llu", &inode) == 1 && sockets.contains(inode);
    }
    ::closedir(descriptors);
    return held;
}

void KvSessionSockets::update()
{
    const QStringList named = namesIn(QProcessEnvironment::systemEnvironment());
    QVector<quint64> found;
    found.reserve(named.size());
    for (const QString &name : named) {
        struct stat file;
        const bool there = !name.startsWith(QLatin1Char('@')) &&
                           ::stat(QFile::encodeName(name).constData(), &file) == 0;
        found << (there ? quint64(file.st_ino) : 0);
    }
    if (looked.isValid() && looked.elapsed() < lookAgainMs && named == names && found == files)
        return;
    names = named;
    files = found;
    looked.start();
    QByteArray table;
    sockets = KvLinuxProcFs::readFile("/proc/net/unix", table) ? listening(table, names)
                                                               : QSet<quint64>();
}
