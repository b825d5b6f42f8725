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
    void onlyRootCanHavePutASystemFile_data()
    {
        QTest::addColumn<uint>("fileOwner");
        QTest::addColumn<uint>("fileMode");
        QTest::addColumn<uint>("folderOwner");
        QTest::addColumn<uint>("folderMode");
        QTest::addColumn<bool>("system");
        QTest::newRow("/usr/bin/sway")
            << 0u << uint(S_IFREG | 0755) << 0u << uint(S_IFDIR | 0755) << true;
        QTest::newRow("the user's")
            << 1000u << uint(S_IFREG | 0755) << 0u << uint(S_IFDIR | 0755) << false;
        QTest::newRow("writable") << 0u << uint(S_IFREG | 0775) << 0u << uint(S_IFDIR | 0755)
                                  << false;
        QTest::newRow("in /tmp") << 0u << uint(S_IFREG | 0755) << 0u << uint(S_IFDIR | 01777)
                                 << false;
        QTest::newRow("in the user's folder")
            << 0u << uint(S_IFREG | 0755) << 1000u << uint(S_IFDIR | 0755) << false;
    }
    void onlyRootCanHavePutASystemFile()
    {
        QFETCH(uint, fileOwner);
        QFETCH(uint, fileMode);
        QFETCH(uint, folderOwner);
        QFETCH(uint, folderMode);
        struct stat file = {}, folder = {};
        file.st_uid = fileOwner;
        file.st_mode = fileMode;
        folder.st_uid = folderOwner;
        folder.st_mode = folderMode;
        QTEST(KvEssentialProcesses::isSystemFile(file, folder), "system");
    }
};

QTEST_APPLESS_MAIN(TestEssentialProcesses)
#include "tst_essentialprocesses.moc"
