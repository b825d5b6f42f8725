#include "SystemTest.h"
#include "TestStore.h"
#include "notifiers/KvNetworkNotifier.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <sched.h>

// The connectivity notifier on the kernel's real routing tables, changed in
// a network namespace of the test's own so that the machine's network is
// never touched. No packets are sent: the namespace has no way out.
class TestNetns : public QObject
{
    Q_OBJECT

private slots:
    void defaultRoutesMakeTheMachineOnline();

private:
    TestStore store;
};

void TestNetns::defaultRoutesMakeTheMachineOnline()
{
    KV_REQUIRE_CAPABILITY(!QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty(),
                          "ip (iproute2) is not installed");
    KV_REQUIRE_CAPABILITY(::unshare(CLONE_NEWNET) == 0, "a network namespace needs root");
    qRegisterMetaType<NLM_CONNECTIVITY>("NLM_CONNECTIVITY");
    KvNetworkNotifier notifier;
    QSignalSpy spy(&notifier, &KvNetworkNotifier::connectivityChanged);

    // Each change and the connectivity after it, from a fresh namespace's
    // none. Links and addresses are no way out, nor a route over a link whose
    // peer is down; what leaves the value as it is is not reported.
    const QList<QPair<const char *, NLM_CONNECTIVITY>> steps{
        {"link add kv0 type veth peer name kv1", 0},
        {"link set kv0 up", 0},
        {"link set kv1 up", 0},
        {"address add 192.0.2.1/24 dev kv0", 0},
        {"route add default via 192.0.2.2 dev kv0", 0x40},
        {"link set kv1 down", 0},
        {"link set kv1 up", 0x40},
        {"-6 route add default dev kv0", 0x440},
        {"route del default", 0x400},
        {"-6 route del default dev kv0", 0},
        {"link add kv2 type veth peer name kv3", 0},
        {"route add default via 192.0.2.2 dev kv0", 0x40},
    };
    NLM_CONNECTIVITY expected = 0;
    for (const auto &step : steps) {
        QCOMPARE(
            QProcess::execute(QStringLiteral("ip"), QString::fromLatin1(step.first).split(' ')), 0);
        if (step.second == expected)
            continue;
        expected = step.second;
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
        QCOMPARE(spy.takeFirst().at(0).value<NLM_CONNECTIVITY>(), expected);
    }
    QCOMPARE(KvNetworkNotifier::currentConnectivity(), expected);
}

QTEST_GUILESS_MAIN(TestNetns)
#include "tst_netns.moc"
