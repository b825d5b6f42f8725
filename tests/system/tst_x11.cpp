#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "X11Client.h"
#include "XvfbServer.h"
#include "notifiers/KvWinEventNotifier.h"
#include "process/KvProcessGovernor.h"
#include "rules/Rule.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QtTest>

// The foreground on a real X server: the test starts its own Xvfb and runs
// its check again in a child process whose GUI is connected to it. Windows
// become active as a window manager makes them; the notifier reports them
// with their processes, and a Foreground rule suspends its target while its
// condition's window is in front.
namespace {

HWND handleOf(xcb_window_t window)
{
    return reinterpret_cast<HWND>(quintptr(window));
}

} // namespace

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
    qRegisterMetaType<KvWinEventInfo>();

    SleepingCopy player(store.path("corvane-test-player"));
    SleepingCopy target(store.path("corvane-test-target"));
    QVERIFY(player.state() == QProcess::Running && target.state() == QProcess::Running);

    StoredRule stored{{}, true, {target.program()}, {player.program()}};
    stored.conditionState = RuleOptions::Foreground;
    stored.action = RuleOptions::Suspend;
    storeRule(1, stored);

    X11Client desktop;
    QVERIFY(desktop.isConnected());
    const xcb_window_t playerWindow = desktop.createWindow();
    desktop.setPid(playerWindow, uint32_t(player.processId()));
    // A window that does not say whose it is: its process is the client
    // that made it, as the X server knows it.
    const xcb_window_t silentWindow = desktop.createWindow();

    KvProcessGovernor governor(nullptr, store.path(QStringLiteral("journal")));
    KvWinEventNotifier notifier;
    notifier.addHook(KvPlatformWinEvents::EventSystemForeground);
    QSignalSpy spy(&notifier, &KvWinEventNotifier::notify);
    auto reported = [&spy] { return spy.last().at(0).value<KvWinEventInfo>().hwnd; };
    KvPlatformWinEvents &windows = KvPlatformWinEvents::current();
    DWORD processId = 0;
    {
        Rule rule(1, &governor);
        connect(&notifier, &KvWinEventNotifier::notify, &rule, &Rule::on_winEventNotifier_notify);

        desktop.activate(playerWindow);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(reported(), handleOf(playerWindow));
        QVERIFY(windows.getWindowThreadProcessId(handleOf(playerWindow), &processId) != 0);
        QCOMPARE(processId, DWORD(player.processId()));
        QTRY_VERIFY(ProcFsProbe::isStopped(target.processId()));

        desktop.activate(silentWindow);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(reported(), handleOf(silentWindow));
        QVERIFY(windows.getWindowThreadProcessId(handleOf(silentWindow), &processId) != 0);
        QCOMPARE(processId, DWORD(QCoreApplication::applicationPid()));
        QTRY_VERIFY(!ProcFsProbe::isStopped(target.processId()));

        // The same window written again is no change of the foreground.
        desktop.activate(silentWindow);
        desktop.activate(playerWindow);
        QTRY_COMPARE(spy.count(), 3);
        QCOMPARE(reported(), handleOf(playerWindow));
        QTRY_VERIFY(ProcFsProbe::isStopped(target.processId()));
    } // gone while active: nothing may stay suspended
    QTRY_VERIFY(!ProcFsProbe::isStopped(target.processId()));

    desktop.activate(XCB_WINDOW_NONE);
    QTRY_COMPARE(spy.count(), 4);
    QCOMPARE(reported(), HWND(nullptr));
    QCOMPARE(windows.getForegroundWindow(), HWND(nullptr));
}

QTEST_MAIN(TestX11)
#include "tst_x11.moc"
