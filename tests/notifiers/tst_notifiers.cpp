#include "TestStore.h"

#include "notifiers/KvNetworkNotifier.h"
#include "notifiers/KvProcessNotifier.h"
#include "notifiers/KvWinEventNotifier.h"
#include "platform/common/KvProcessEventProperties.h"
#include "platform/simulated/KvSimulatedConnectivity.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "platform/simulated/KvSimulatedProcessEvents.h"
#include "platform/simulated/KvSimulatedWinEvents.h"

#include <QPointer>
#include <QTimerEvent>
#include <QtTest>

#include <memory>

namespace {

const DWORD Foreground = KvPlatformWinEvents::EventSystemForeground;

const auto window = [](quintptr id) { return reinterpret_cast<HWND>(id); };
// The next critical message must begin with the error code.
const auto expectCritical = [](int code) {
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^%1 ").arg(code)));
};

// Keeps hold of every listener offered to the source, to see what becomes
// of it.
class WatchedConnectivity : public KvSimulatedConnectivity
{
public:
    DWORD advise(KvConnectivityEvents *events) override
    {
        offered << dynamic_cast<QObject *>(events);
        return KvSimulatedConnectivity::advise(events);
    }

    QList<QPointer<QObject>> offered;
};

} // namespace

// The process, window-event and network notifiers on simulated sources.
class TestNotifiers : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        machine = std::make_unique<KvSimulatedMachine>();
        machine->installAsCurrent();
        KvPlatformProcessEvents::install(&events);
        KvPlatformWinEvents::install(&windows);
        network = std::make_unique<WatchedConnectivity>();
        KvPlatformConnectivity::install(network.get());
    }

    void cleanup()
    {
        notifier.reset();
        started.clear();
        ended.clear();
        events.setSubscribeFailure(0);
        KvPlatformWinEvents::install(nullptr);
        KvPlatformConnectivity::install(nullptr);
    }

    void creationDerivesFilePath_data()
    {
        // The event's executable path, command line and name, the image path the
        // system knows (empty: the process has ended already), the path expected.
        QTest::addColumn<QStringList>("row");
        const QList<QStringList> rows{
            {"executable path wins", "/opt/app", "/other/app -f", "app", "/else/app", "/opt/app"},
            {"quoted path", "", "\"/opt/My App/app\" -f \"x y\"", "app", "", "/opt/My App/app"},
            {"quote never closed", "", "\"/opt/My App/app -f", "", "", "/opt/My App/app -f"},
            {"unquoted, with a blank", "", "/usr/bin/tool -v now", "", "", "/usr/bin/tool"},
            {"unquoted, without a blank", "", "/usr/bin/tool", "", "", "/usr/bin/tool"},
            {"blank in the first position", "", " tool -v", "", "", " tool"},
            // A path taken from the command line is used even without a directory.
            {"bare name from command line", "", "tool -v", "tool", "/usr/bin/tool", "tool"},
            {"name only, still running", "", "", "tool", "/usr/bin/tool", "/usr/bin/tool"},
            {"name only, already ended", "", "", "tool", "", "tool"},
            {"nothing, still running", "", "", "", "/usr/bin/tool", "/usr/bin/tool"},
        };
        for (const QStringList &row : rows)
            QTest::newRow(qPrintable(row.first())) << QStringList(row.mid(1));
    }

    void creationDerivesFilePath()
    {
        QFETCH(QStringList, row);
        if (!row[3].isEmpty())
            machine->addProcessWithId(4321, row[3]);
        createNotifier();
        events.fireCreated(KvProcessEventProperties::creation(4321, 100, row[0], row[1], row[2]));
        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first().fileInfo.filePath(), row[4]);
    }

    void startedIsEmittedBeforeProcessBecomesKnown()
    {
        createNotifier();
        bool knownDuringEmission = true;
        connect(notifier.get(), &KvProcessNotifier::started, this, [&](const KvProcessInfo &info) {
            knownDuringEmission = notifier->knownProcessIds().contains(info.processId);
        });
        // Ids come as text or as signed integers; the later valid value of a
        // property wins, and values of other types arrive invalid.
        events.fireCreated(
            {{"Handle", 7}, {"Handle", "555"}, {"Handle", QVariant()}, {"ParentProcessId", -2}});
        QVERIFY(!knownDuringEmission);
        QCOMPARE(notifier->knownProcessIds(), QSet<DWORD>{555});
        QCOMPARE(started.first().parentProcessId, DWORD(0xFFFFFFFE));
        // Without a process id there is no process to report.
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("process id"));
        events.fireCreated({{"Handle", "not a number"}});
        QCOMPARE(started.size(), 1);
    }

    void deletionIsEmittedForAnyIdAndForgetsKnownOnes()
    {
        createNotifier();
        events.fireCreated({{"Handle", "600"}});
        events.fireCreated({{"Handle", 601}});
        // Also for an id never started; the first valid "Handle" is the one.
        events.fireDeleted(KvProcessEventProperties::deletion(42));
        events.fireDeleted({{"Handle", QVariant()}, {"Handle", "600"}, {"Handle", "601"}});
        events.fireDeleted({{"Name", "x"}});
        QCOMPARE(ended, (QList<DWORD>{42, 600}));
        QCOMPARE(notifier->knownProcessIds(), QSet<DWORD>{601});
    }

    void reconciliationReportsLostEnds()
    {
        const DWORD lost = machine->addProcess("/usr/bin/lost");
        const DWORD alive = machine->addProcess("/usr/bin/alive");
        const DWORD before = machine->addProcess("/usr/bin/before"); // never reported started
        createNotifier();
        events.fireCreated({{"Handle", lost}});
        events.fireCreated({{"Handle", alive}});
        // Lost deletion events; a failed (empty) snapshot does not mean that nothing runs.
        machine->removeProcess(lost);
        machine->removeProcess(before);
        machine->failSnapshots(5);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^5 .*snapshot failed"));
        reconcile();
        QVERIFY(ended.isEmpty());
        machine->failSnapshots(0);
        reconcile();
        reconcile();
        QCOMPARE(QSet<DWORD>(ended.cbegin(), ended.cend()), (QSet<DWORD>{lost, before}));
        QCOMPARE(ended.size(), 2);
        QCOMPARE(notifier->knownProcessIds(), QSet<DWORD>{alive});
        // Lost events may have been starts: what started unseen is reported
        // at once, with its path, and only once.
        const DWORD unseen = machine->addProcess("/usr/bin/unseen");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("events were lost"));
        events.fireEventsLost();
        QTRY_COMPARE(started.size(), 3);
        QCOMPARE(started.last().processId, unseen);
        QCOMPARE(started.last().fileInfo.filePath(), QStringLiteral("/usr/bin/unseen"));
        reconcile();
        QCOMPARE(started.size(), 3);
    }

    void processNotifierEndsItsSubscription()
    {
        createNotifier();
        QCOMPARE(events.liveSubscriptions(), 1);
        notifier.reset();
        QCOMPARE(events.liveSubscriptions(), 0);
        // A source that cannot be had is logged and no reason to stop.
        events.setSubscribeFailure(13);
        expectCritical(13);
        createNotifier();
    }

    void winEventNotifiersHookUntilDestroyed()
    {
        auto first = std::make_unique<KvWinEventNotifier>();
        auto second = std::make_unique<KvWinEventNotifier>();
        KvWinEventNotifier staying;
        for (KvWinEventNotifier *notifier : {first.get(), second.get(), &staying, &staying})
            notifier->addHook(Foreground); // hooking again keeps one hook
        QCOMPARE(windows.hookCount(Foreground), 3);
        // A receiver may destroy notifiers while the event is delivered.
        int deliveries = 0;
        for (KvWinEventNotifier *leaving : {first.get(), second.get()}) {
            connect(leaving, &KvWinEventNotifier::notify, [&] {
                ++deliveries;
                first.reset();
                second.reset();
            });
        }
        windows.setForegroundWindow(window(0x101));
        QCOMPARE(deliveries, 1);
        QCOMPARE(windows.hookCount(), 1);
        QList<QPair<DWORD, HWND>> seen;
        connect(&staying, &KvWinEventNotifier::notify,
                [&](KvWinEventInfo info) { seen << qMakePair(info.event, info.hwnd); });
        windows.fireWinEvent(Foreground + 1, window(0x102));
        windows.setForegroundWindow(window(0x103));
        QCOMPARE(seen, (QList<QPair<DWORD, HWND>>{{Foreground, window(0x103)}}));
        // A hook that cannot be set is logged; one set later works.
        windows.failHooks(KvSimulatedWinEvents::ErrorInvalidParameter);
        expectCritical(KvSimulatedWinEvents::ErrorInvalidParameter);
        staying.addHook(Foreground);
        windows.failHooks(0);
        staying.addHook(Foreground);
        windows.setForegroundWindow(window(0x105));
        QCOMPARE(seen.value(1).second, window(0x105));
    }

    void networkNotifiersListenUntilDestroyed()
    {
        auto leaving = std::make_unique<KvNetworkNotifier>();
        auto staying = std::make_unique<KvNetworkNotifier>();
        QList<NLM_CONNECTIVITY> seen;
        connect(staying.get(), &KvNetworkNotifier::connectivityChanged,
                [&](NLM_CONNECTIVITY connectivity) { seen << connectivity; });
        // A receiver may destroy its notifier while the change is delivered.
        connect(leaving.get(), &KvNetworkNotifier::connectivityChanged, [&] { leaving.reset(); });
        network->fireConnectivityChanged(0x440);
        QCOMPARE(network->adviseCount(), 1);
        QVERIFY(network->offered.first().isNull());
        network->fireConnectivityChanged(0x440); // not de-duplicated
        network->fireConnectivityChanged(0x10);
        QCOMPARE(seen, (QList<NLM_CONNECTIVITY>{0x440, 0x440, 0x10}));
        QCOMPARE(KvNetworkNotifier::currentConnectivity(), NLM_CONNECTIVITY(0x10));
        staying.reset();
        QCOMPARE(network->adviseCount(), 0);
        QVERIFY(network->offered.last().isNull());
        // A source that cannot be opened is logged and read as disconnected.
        network->failOpen(0x80004005); // E_FAIL
        expectCritical(int(0x80004005));
        staying = std::make_unique<KvNetworkNotifier>();
        expectCritical(int(0x80004005));
        QCOMPARE(KvNetworkNotifier::currentConnectivity(), NLM_CONNECTIVITY(0));
        staying.reset();
        QVERIFY(network->offered.last().isNull());
    }

private:
    void createNotifier()
    {
        notifier = std::make_unique<KvProcessNotifier>();
        connect(notifier.get(), &KvProcessNotifier::started, this,
                [this](const KvProcessInfo &info) { started << info; });
        connect(notifier.get(), &KvProcessNotifier::ended, this, [this](DWORD id) { ended << id; });
    }
    // The once-a-second pass, which does not look at which timer fired.
    void reconcile()
    {
        QTimerEvent event(0);
        QCoreApplication::sendEvent(notifier.get(), &event);
    }

    TestStore store;
    std::unique_ptr<KvSimulatedMachine> machine;
    KvSimulatedProcessEvents events;
    KvSimulatedWinEvents windows;
    std::unique_ptr<WatchedConnectivity> network;
    std::unique_ptr<KvProcessNotifier> notifier;
    QList<KvProcessInfo> started;
    QList<DWORD> ended;
};

QTEST_GUILESS_MAIN(TestNotifiers)
#include "tst_notifiers.moc"
