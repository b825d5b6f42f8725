// The program on real display servers. A Foreground rule on an Xvfb of the test's own, and on a
// headless Sway run as an ordinary user (it refuses root), which gives every new window the focus
// and is followed through its IPC socket alone, with no session bus, also when it ends and starts
// again. The details pane on the Xvfb, over a real busy process that a rule caps, and the window
// taken through a rule's life with the keyboard alone.

#include "DialogTestSupport.h"
#include "LogTail.h"
#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "X11Client.h"
#include "XvfbServer.h"
#include "platform/KvPlatformForeground.h"
#include "rules/RulesEngine.h"
#include "ui/MainWindow.h"
#include "ui/RuleDetailsModel.h"
#include "ui/RuleDetailsPane.h"
#include "ui/RuleDialog.h"
#include "ui/SelectProcessDialog.h"

#include <QLineEdit>
#include <QTableView>
#include <QTreeView>
#include <QtTest>

#include <csignal>
#include <memory>
#include <pwd.h>
#include <unistd.h>

// An ordinary user that no account is, so that a rule on everything that the program runs as it
// reaches nothing but the test's processes.
const QString testUser = [] {
    uid_t id = 2000;
    while (::getpwuid(id))
        ++id;
    return QString::number(id);
}();
const QStringList asTestUser{"--reuid=" + testUser, "--regid=" + testUser, "--clear-groups"};

// Sway on a runtime folder of its own, as the test's user, ended with the object.
class SwayServer : public QProcess
{
public:
    SwayServer()
    {
        setEnvironment({"PATH=" + qEnvironmentVariable("PATH"), "HOME=" + runtime.path(),
                        "XDG_RUNTIME_DIR=" + runtime.path(), "WLR_BACKENDS=headless",
                        "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"});
        setProcessChannelMode(QProcess::MergedChannels);
        QFile config(runtime.filePath("config"));
        if (config.open(QIODevice::WriteOnly))
            config.write("xwayland disable\n");
    }
    ~SwayServer() override { stop(); }

    // False, with why in problem(), when it cannot run here, ends, or has no sockets after 30 s.
    bool start()
    {
        if (::geteuid() != 0 || QStandardPaths::findExecutable("sway").isEmpty()) {
            failure =
                "Sway runs as an ordinary user (needs root) and must be installed (package sway)";
            return false;
        }
        QProcess::execute("chown", {"-R", testUser + ":" + testUser, runtime.path()});
        QProcess::start("setpriv",
                        asTestUser + QStringList{"sway", "-c", runtime.filePath("config")});
        waitForStarted();
        const bool up = QTest::qWaitFor(
            [this] { return state() != Running || (!socket().isEmpty() && !display().isEmpty()); },
            30000);
        failure = "sway did not start: " + readAll();
        return up && state() == Running;
    }
    void stop()
    {
        terminate();
        if (!waitForFinished(10000))
            kill();
        waitForFinished();
    }
    QString socket() const { return find("sway-ipc.*.sock"); }
    QString display() const { return QFileInfo(find("wayland-?")).fileName(); }
    QString problem() const { return failure; }

    // A copy of the window program at path, on this Sway.
    KilledAtEnd *window(const QString &path) const
    {
        QFile::copy(QStringLiteral(TEST_WINDOW), path);
        auto *window = new KilledAtEnd;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        environment.insert("WAYLAND_DISPLAY", display());
        environment.insert("QT_QPA_PLATFORM", "wayland");
        window->setProcessEnvironment(environment);
        window->start(path, QStringList());
        return window;
    }

    QTemporaryDir runtime;

private:
    QString find(const QString &pattern) const
    {
        const QFileInfoList found = QDir(runtime.path()).entryInfoList({pattern}, QDir::System);
        return found.isEmpty() ? QString() : found.first().filePath();
    }

    QString failure;
};

// A rule that suspends target while player's window has the focus.
void storeForegroundRule(const QString &target, const QString &player)
{
    StoredRule stored{{}, true, {target}, {player}};
    stored.conditionState = 1; // foreground
    stored.action = 1;         // suspend
    storeRule(1, stored);
}

class TestDesktop : public QObject
{
    Q_OBJECT

private slots:
    void x11ActiveWindowDrivesAForegroundRule()
    {
        if (ranOnXvfb())
            return;
        SleepingCopy player(store.path("corvane-test-player"));
        SleepingCopy target(store.path("corvane-test-target"));
        const quint32 playerId = quint32(player.processId());
        const auto stopped = [&] { return ProcFsProbe::isStopped(target.processId()); };
        storeForegroundRule(target.program(), player.program());
        X11Client desktop;
        QVERIFY(desktop.isConnected() && playerId && target.processId());
        const xcb_window_t playerWindow = desktop.createWindow();
        desktop.setPid(playerWindow, playerId);
        // A window that does not say whose it is: its process is the client
        // that made it, as the X server knows it.
        const xcb_window_t silentWindow = desktop.createWindow();
        // Each change of the active window is reported once, with its process.
        KvPlatformForeground &foreground = KvPlatformForeground::current();
        QSignalSpy spy(&foreground, &KvPlatformForeground::changed);
        const auto focus = [&](xcb_window_t window, int changes, quint32 process) {
            desktop.activate(window);
            return QTest::qWaitFor([&] { return spy.count() >= changes; }) &&
                   spy.count() == changes && spy.last().at(0).value<quint32>() == process &&
                   foreground.process() == process;
        };
        {
            RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
            QVERIFY(focus(playerWindow, 1, playerId));
            QTRY_VERIFY(stopped());
            QVERIFY(focus(silentWindow, 2, quint32(QCoreApplication::applicationPid())));
            QTRY_VERIFY(!stopped());
            // The same window written again is no change of the foreground.
            desktop.activate(silentWindow);
            QVERIFY(focus(playerWindow, 3, playerId));
            QTRY_VERIFY(stopped());
        } // gone while active: nothing may stay suspended
        QTRY_VERIFY(!stopped());
        QVERIFY(focus(XCB_WINDOW_NONE, 4, KvProcessEntry::noProcessId));
    }
    void swayFocusDrivesAForegroundRule()
    {
        KV_REQUIRE_CAPABILITY(
            QFile::exists(QLibraryInfo::location(QLibraryInfo::PluginsPath) +
                          QStringLiteral("/platforms/libqwayland-generic.so")),
            QStringLiteral("Qt's Wayland platform is not installed (Debian package qtwayland5)"));
        SwayServer sway;
        KV_REQUIRE_CAPABILITY(sway.start(), sway.problem());
        qputenv("SWAYSOCK", QFile::encodeName(sway.socket()));
        qputenv("WAYLAND_DISPLAY", sway.display().toUtf8());
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        const LogTail log;
        const auto closings = [&] { return log.lines().filter("Sway's IPC socket at").size(); };
        SleepingCopy target(store.path(QStringLiteral("corvane-test-target")));
        const QString player = store.path(QStringLiteral("corvane-test-player"));
        const QString other = store.path(QStringLiteral("corvane-test-other"));
        storeForegroundRule(target.program(), player);
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        const auto stopped = [&] { return ProcFsProbe::isStopped(target.processId()); };
        for (int run = 0; run < 2; ++run) {
            if (run == 1) {
                sway.stop();
                QTRY_COMPARE_WITH_TIMEOUT(closings(), 1, 10000);
                QVERIFY2(sway.start(), qPrintable(sway.problem()));
            }
            const std::unique_ptr<QProcess> playing(sway.window(player));
            QTRY_VERIFY_WITH_TIMEOUT(stopped(), 20000);
            std::unique_ptr<QProcess> another(sway.window(other));
            QTRY_VERIFY_WITH_TIMEOUT(!stopped(), 20000);
            // The focus goes back to the player's window, which is no new window.
            another.reset();
            QTRY_VERIFY_WITH_TIMEOUT(stopped(), 20000);
            another.reset(sway.window(other));
            QTRY_VERIFY_WITH_TIMEOUT(!stopped(), 20000);
        }
        QCOMPARE(closings(), 1);
        QCOMPARE(log.lines().filter("native Wayland windows are not seen"), QStringList());
    }
    void aRuleOnEverythingSparesTheDesktop()
    {
        // Sway, the program under a session bus of its own and started through two shells (as
        // from a terminal), one more process, and strangers that bear the names of a compositor,
        // a bus, a service manager and login services (copies of sleep in a folder of the
        // user's), all of one ordinary user, as a desktop session has them; the program suspends
        // whatever it may.
        SwayServer sway;
        QTemporaryDir home;
        StoredRule everything{"everything", true, {"*"}};
        everything.action = 1; // suspend
        storeRule(1, everything,
                  QSettings(home.filePath("config/Veltrom/Corvane.conf"), QSettings::IniFormat));
        QStringList programs{QStandardPaths::findExecutable("sleep")};
        QDir().mkpath(home.filePath("bin"));
        for (const char *name :
             {"sway", "Xwayland", "systemd", "dbus-daemon", "sshd", "login", "gnome-shell"}) {
            programs << home.filePath(QStringLiteral("bin/") + name);
            QFile::copy(programs.first(), programs.last());
        }
        QVERIFY(QProcess::execute("chown", {"-R", testUser + ":" + testUser, home.path()}) == 0);
        KV_REQUIRE_CAPABILITY(sway.start(), sway.problem());
        std::vector<std::unique_ptr<KilledAtEnd>> others;
        for (const QString &program : programs) {
            others.emplace_back(new KilledAtEnd);
            others.back()->start("setpriv", asTestUser + QStringList{program, "600"});
        }
        KilledAtEnd corvane; // a session of its own, killed whole at the end
        corvane.setEnvironment(
            {"PATH=" + qEnvironmentVariable("PATH"), "HOME=" + home.path(),
             "XDG_CONFIG_HOME=" + home.filePath("config"), "XDG_DATA_HOME=" + home.filePath("data"),
             "XDG_RUNTIME_DIR=" + sway.runtime.path(), "SWAYSOCK=" + sway.socket(),
             "CORVANE_MEASUREMENT_HOST=" + qEnvironmentVariable("CORVANE_MEASUREMENT_HOST")});
        corvane.start("setsid", QStringList{"setpriv"} + asTestUser +
                                    QStringList{"dbus-run-session", "--", "sh", "-c",
                                                "sh -c 'echo $$; \"$0\" & wait' \"$0\" & wait",
                                                CORVANE_EXECUTABLE});
        const pid_t session = corvane.waitForStarted() ? pid_t(corvane.processId()) : 0;
        const auto killAll = qScopeGuard([session] { session > 0 && ::kill(-session, SIGKILL); });
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(others.cbegin(), others.cend(),
                                             [](const std::unique_ptr<KilledAtEnd> &other) {
                                                 return ProcFsProbe::isStopped(other->processId());
                                             }),
                                 30000);
        const qint64 inner = corvane.readAllStandardOutput().trimmed().toLongLong();
        const qint64 bus = childOf(session, "dbus-daemon");
        const qint64 program = childOf(inner, QFileInfo(CORVANE_EXECUTABLE).fileName());
        QVERIFY(inner > 0 && bus > 0 && program > 0);
        for (qint64 spared :
             {sway.processId(), qint64(session), childOf(session, "sh"), inner, bus, program})
            QVERIFY(spared > 0 && !ProcFsProbe::isStopped(spared));
        QFile file(home.filePath("data/Veltrom/Corvane/corvane.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString log = QString::fromUtf8(file.readAll());
        const QString spared("rule \"everything\" leaves process #%1 (%2) alone: it is %3");
        QVERIFY(
            log.contains(spared.arg(sway.processId())
                             .arg(QStandardPaths::findExecutable("sway"), "the display server")));
        QVERIFY(log.contains(spared.arg(bus).arg(QStandardPaths::findExecutable("dbus-daemon"),
                                                 "a session or service manager")));
        for (int i = 1; i < programs.size(); ++i) {
            QCOMPARE(log.count(QStringLiteral("process #%1 (%2) borrows the name of ")
                                   .arg(others[i]->processId())
                                   .arg(programs[i])),
                     1);
        }
        ::kill(pid_t(program), SIGTERM);
        for (const auto &other : others)
            QTRY_VERIFY(!ProcFsProbe::isStopped(other->processId()));
    }

    void detailsPaneShowsARealCap()
    {
        if (ranOnXvfb())
            return;
        KV_REQUIRE_CAPABILITY(::geteuid() == 0, "capping a process needs root");
        const SleepingCopy target(store.path("corvane-test-busy"), "yes");
        StoredRule rule{"busy", true, {target.program()}};
        rule.cpuLimit = 25;
        storeRule(1, rule);
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        RuleDetailsPane pane(engine);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.setRule(1);
        const QAbstractItemModel &rows = *pane.findChild<QTableView *>("processes")->model();
        QCOMPARE(rows.rowCount(), 1);
        QCOMPARE(rows.index(0, RuleDetailsModel::ProcessIdColumn).data().toLongLong(),
                 target.processId());
        // The process's real CPU times reach the pane (how close its share keeps to the cap is
        // bench/cap_accuracy's to measure).
        const auto share = [&] { return rows.index(0, RuleDetailsModel::ShareColumn).data(); };
        QTRY_VERIFY(share().toString().section(' ', 0, 0).toDouble() > 0); // "12.5 %"
        engine.store().setEnabled(1, false);
        QTRY_COMPARE(rows.rowCount(), 0);
    }

    void keyboardAloneAddsSelectsRemovesAndUndoes()
    {
        if (ranOnXvfb())
            return;
        KV_REQUIRE_CAPABILITY(::geteuid() == 0, "capping a process needs root");
        const SleepingCopy target(store.path("corvane-test-capme"));
        const auto capped = [&] {
            return ProcFsProbe::cpuCgroupOf(target.processId()).contains("/corvane/");
        };
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        MainWindow window(engine);
        window.show();
        // As a window manager would (there is none here): the new window has the focus.
        const auto activate = [](QWidget *shown) {
            shown->activateWindow();
            return QTest::qWaitFor(
                [&] { return QGuiApplication::focusWindow() == shown->windowHandle(); });
        };
        QVERIFY(activate(&window));
        const RuleDetailsPane &pane = *window.findChild<RuleDetailsPane *>();
        QCOMPARE(pane.emptyText(), "No rules yet — Add one to cap or pause a program");
        // Keys go to the window that has the focus, through the window system's
        // way in (shortcuts first), as a person's do.
        QWidget *const focused = nullptr;
        const auto key = [focused](int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(focused, Qt::Key(key), modifiers);
        };
        const auto tabTo = [&](QWidget *widget) {
            for (int i = 0; i < 40 && QApplication::focusWidget() != widget; ++i)
                key(Qt::Key_Tab);
            return QApplication::focusWidget() == widget;
        };
        QObject scope;
        onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
            onNextModal<SelectProcessDialog>(dialog, [&](SelectProcessDialog *picker) {
                activate(picker);
                tabTo(child<QLineEdit>(picker, "process"));
                QTest::keyClicks(focused, target.program());
                key(Qt::Key_Return);
            });
            activate(dialog);
            tabTo(child<QPushButton>(dialog, "targetProcessAdd"));
            key(Qt::Key_Space);
            activate(dialog);
            tabTo(child<QLineEdit>(dialog, "name"));
            QTest::keyClicks(focused, "capme");
            key(Qt::Key_Return);
        });
        key(Qt::Key_A, Qt::AltModifier); // the button clicks a moment later, as it is seen down
        QTRY_COMPARE(engine.store().ids().size(), 1);
        const unsigned id = engine.store().ids().first();
        QTRY_VERIFY(capped());
        // The list takes the focus, and with it its first rule.
        QVERIFY(activate(&window) && tabTo(window.findChild<QTreeView *>("rules")));
        QCOMPARE(pane.details().rule(), id);
        key(Qt::Key_Delete);
        QVERIFY(engine.store().ids().isEmpty() && !capped());
        key(Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(engine.store().ids(), QList<unsigned>{id});
        QVERIFY(capped());
        QCOMPARE(pane.details().rule(), id);
    }

private:
    // The child of the process that runs program, or 0.
    static qint64 childOf(qint64 parent, const QString &program)
    {
        return ProcFsProbe::childrenOf(parent, program.toUtf8()).value(0);
    }

    // Runs the test function again in a child on an Xvfb of its own: true in
    // the parent, which has nothing more to do.
    bool ranOnXvfb()
    {
        if (isTestChild())
            return false;
        XvfbServer server;
        if (!server.start()) {
            kvSkipOrFailAt(server.problem(), __FILE__, __LINE__);
            return true;
        }
        QProcessEnvironment child;
        child.insert("DISPLAY", server.display());
        child.insert("QT_QPA_PLATFORM", "xcb");
        if (runTestFunctionInChild(QTest::currentTestFunction(), child) != 0)
            QTest::qFail("the test failed on the Xvfb", __FILE__, __LINE__);
        return true;
    }

    TestStore store;
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
