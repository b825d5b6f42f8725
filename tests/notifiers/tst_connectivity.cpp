#include "LogTail.h"

#include "notifiers/KvNetworkNotifier.h"
#include "notifiers/NetworkListManagerEvents.h"
#include "platform/simulated/KvSimulatedConnectivity.h"

#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {

// Keeps hold of every listener offered to the source, to see what becomes
// of it.
class WatchedConnectivity : public KvSimulatedConnectivity
{
public:
    DWORD advise(KvConnectivityEvents *events) override
    {
        offered.append(dynamic_cast<QObject *>(events));
        return KvSimulatedConnectivity::advise(events);
    }

    QList<QPointer<QObject>> offered;
};

const DWORD SourceFailure = 0x80004005; // E_FAIL

NLM_CONNECTIVITY valueAt(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<NLM_CONNECTIVITY>();
}

} // namespace

class TestConnectivity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void everyReportedChangeIsEmitted();
    void destroyingTheNotifierUnregistersAndFreesTheListener();
    void receiverMayDestroyTheNotifierDuringDelivery();
    void sourceThatCannotBeOpenedIsLoggedAndSilent();
    void currentConnectivityReadsTheSource();

private:
    std::unique_ptr<WatchedConnectivity> machine;
};

void TestConnectivity::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    qRegisterMetaType<NLM_CONNECTIVITY>("NLM_CONNECTIVITY");
}

void TestConnectivity::init()
{
    machine = std::make_unique<WatchedConnectivity>();
    KvPlatformConnectivity::install(machine.get());
}

void TestConnectivity::cleanup()
{
    KvPlatformConnectivity::install(nullptr);
    machine.reset();
}

void TestConnectivity::everyReportedChangeIsEmitted()
{
    machine->setConnectivity(KvConnectivityIpv4Internet);
    KvNetworkNotifier notifier;
    QSignalSpy spy(&notifier, &KvNetworkNotifier::connectivityChanged);
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0); // no emission for the value at the start

    machine->fireConnectivityChanged(0x440);
    machine->fireConnectivityChanged(0x440); // not de-duplicated
    machine->fireConnectivityChanged(0x10);  // other bits pass through unchanged
    QCOMPARE(spy.count(), 3);
    QCOMPARE(valueAt(spy, 0), NLM_CONNECTIVITY(0x440));
    QCOMPARE(valueAt(spy, 1), NLM_CONNECTIVITY(0x440));
    QCOMPARE(valueAt(spy, 2), NLM_CONNECTIVITY(0x10));
}

void TestConnectivity::destroyingTheNotifierUnregistersAndFreesTheListener()
{
    auto notifier = std::make_unique<KvNetworkNotifier>();
    QCOMPARE(machine->adviseCount(), 1);
    QCOMPARE(machine->offered.size(), 1);
    QObject *listener = machine->offered.first();
    QVERIFY(listener);
    QVERIFY(qobject_cast<KvConnectivityEvents *>(listener));
    QVERIFY(listener->qt_metacast("INetworkListManagerEvents"));

    QSignalSpy spy(notifier.get(), &KvNetworkNotifier::connectivityChanged);
    notifier.reset();
    QCOMPARE(machine->adviseCount(), 0);
    QVERIFY(machine->offered.first().isNull());
    machine->fireConnectivityChanged(KvConnectivityIpv6Internet);
    QCOMPARE(spy.count(), 0);
}

void TestConnectivity::receiverMayDestroyTheNotifierDuringDelivery()
{
    auto leaving = std::make_unique<KvNetworkNotifier>();
    KvNetworkNotifier staying;
    QSignalSpy stayingSpy(&staying, &KvNetworkNotifier::connectivityChanged);
    connect(leaving.get(), &KvNetworkNotifier::connectivityChanged, [&] { leaving.reset(); });

    machine->fireConnectivityChanged(KvConnectivityIpv4Internet);
    QVERIFY(!leaving);
    QCOMPARE(machine->adviseCount(), 1);
    QVERIFY(machine->offered.first().isNull());
    QCOMPARE(stayingSpy.count(), 1);
}

void TestConnectivity::sourceThatCannotBeOpenedIsLoggedAndSilent()
{
    const LogTail log;
    machine->failOpen(SourceFailure);
    auto notifier = std::make_unique<KvNetworkNotifier>();
    QSignalSpy spy(notifier.get(), &KvNetworkNotifier::connectivityChanged);

    const QStringList lines = log.linesEndingWith(
        QStringLiteral("network connectivity cannot be watched, its changes are not reported"));
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(QLatin1String("[KvNotifier  ] [C] ")),
             qPrintable(lines.first()));
    QVERIFY2(lines.first().contains(QString::number(int(SourceFailure))),
             qPrintable(lines.first()));

    // The source coming back later does not make this notifier speak.
    machine->failOpen(0);
    machine->fireConnectivityChanged(KvConnectivityIpv4Internet);
    QCOMPARE(spy.count(), 0);

    // The listener that was never registered does not outlive the notifier.
    QCOMPARE(machine->offered.size(), 1);
    notifier.reset();
    QVERIFY(machine->offered.first().isNull());
}

void TestConnectivity::currentConnectivityReadsTheSource()
{
    machine->setConnectivity(0x441);
    QCOMPARE(KvNetworkNotifier::currentConnectivity(), NLM_CONNECTIVITY(0x441));

    const LogTail log;
    machine->failOpen(SourceFailure);
    QCOMPARE(KvNetworkNotifier::currentConnectivity(), NLM_CONNECTIVITY(0));
    QCOMPARE(log
                 .linesEndingWith(QStringLiteral(
                     "network connectivity cannot be read, the machine counts as disconnected"))
                 .size(),
             1);
}

QTEST_MAIN(TestConnectivity)
#include "tst_connectivity.moc"
