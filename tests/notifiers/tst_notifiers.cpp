// The process, foreground and network notifiers on the simulated machine.

#include "SimulatedMachine.h"
#include "TestStore.h"
#include "notifiers/KvForegroundNotifier.h"
#include "notifiers/KvNetworkNotifier.h"
#include "notifiers/KvProcessNotifier.h"

#include <QtTest>

class TestNotifiers : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        started.clear();
        ended.clear();
        notifier = std::make_unique<KvProcessNotifier>();
        connect(notifier.get(), &KvProcessNotifier::started, this,
                [this](const KvProcessInfo &info) { started << info.fileInfo.filePath(); });
        connect(notifier.get(), &KvProcessNotifier::ended, [this](quint32 id) { ended << id; });
    }
    void startsAndEndsAreReportedBeforeTheyAreKnown()
    {
        const quint32 running = machine.addProcess("/usr/bin/tool");
        QList<bool> known;
        connect(notifier.get(), &KvProcessNotifier::started, this, [&](const KvProcessInfo &info) {
            known << (notifier->knownProcessIds().contains(info.processId) ||
                      info.parentProcessId != 7);
        });
        // Reported with its parent, before it is known; with the event's
        // path, else (its source could not read the image) its name.
        machine.announce({running, 7, "tool", "/opt/tool"});
        machine.announce({4321, 7, "gone", QString()});
        machine.announce({running, 7, "tool", QString()});
        QCOMPARE(known, (QList<bool>{false, false, true}));
        QCOMPARE(started, (QStringList{"/opt/tool", "gone", "tool"}));
        // An end is reported for any id, and forgets a known one.
        machine.endProcess(42);
        machine.endProcess(4321);
        QCOMPARE(ended, (QList<quint32>{42, 4321}));
        QCOMPARE(notifier->knownProcessIds(), QSet<quint32>{running});
    }
    void reconciliationReportsLostEndsAndUnseenStarts()
    {
        const quint32 before = machine.addProcess("/usr/bin/before");
        init(); // so that before runs before the notifier, never reported started
        const quint32 lost = machine.startProcess("/usr/bin/lost");
        const quint32 alive = machine.startProcess("/usr/bin/alive");
        machine.removeProcess(lost); // the end events are lost
        machine.removeProcess(before);
        // A listing that fails does not mean that nothing runs; it is said once.
        machine.listingFailure = 5;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^5 .*snapshot failed"));
        reconcile();
        reconcile();
        QVERIFY(ended.isEmpty());
        machine.listingFailure = 0;
        reconcile();
        reconcile();
        QCOMPARE(QSet<quint32>(ended.cbegin(), ended.cend()), (QSet<quint32>{lost, before}));
        QVERIFY(ended.size() == 2 && notifier->knownProcessIds() == QSet<quint32>{alive});
        // Lost events may have been starts: what started unseen is reported at
        // once with its path, and once; what has no image (a kernel thread) is not.
        machine.addProcess("/usr/bin/unseen");
        machine.hideImage(machine.addProcess("kthreadd"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("events were lost"));
        machine.loseEvents();
        QTRY_COMPARE(started.size(), 3);
        reconcile();
        QCOMPARE(started, (QStringList{"/usr/bin/lost", "/usr/bin/alive", "/usr/bin/unseen"}));
    }
    void foregroundAndConnectivityAreForwarded()
    {
        KvForegroundNotifier foreground;
        KvNetworkNotifier network;
        QList<quint32> seen;
        connect(&foreground, &KvForegroundNotifier::changed, [&](quint32 id) { seen << id; });
        connect(&network, &KvNetworkNotifier::connectivityChanged,
                [&](KvConnectivity value) { seen << value; });
        QTest::ignoreMessage(QtInfoMsg, "win event #3 received");
        machine.setForeground(1234);
        machine.setConnectivity(KvConnectivityFlag::Ipv6Internet);
        QCOMPARE(seen, (QList<quint32>{1234, quint32(KvConnectivityFlag::Ipv6Internet)}));
        QCOMPARE(KvForegroundNotifier::currentProcess(), quint32(1234));
        QCOMPARE(KvNetworkNotifier::currentConnectivity(),
                 KvConnectivity(KvConnectivityFlag::Ipv6Internet));
    }
    void sourcesThatCannotBeHadAreLogged()
    {
        machine.failSources(13);
        for (const char *line :
             {"no process event source: the simulation", "win event #3 cannot be hooked",
              "network connectivity cannot be watched", "network connectivity cannot be read"})
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QString("^13 +") + line));
        init();
        KvForegroundNotifier().watch();
        KvNetworkNotifier network;
        // Unread, the machine counts as disconnected.
        QCOMPARE(int(KvNetworkNotifier::currentConnectivity()), 0);
        machine.failSources(0);
    }

private:
    // The once-a-second pass, which does not look at which timer fired.
    void reconcile() { QCoreApplication::sendEvent(notifier.get(), &tick); }

    TestStore store;
    SimulatedMachine machine;
    std::unique_ptr<KvProcessNotifier> notifier;
    QStringList started;
    QList<quint32> ended;
    QTimerEvent tick{0};
};

QTEST_GUILESS_MAIN(TestNotifiers)
#include "tst_notifiers.moc"
