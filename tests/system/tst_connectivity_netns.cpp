#include "SystemTest.h"

#include "notifiers/KvNetworkNotifier.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <unistd.h>

// The connectivity notifier on the kernel's real routing tables, changed
// inside a private network namespace so that the machine's own network is
// never touched. No packets are sent: the namespace has no way out.
namespace {

const char ChildVariable[] = "CORVANE_TEST_NETNS_CHILD";

bool ip(const QString &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments.split(QLatin1Char(' '))) == 0;
}

NLM_CONNECTIVITY valueAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<NLM_CONNECTIVITY>();
}

} // namespace

class TestConnectivityNetns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void defaultRoutesMakeTheMachineOnline();
};

void TestConnectivityNetns::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<NLM_CONNECTIVITY>("NLM_CONNECTIVITY");
}

void TestConnectivityNetns::defaultRoutesMakeTheMachineOnline()
{
    if (qEnvironmentVariableIsEmpty(ChildVariable)) {
        if (::geteuid() != 0)
            KV_SKIP_OR_FAIL("a private network namespace needs root");
        if (QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
            KV_SKIP_OR_FAIL("unshare (util-linux) or ip (iproute2) is not installed");
        if (QProcess::execute(QStringLiteral("unshare"),
                              {QStringLiteral("-n"), QStringLiteral("true")}) != 0)
            KV_SKIP_OR_FAIL("network namespaces cannot be created here");
        QProcessEnvironment child;
        child.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        QCOMPARE(runTestFunctionInChild(
                     {QStringLiteral("unshare"), QStringLiteral("-n"), QStringLiteral("--")},
                     QTest::currentTestFunction(), child),
                 0);
        return;
    }

    // A fresh namespace has only its loopback, which is down.
    QCOMPARE(KvNetworkNotifier::currentConnectivity(), NLM_CONNECTIVITY(0));
    KvNetworkNotifier notifier;
    QSignalSpy spy(&notifier, &KvNetworkNotifier::connectivityChanged);

    // Links and addresses alone are no way to the internet.
    QVERIFY(ip(QStringLiteral("link add kv0 type veth peer name kv1")));
    QVERIFY(ip(QStringLiteral("link set kv0 up")));
    QVERIFY(ip(QStringLiteral("link set kv1 up")));
    QVERIFY(ip(QStringLiteral("address add 192.0.2.1/24 dev kv0")));

    QVERIFY(ip(QStringLiteral("route add default via 192.0.2.2 dev kv0")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
    QCOMPARE(valueAt(spy, 0), NLM_CONNECTIVITY(0x40));
    QCOMPARE(KvNetworkNotifier::currentConnectivity(), NLM_CONNECTIVITY(0x40));

    // The route stays while the peer is down, but nothing can pass.
    QVERIFY(ip(QStringLiteral("link set kv1 down")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 10000);
    QCOMPARE(valueAt(spy, 1), NLM_CONNECTIVITY(0));
    QVERIFY(ip(QStringLiteral("link set kv1 up")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 3, 10000);
    QCOMPARE(valueAt(spy, 2), NLM_CONNECTIVITY(0x40));

    QVERIFY(ip(QStringLiteral("-6 route add default dev kv0")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 4, 10000);
    QCOMPARE(valueAt(spy, 3), NLM_CONNECTIVITY(0x440));

    QVERIFY(ip(QStringLiteral("route del default")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 5, 10000);
    QCOMPARE(valueAt(spy, 4), NLM_CONNECTIVITY(0x400));

    QVERIFY(ip(QStringLiteral("-6 route del default dev kv0")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 6, 10000);
    QCOMPARE(valueAt(spy, 5), NLM_CONNECTIVITY(0));

    // Changes that leave the value as it is are not reported.
    QVERIFY(ip(QStringLiteral("link add kv2 type veth peer name kv3")));
    QVERIFY(ip(QStringLiteral("route add default via 192.0.2.2 dev kv0")));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 7, 10000);
    QCOMPARE(valueAt(spy, 6), NLM_CONNECTIVITY(0x40));
}

QTEST_MAIN(TestConnectivityNetns)
#include "tst_connectivity_netns.moc"
