#include "SystemTest.h"
#include "TestStore.h"
#include "notifiers/KvNetworkNotifier.h"

#include <QtTest>

#include <sched.h>

// The connectivity notifier on the kernel's real routing tables, changed in
// a network namespace of the test's own so that the machine's network is
// never touched. No packets are sent: the namespace has no way out.
class TestNetns : public QObject
{
    Q_OBJECT

private slots:
    void defaultRoutesMakeTheMachineOnline()
    {
        KV_REQUIRE_CAPABILITY(!QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty(),
                              "ip (iproute2) is not installed");
        KV_REQUIRE_CAPABILITY(::unshare(CLONE_NEWNET) == 0, "a network namespace needs root");
        const KvConnectivity none, v4 = KvConnectivityFlag::Ipv4Internet,
                                   v6 = KvConnectivityFlag::Ipv6Internet;
        KvNetworkNotifier notifier;
        QList<KvConnectivity> changes;
        connect(&notifier, &KvNetworkNotifier::connectivityChanged,
                [&](KvConnectivity connectivity) { changes << connectivity; });
        // Each change and the connectivity after it, from a fresh namespace's
        // none. Links and addresses are no way out, nor a route over a link whose
        // peer is down; what leaves the value as it is is not reported.
        const QList<QPair<const char *, KvConnectivity>> steps{
            {"link add kv0 type veth peer name kv1", none},
            {"link set kv0 up", none},
            {"link set kv1 up", none},
            {"address add 192.0.2.1/24 dev kv0", none},
            {"route add default via 192.0.2.2 dev kv0", v4},
            {"link set kv1 down", none},
            {"link set kv1 up", v4},
            {"-6 route add default dev kv0", v4 | v6},
            {"route del default", v6},
            {"-6 route del default dev kv0", none},
            {"link add kv2 type veth peer name kv3", none},
            {"route add default via 192.0.2.2 dev kv0", v4},
        };
        KvConnectivity expected = none;
        for (const auto &step : steps) {
            QCOMPARE(QProcess::execute("ip", QString(step.first).split(' ')), 0);
            if (step.second == expected)
                continue;
            expected = step.second;
            QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 1, 10000);
            QCOMPARE(changes.takeFirst(), expected);
        }
        QCOMPARE(KvNetworkNotifier::currentConnectivity(), expected);
    }

private:
    TestStore store;
};

QTEST_GUILESS_MAIN(TestNetns)
#include "tst_netns.moc"
