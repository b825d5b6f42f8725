#include "LogTail.h"
#include "SystemTest.h"
#include "X11Client.h"
#include "XvfbServer.h"

#include "notifiers/KvWinEventNotifier.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <xcb/xcb.h>

// The foreground notifier and the window queries on a real X server: the
// test starts its own Xvfb and runs its checks in a child process whose GUI
// is connected to it.
namespace {

const char ChildVariable[] = "CORVANE_TEST_X11_CHILD";
const DWORD Foreground = KvPlatformWinEvents::EventSystemForeground;

HWND handleOf(xcb_window_t window)
{
    return reinterpret_cast<HWND>(static_cast<quintptr>(window));
}

} // namespace

class TestWinEventsX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void activeWindowReachesNotifierWithItsProcess();
};

void TestWinEventsX11::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<KvWinEventInfo>();
}

void TestWinEventsX11::activeWindowReachesNotifierWithItsProcess()
{
    if (qEnvironmentVariableIsEmpty(ChildVariable)) {
        XvfbServer server;
        if (!server.start())
            KV_SKIP_OR_FAIL(server.problem());
        QProcessEnvironment child;
        child.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.insert(QStringLiteral("DISPLAY"), server.display());
        child.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        const int result = runTestFunctionInChild({}, QTest::currentTestFunction(), child);
        QCOMPARE(result, 0);
        return;
    }

    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    X11Client desktop;
    QVERIFY(desktop.isConnected());

    // One window whose program says who it is, one that does not: its
    // process is what the server knows about the client that made it.
    QProcess owner;
    owner.start(QStringLiteral("sleep"), {QStringLiteral("60")});
    QVERIFY(owner.waitForStarted());
    const xcb_window_t announced = desktop.createWindow();
    desktop.setPid(announced, uint32_t(owner.processId()));
    const xcb_window_t silent = desktop.createWindow();

    const LogTail log;
    KvWinEventNotifier notifier;
    notifier.addHook(Foreground);
    QSignalSpy spy(&notifier, &KvWinEventNotifier::notify);

    KvPlatformWinEvents &windows = KvPlatformWinEvents::current();
    desktop.activate(announced);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
    QCOMPARE(spy.at(0).at(0).value<KvWinEventInfo>().event, Foreground);
    QCOMPARE(spy.at(0).at(0).value<KvWinEventInfo>().hwnd, handleOf(announced));
    QCOMPARE(windows.getForegroundWindow(), handleOf(announced));
    DWORD processId = 0xFFFFFFFF;
    QVERIFY(windows.getWindowThreadProcessId(handleOf(announced), &processId) != 0);
    QCOMPARE(processId, DWORD(owner.processId()));

    desktop.activate(silent);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
    QCOMPARE(spy.at(1).at(0).value<KvWinEventInfo>().hwnd, handleOf(silent));
    processId = 0xFFFFFFFF;
    QVERIFY(windows.getWindowThreadProcessId(handleOf(silent), &processId) != 0);
    QCOMPARE(processId, DWORD(QCoreApplication::applicationPid()));

    // Writing the same window again is no change of the foreground; the
    // next different one is the next event.
    desktop.activate(silent);
    desktop.activate(announced);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 10000);
    QCOMPARE(spy.at(2).at(0).value<KvWinEventInfo>().hwnd, handleOf(announced));

    // No active window at all.
    desktop.deactivate();
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 4, 10000);
    QCOMPARE(spy.at(3).at(0).value<KvWinEventInfo>().hwnd, HWND(nullptr));
    QCOMPARE(windows.getForegroundWindow(), HWND(nullptr));

    QCOMPARE(log.linesEndingWith(QStringLiteral("win event #3 received")).size(), 4);
    QCOMPARE(log.linesEndingWith(QStringLiteral("cannot be hooked, its changes are not reported"))
                 .size(),
             0);

    owner.kill();
    owner.waitForFinished();
}

QTEST_MAIN(TestWinEventsX11)
#include "tst_winevents_x11.moc"
