#include "LogTail.h"

#include "notifiers/KvWinEventNotifier.h"
#include "platform/KvPlatformKernel.h"
#include "platform/simulated/KvSimulatedWinEvents.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

const DWORD Foreground = KvPlatformWinEvents::EventSystemForeground;

HWND window(quintptr id)
{
    return reinterpret_cast<HWND>(id);
}

KvWinEventInfo infoAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<KvWinEventInfo>();
}

} // namespace

class TestWinEvents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void foregroundChangeReachesTheNotifierOnce();
    void everyCallbackIsLoggedOnce();
    void destroyingOneNotifierLeavesTheOtherEmitting();
    void failedHookIsLoggedAndSilent();
    void receiverMayDestroyNotifiersDuringDelivery();
    void withoutX11NoHookAndNoWindow();

private:
    std::unique_ptr<KvSimulatedWinEvents> machine;
};

void TestWinEvents::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<KvWinEventInfo>();
}

void TestWinEvents::init()
{
    machine = std::make_unique<KvSimulatedWinEvents>();
    KvPlatformWinEvents::install(machine.get());
}

void TestWinEvents::cleanup()
{
    KvPlatformWinEvents::install(nullptr);
    machine.reset();
}

void TestWinEvents::foregroundChangeReachesTheNotifierOnce()
{
    // Hooking twice keeps one hook.
    KvWinEventNotifier notifier;
    notifier.addHook(Foreground);
    notifier.addHook(Foreground);
    QCOMPARE(machine->hookCount(), 1);
    QSignalSpy spy(&notifier, &KvWinEventNotifier::notify);

    machine->setForegroundWindow(window(0x101));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(infoAt(spy, 0).event, Foreground);
    QCOMPARE(infoAt(spy, 0).hwnd, window(0x101));

    // Events the notifier did not ask for do not reach it.
    machine->fireWinEvent(Foreground + 1, window(0x102));
    QCOMPARE(spy.count(), 1);

    machine->setForegroundWindow(window(0x103));
    QCOMPARE(spy.count(), 2);
    QCOMPARE(infoAt(spy, 1).hwnd, window(0x103));
}

void TestWinEvents::everyCallbackIsLoggedOnce()
{
    const LogTail log;
    KvWinEventNotifier first;
    KvWinEventNotifier second;
    first.addHook(Foreground);
    second.addHook(Foreground);
    QSignalSpy firstSpy(&first, &KvWinEventNotifier::notify);

    // Each notifier's hook calls back once, and every callback reaches every
    // notifier of the event: two callbacks, two lines, two emissions each.
    machine->setForegroundWindow(window(0x201));
    const QStringList lines = log.linesEndingWith(QStringLiteral("win event #3 received"));
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.first().contains(QLatin1String("[KvNotifier  ] [I]")),
             qPrintable(lines.first()));
    QCOMPARE(firstSpy.count(), 2);
}

void TestWinEvents::destroyingOneNotifierLeavesTheOtherEmitting()
{
    auto leaving = std::make_unique<KvWinEventNotifier>();
    KvWinEventNotifier staying;
    leaving->addHook(Foreground);
    staying.addHook(Foreground);
    QCOMPARE(machine->hookCount(Foreground), 2);
    QSignalSpy leavingSpy(leaving.get(), &KvWinEventNotifier::notify);
    QSignalSpy stayingSpy(&staying, &KvWinEventNotifier::notify);

    leaving.reset();
    QCOMPARE(machine->hookCount(Foreground), 1);
    QCOMPARE(leavingSpy.count(), 0);

    machine->setForegroundWindow(window(0x301));
    QCOMPARE(stayingSpy.count(), 1);

    const LogTail log;
    {
        KvWinEventNotifier last;
        last.addHook(Foreground);
    }
    QCOMPARE(machine->hookCount(), 1);
    machine->setForegroundWindow(window(0x302));
    QCOMPARE(stayingSpy.count(), 2);
    QCOMPARE(log.linesEndingWith(QStringLiteral("win event #3 received")).size(), 1);
}

void TestWinEvents::failedHookIsLoggedAndSilent()
{
    const LogTail log;
    machine->failHooks(KvSimulatedWinEvents::ErrorInvalidParameter);
    {
        KvWinEventNotifier notifier;
        notifier.addHook(Foreground);
        QSignalSpy spy(&notifier, &KvWinEventNotifier::notify);

        const QStringList lines = log.linesEndingWith(
            QStringLiteral("win event #3 cannot be hooked, its changes are not reported"));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains(QLatin1String("[KvNotifier  ] [C]         87 ")),
                 qPrintable(lines.first()));

        machine->setForegroundWindow(window(0x501));
        QCOMPARE(spy.count(), 0);

        // A hook that works later is not blocked by the failed one.
        machine->failHooks(0);
        notifier.addHook(Foreground);
        machine->setForegroundWindow(window(0x502));
        QCOMPARE(spy.count(), 1);
    }
    QCOMPARE(machine->hookCount(), 0);
}

void TestWinEvents::receiverMayDestroyNotifiersDuringDelivery()
{
    auto first = std::make_unique<KvWinEventNotifier>();
    auto second = std::make_unique<KvWinEventNotifier>();
    first->addHook(Foreground);
    second->addHook(Foreground);
    int deliveries = 0;
    const auto destroyBoth = [&] {
        ++deliveries;
        first.reset();
        second.reset();
    };
    connect(first.get(), &KvWinEventNotifier::notify, destroyBoth);
    connect(second.get(), &KvWinEventNotifier::notify, destroyBoth);

    machine->setForegroundWindow(window(0x601));
    QCOMPARE(deliveries, 1);
    QCOMPARE(machine->hookCount(), 0);
}

void TestWinEvents::withoutX11NoHookAndNoWindow()
{
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QSKIP("runs on the offscreen platform only");
    KvPlatformWinEvents::install(nullptr);

    const LogTail log;
    KvWinEventNotifier notifier;
    notifier.addHook(Foreground);
    QCOMPARE(log.linesEndingWith(
                    QStringLiteral("win event #3 cannot be hooked, its changes are not reported"))
                 .size(),
             1);

    KvPlatformWinEvents &native = KvPlatformWinEvents::current();
    QCOMPARE(native.getForegroundWindow(), HWND(nullptr));
    DWORD processId = 0xFFFFFFFF;
    QCOMPARE(native.getWindowThreadProcessId(window(0x701), &processId), DWORD(0));
    QCOMPARE(processId, DWORD(0xFFFFFFFF));
}

QTEST_MAIN(TestWinEvents)
#include "tst_winevents.moc"
