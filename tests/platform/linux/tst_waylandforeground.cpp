// Foreground reports on a private session bus, as the scripts under
// resources/wayland send them, drive rules; Hyprland's and Sway's sockets are stood
// in for by servers of the test's; the start-up notice names what each desktop lacks.

#include "LogTail.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/KvPlatformForeground.h"
#include "platform/linux/KvForegroundBusService.h"
#include "platform/linux/KvHyprlandFocusClient.h"
#include "platform/linux/KvSwayFocusClient.h"
#include "platform/linux/KvWaylandForeground.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QDBusConnection>
#include <QDBusPendingCall>
#include <QLocalServer>
#include <QtTest>

// Sends one report and waits for its answer while the event loop runs.
bool report(const QDBusConnection &reporter, const QVariant &processId)
{
    const QDBusPendingCall pending = reporter.asyncCall(
        QDBusMessage::createMethodCall(KvForegroundBusService::serviceName,
                                       KvForegroundBusService::objectPath,
                                       "app.corvane.Corvane.Foreground", "ReportProcess")
        << processId);
    return QTest::qWaitFor([&] { return pending.isFinished(); }, 10000) && !pending.isError();
}

class TestWaylandForeground : public QObject
{
    Q_OBJECT

private slots:
    void reportsDriveRules()
    {
        if (!isTestChild()) {
            KV_REQUIRE_CAPABILITY(!QStandardPaths::findExecutable("dbus-run-session").isEmpty(),
                                  "dbus-run-session is missing (Debian package dbus)");
            QProcessEnvironment child;
            child.insert("WAYLAND_DISPLAY", "wayland-corvane-test");
            const QStringList launcher{"dbus-run-session", "--"};
            QCOMPARE(runTestFunctionInChild(QTest::currentTestFunction(), child, launcher), 0);
            return;
        }

        const LogTail log;
        // The compositors' own sockets would see the windows without the bus.
        qunsetenv("SWAYSOCK");
        qunsetenv("HYPRLAND_INSTANCE_SIGNATURE");
        // The player is a program that nothing else on the machine runs.
        const SleepingCopy player(store.path("corvane-test-player"));
        const SleepingCopy other(store.path("corvane-test-other"));
        StoredRule rule{{}, true, {}, {player.program()}};
        rule.conditionState = 1; // foreground
        storeRule(0x51, rule);
        rule.conditionState = 2; // background
        storeRule(0x52, rule);
        RulesEngine engine(nullptr, store.path("journal"));
        const Rule &front = *engine.rule(0x51), &back = *engine.rule(0x52);
        QVERIFY(front.state() == RuleState::Inactive && back.state() == RuleState::Active);
        // No desktop on this bus runs a reporter: the user hears about it.
        const auto notices = [&] {
            return log.lines().filter("Wayland windows are not seen").size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(notices(), 1, 10000);
        const auto reporter =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, "reporter");
        QVERIFY(report(reporter, uint(player.processId())));
        QTRY_COMPARE_WITH_TIMEOUT(front.state(), RuleState::Active, 10000);
        QVERIFY(back.state() == RuleState::Inactive);
        // Reports of no process, of one beyond pid_max, of the program itself and
        // beyond any process id change nothing.
        QSignalSpy changes(&KvPlatformForeground::current(), &KvPlatformForeground::changed);
        for (uint bad : {0u, 0x7fffffffu, uint(QCoreApplication::applicationPid()), 0xffffffffu})
            QVERIFY(report(reporter, bad));
        QTest::qWait(200);
        QCOMPARE(changes.size(), 0);
        // KWin's callDBus sends a JavaScript number as a signed 32-bit value.
        QVERIFY(report(reporter, int(other.processId())));
        QTRY_COMPARE_WITH_TIMEOUT(front.state(), RuleState::Inactive, 10000);
        QVERIFY(back.state() == RuleState::Active && notices() == 1);
    }
    void hyprlandFocus()
    {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString folder = runtime.filePath("hypr/corvane");
        QVERIFY(QDir().mkpath(folder));
        // The request socket: one request a connection, answered in the order
        // of answers, or held back while hold is set.
        QLocalServer events, requests;
        QByteArrayList asked, answers{R"({"class":"kitty","pid":4242})", R"({"pid":4343})", "{}"};
        QList<QLocalSocket *> held;
        bool hold = false;
        const auto answer = [&](QLocalSocket *client) {
            client->write(answers.isEmpty() ? QByteArray("{}") : answers.takeFirst());
            client->disconnectFromServer();
        };
        connect(&requests, &QLocalServer::newConnection, [&] {
            QLocalSocket *client = requests.nextPendingConnection();
            connect(client, &QLocalSocket::readyRead, [&, client] {
                asked << client->readAll();
                hold ? held.append(client) : answer(client);
            });
        });
        QVERIFY(requests.listen(folder + "/.socket.sock"));
        QList<quint32> reports;
        const LogTail log;
        const auto notices = [&] { return log.lines().filter(folder + "/.socket2.sock").size(); };
        KvHyprlandFocusClient client(
            "corvane", [&](quint32 pid) { reports << pid; }, nullptr);
        QCOMPARE(client.folder(), folder);
        // The event socket comes later: the client waits for it, and asks for
        // the active window once connected.
        client.start();
        QVERIFY(events.listen(folder + "/.socket2.sock"));
        QTRY_VERIFY(events.hasPendingConnections());
        QLocalSocket *stream = events.nextPendingConnection();
        QTRY_COMPARE(reports, QList<quint32>{4242});
        // Lines come in pieces; only activewindow is a change of the focus, and
        // no window ("{}") reports nothing.
        stream->write("workspace>>2\nactivewindowv2>>0x5\nactivewindow>>kit");
        QTest::qWait(100);
        QCOMPARE(asked.size(), 1);
        stream->write("ty,~\nactivewindow>>,\n");
        QTRY_COMPARE(asked.size(), 2);
        QTRY_COMPARE(reports, (QList<quint32>{4242, 4343}));
        stream->write("activewindow>>,\n");
        QTRY_COMPARE(asked.size(), 3);
        // A change while a request waits for its answer asks again, and only
        // the newer answer counts.
        hold = true;
        answers = QByteArrayList{R"({"pid":1})", R"({"pid":2})"};
        stream->write("activewindow>>a,b\n");
        QTRY_COMPARE(held.size(), 1);
        stream->write("activewindow>>c,d\n");
        QTest::qWait(100);
        hold = false;
        answer(held.takeFirst());
        QTRY_COMPARE(reports.last(), 2u);
        QCOMPARE(reports.size(), 3);
        QVERIFY(asked.size() == 5 && asked.count("j/activewindow") == 5);
        // Hyprland ends: said once while the client tries again, and when it is
        // back the client follows the focus again.
        stream->disconnectFromServer();
        events.close();
        QTest::qWait(1500);
        QCOMPARE(notices(), 1);
        answers = QByteArrayList{R"({"pid":4444})"};
        QVERIFY(events.listen(folder + "/.socket2.sock"));
        QTRY_COMPARE_WITH_TIMEOUT(reports.last(), 4444u, 5000);
        QCOMPARE(notices(), 2);
    }
    void oversizedMessagesAreDropped_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::newRow("Sway frame") << "sway";
        QTest::newRow("Hyprland event line") << "events";
        QTest::newRow("Hyprland answer") << "answer";
    }
    void oversizedMessagesAreDropped()
    {
        QFETCH(QString, peer);
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString folder = runtime.filePath("hypr/corvane");
        QVERIFY(QDir().mkpath(folder));
        // More than any message of the compositor's, and no end to it.
        const QByteArray flood(3 * 1024 * 1024, 'x');
        QLocalServer events, requests;
        int connections = 0;
        connect(&events, &QLocalServer::newConnection, [&] {
            ++connections;
            QLocalSocket *client = events.nextPendingConnection();
            if (peer == "sway") // a frame that announces 4 GiB - 1 bytes
                client->write(QByteArray("i3-ipc\xff\xff\xff\xff\x04\0\0\0", 14) + flood);
            else if (peer == "events")
                client->write(flood);
        });
        connect(&requests, &QLocalServer::newConnection, [&] {
            requests.nextPendingConnection()->write(peer == "answer" ? '{' + flood : "{}");
        });
        const LogTail log;
        const bool sway = peer == "sway";
        QVERIFY(sway ? events.listen(runtime.filePath("sway-ipc.1.2.sock"))
                     : events.listen(folder + "/.socket2.sock") &&
                           requests.listen(folder + "/.socket.sock"));
        const auto ignored = [](qint64) {};
        KvSwayFocusClient swayClient(events.fullServerName(), ignored, nullptr);
        KvHyprlandFocusClient hyprland("corvane", ignored, nullptr);
        sway ? swayClient.start() : hyprland.start();
        // Dropped, said once, and connected to again as after a closed socket.
        QTRY_COMPARE_WITH_TIMEOUT(connections, 3, 10000);
        QCOMPARE(log.lines().filter("the connection is dropped and made again").size(), 1);
    }
    void notSeenNotice()
    {
        const QString current = QStringLiteral("enable corvane-foreground@corvane.app");
        const QString gnome40 = QStringLiteral("enable corvane-foreground-gnome40@corvane.app");
        // The desktop, GNOME Shell's version, Sway's socket, Hyprland's folder;
        // what the notice names, and what it does not.
        const QList<QStringList> rows{
            {"GNOME", "40.1", "", "", gnome40, current},
            {"GNOME", "44.9", "", "", gnome40, current},
            {"ubuntu:GNOME", "45.0", "", "", current, gnome40},
            {"GNOME", "3.38.4", "", "", "need GNOME 40", "enable"},
            {"ubuntu:GNOME", "", "", "", "gnome40@corvane.app on GNOME 40 to 44", "KWin"},
            {"KDE", "", "", "", "KWin Scripts", "gnome"},
            {"sway", "", "", "", "SWAYSOCK is not set", "Hyprland"},
            {"sway", "", "/run/user/7/sway-ipc.7.9.sock", "", "/run/user/7/sway-ipc.7.9.sock",
             "not set"},
            {"Hyprland", "", "", "", "HYPRLAND_INSTANCE_SIGNATURE is not set", "Sway"},
            {"Hyprland", "", "", "/run/user/7/hypr/x", "/run/user/7/hypr/x", "not set"},
            {"river", "", "", "", "river: ", "enable"},
        };
        for (const QStringList &row : rows) {
            const QString notice =
                KvWaylandForeground::notSeenNotice(row[0], row[1], row[2], row[3]);
            QVERIFY2(notice.startsWith("native Wayland windows are not seen: ") &&
                         notice.contains(row[4]) && !notice.contains(row[5]),
                     qPrintable(notice));
        }
    }

private:
    TestStore store;
};

QTEST_MAIN(TestWaylandForeground)
#include "tst_waylandforeground.moc"
