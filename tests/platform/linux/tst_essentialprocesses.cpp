// What tells the processes the user needs from strangers that bear their names: the sockets the
// session names, found listening in /proc/net/unix, and the files only root can put in place.

#include "platform/linux/KvEssentialProcesses.h"

#include <QtTest>

#include <sys/stat.h>

class TestEssentialProcesses : public QObject
{
    Q_OBJECT

private slots:
    void theSessionNamesItsSockets_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QStringList>("names");
        const QString system("/run/dbus/system_bus_socket");
        QTest::newRow("none") << QStringList{"DISPLAY=localhost:10.0"} << QStringList{system};
        QTest::newRow("wayland")
            << QStringList{"XDG_RUNTIME_DIR=/run/user/7/", "WAYLAND_DISPLAY=wayland-1",
                           "SWAYSOCK=/run/user/7/sway-ipc.7.9.sock",
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/7/bus"}
            << QStringList{"/run/user/7/wayland-1", "/run/user/7/sway-ipc.7.9.sock",
                           "/run/user/7/systemd/private", "/run/user/7/bus", system};
        QTest::newRow("x11") << QStringList{"DISPLAY=unix:1.0", "WAYLAND_DISPLAY=/tmp/w",
                                            "HYPRLAND_INSTANCE_SIGNATURE=s",
                                            "DBUS_SESSION_BUS_ADDRESS=unix:abstract=/tmp/dbus-x,"
                                            "guid=1;unix:path=/tmp/a%20b",
                                            "DBUS_SYSTEM_BUS_ADDRESS=unix:runtime=yes"}
                             << QStringList{"/tmp/w",
                                            "/tmp/.X11-unix/X1",
                                            "@/tmp/.X11-unix/X1",
                                            "/tmp/hypr/s/.socket.sock",
                                            "@/tmp/dbus-x",
                                            "/tmp/a b"};
    }
    void theSessionNamesItsSockets()
    {
        QFETCH(QStringList, environment);
        QProcessEnvironment variables;
        for (const QString &variable : environment)
            variables.insert(variable.section('=', 0, 0), variable.section('=', 1));
        QTEST(KvSessionSockets::namesIn(variables), "names");
    }
    void onlyListeningSocketsOfTheNamesCount()
    {
        const QByteArray table = "Num       RefCount Protocol Flags    Type St Inode Path\n"
                                 "0000: 00000002 00000000 00010000 0001 01 11 /run/user/7/bus\n"
                                 "0000: 00000003 00000000 00000000 0001 03 12 /run/user/7/bus\n"
                                 "0000: 00000002 00000000 00010000 0001 01 13 @/tmp/.X11-unix/X0\n"
                                 "0000: 00000002 00000000 00010000 0001 01 14 /tmp/a b\n"
                                 "0000: 00000002 00000000 00010000 0001 01 15 /tmp/other\n"
                                 "0000: 00000002 00000000 00010000 0001 01 16\n";
        QCOMPARE(KvSessionSockets::listening(table, {"/run/user/7/bus", "@/tmp/.X11-unix/X0",
                                                     "/tmp/a b", "/tmp/.X11-unix/X0"}),
                 (QSet<quint64>{11, 13, 14}));
    }
    void onlyRootCanHavePutASystemFile()
    {
        // The owner and mode of the file, and of its folder: /usr/bin/sway; the user's file;
        // one its group may write; in /tmp; in the user's folder.
        const uint rows[][5] = {{0, 0755, 0, 0755, true},
                                {1000, 0755, 0, 0755, false},
                                {0, 0775, 0, 0755, false},
                                {0, 0755, 0, 01777, false},
                                {0, 0755, 1000, 0755, false}};
        for (const auto &row : rows) {
            struct stat file = {}, folder = {};
            file.st_uid = row[0];
            file.st_mode = S_IFREG | row[1];
            folder.st_uid = row[2];
            folder.st_mode = S_IFDIR | row[3];
            QCOMPARE(KvEssentialProcesses::isSystemFile(file, folder), bool(row[4]));
        }
    }
};

QTEST_APPLESS_MAIN(TestEssentialProcesses)
#include "tst_essentialprocesses.moc"
