#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "X11Client.h"
#include "XvfbServer.h"
#include "platform/KvPlatformForeground.h"
#include "rules/RulesEngine.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QtTest>

// The foreground on a real X server: the test starts its own Xvfb and runs
// its check again in a child process whose GUI is connected to it. Windows
// become active as a window manager makes them; the notifier reports them
// with their processes, and a Foreground rule suspends its target while its
// condition's window is in front.

class TestX11 : public QObject
{
    Q_OBJECT

private slots:
    void activeWindowDrivesAForegroundRule();

private:
    TestStore store;
};

void TestX11::activeWindowDrivesAForegroundRule()
{
    if (!isTestChild()) {
        XvfbServer server;
        KV_REQUIRE_CAPABILITY(server.start(), server.problem());
        QProcessEnvironment child;
        child.insert(QStringLiteral("DISPLAY"), server.display());
        child.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QCOMPARE(runTestFunctionInChild(QTest::currentTestFunction(), child), 0);
        return;
    }
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    SleepingCopy player(store.path("corvane-test-player"));
    SleepingCopy target(store.path("corvane-test-target"));
    QVERIFY(player.state() == QProcess::Running && target.state() == QProcess::Running);

    StoredRule stored{{}, true, {target.program()}, {player.program()}};
    stored.conditionState = 1; // foreground
    stored.action = 1;         // suspend
    storeRule(1, stored);

    X11Client desktop;
    QVERIFY(desktop.isConnected());
    const xcb_window_t playerWindow = desktop.createWindow();
    desktop.setPid(playerWindow, uint32_t(player.processId()));
    // A window that does not say whose it is: its process is the client
    // that made it, as the X server knows it.
    const xcb_window_t silentWindow = desktop.createWindow();

    KvPlatformForeground &foreground = KvPlatformForeground::current();
    QSignalSpy spy(&foreground, &KvPlatformForeground::changed);
    const auto reported = [&spy] { return spy.last().at(0).value<quint32>(); };
    {
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        desktop.activate(playerWindow);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(reported(), quint32(player.processId()));
        QCOMPARE(foreground.process(), quint32(player.processId()));
        QTRY_VERIFY(ProcFsProbe::isStopped(target.processId()));

        desktop.activate(silentWindow);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(reported(), quint32(QCoreApplication::applicationPid()));
        QTRY_VERIFY(!ProcFsProbe::isStopped(target.processId()));

        // The same window written again is no change of the foreground.
        desktop.activate(silentWindow);
        desktop.activate(playerWindow);
        QTRY_COMPARE(spy.count(), 3);
        QCOMPARE(reported(), quint32(player.processId()));
        QTRY_VERIFY(ProcFsProbe::isStopped(target.processId()));
    } // gone while active: nothing may stay suspended
    QTRY_VERIFY(!ProcFsProbe::isStopped(target.processId()));

    desktop.activate(XCB_WINDOW_NONE);
    QTRY_COMPARE(spy.count(), 4);
    QCOMPARE(reported(), KvProcessEntry::noProcessId);
    QCOMPARE(foreground.process(), KvProcessEntry::noProcessId);
}

QTEST_MAIN(TestX11)
#include "tst_x11.moc"
