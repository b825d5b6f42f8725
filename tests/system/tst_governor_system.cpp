#include "LogTail.h"
#include "ProcFsProbe.h"
#include "SystemTest.h"

#include "process/KvProcessGovernor.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using Restriction = KvProcessGovernor::Restriction;

namespace {

// ---- what the test starts as child processes (this executable, in a mode)

// Starts a child when the test says so (once it has been capped), and tells
// its id.
[[noreturn]] void runSpawner()
{
    char go = 0;
    if (::read(STDIN_FILENO, &go, 1) != 1)
        ::_exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::sleep(60);
        ::_exit(0);
    }
    std::printf("%d\n", int(child));
    std::fflush(stdout);
    ::sleep(60);
    ::_exit(0);
}

// A governor that caps one process and suspends another, then waits to be
// killed.
int runGovernor(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const DWORD capped = QByteArray(argv[3]).toUInt();
    const DWORD suspended = QByteArray(argv[4]).toUInt();
    KvProcessGovernor governor(nullptr, QString::fromLocal8Bit(argv[2]));
    const int group = governor.addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, capped, governor.limitCpu(capped, 25)));
    governor.suspend(suspended);
    governor.appendRestriction(group, Restriction(KvProcessGovernor::Suspend, suspended));
    std::printf("ready\n");
    std::fflush(stdout);
    return application.exec();
}

// ---- what the test reads from /proc

int cpuCount()
{
    return std::max(1, QThread::idealThreadCount());
}

// The shares of the whole machine the processes used over the same `ms`,
// with the event loop running meanwhile.
QList<double> machineShares(const QList<qint64> &pids, int ms)
{
    QList<qint64> before;
    for (qint64 pid : pids)
        before.append(ProcFsProbe::cpuTicks(pid));
    QElapsedTimer timer;
    timer.start();
    QTest::qWait(ms);
    const double seconds = timer.elapsed() / 1000.0;
    QList<double> shares;
    for (int i = 0; i < pids.size(); ++i) {
        shares.append(double(ProcFsProbe::cpuTicks(pids.at(i)) - before.at(i)) /
                      double(::sysconf(_SC_CLK_TCK)) / seconds / cpuCount());
    }
    return shares;
}

double machineShare(qint64 pid, int ms)
{
    return machineShares({pid}, ms).first();
}

} // namespace

// The governor on this machine's kernel: real cgroups, real signals.
class TestGovernorSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void capHoldsTheShareAndLiftsFully();
    void suspensionStopsUntilTheLastGroupIsRemoved();
    void childOfCappedProcessBreaksAway();
    void processThatExitedIsReportedWithItsErrno();
    void killedGovernorLeavesNothingInForce();

private:
    QProcess *startChild(const QStringList &arguments);
    qint64 startBusy(int threads = 1);
    // QSKIP with the reason, or QFAIL where the capability must be there (CI).
    bool requireCgroups();

    QTemporaryDir journalDir;
    QString journalPath() const { return journalDir.filePath(QStringLiteral("journal")); }
    QList<QProcess *> children;
    bool cgroupsUsable = false;
    QString cgroupProblem;
    LogTail log;
};

void TestGovernorSystem::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (::geteuid() != 0) {
        cgroupProblem = QStringLiteral("moving processes between cgroups needs root");
        return;
    }
    // A job with one process in it shows whether a cgroup with the cpu
    // controller can be written here.
    const qint64 probe = startBusy();
    KvProcessGovernor governor(nullptr, journalPath());
    log.mark();
    const KvHandle job = governor.limitCpu(DWORD(probe), 50);
    const QStringList lines = log.governorEntries();
    cgroupsUsable = lines.size() == 1 && lines.first().startsWith(QLatin1String("I "));
    if (!cgroupsUsable)
        cgroupProblem =
            QStringLiteral("no writable cgroup with the cpu controller: ") + lines.value(0);
    // Left running, the probe would compete with what the tests measure.
    cleanup();
}

void TestGovernorSystem::init()
{
    QFile::remove(journalPath());
    log.mark();
}

void TestGovernorSystem::cleanup()
{
    for (QProcess *child : qAsConst(children)) {
        ::kill(pid_t(child->processId()), SIGCONT);
        child->kill();
        child->waitForFinished(5000);
        delete child;
    }
    children.clear();
}

QProcess *TestGovernorSystem::startChild(const QStringList &arguments)
{
    auto *child = new QProcess;
    children.append(child);
    child->start(QCoreApplication::applicationFilePath(), arguments);
    if (!child->waitForStarted(5000))
        return nullptr;
    return child;
}

qint64 TestGovernorSystem::startBusy(int threads)
{
    QProcess *child = startChild({QStringLiteral("busy"), QString::number(threads)});
    return child ? child->processId() : -1;
}

bool TestGovernorSystem::requireCgroups()
{
    return cgroupsUsable;
}

void TestGovernorSystem::capHoldsTheShareAndLiftsFully()
{
    KV_REQUIRE_CAPABILITY(requireCgroups(), cgroupProblem);
    // As many busy threads as CPUs, twice: one process to cap, and one beside
    // it that shows what an uncapped process gets on this machine right now
    // (other work may be running).
    const qint64 pid = startBusy(cpuCount());
    const qint64 control = startBusy(cpuCount());
    QVERIFY(pid > 0 && control > 0);
    KvProcessGovernor governor(nullptr, journalPath());
    const int group = governor.addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, DWORD(pid), governor.limitCpu(DWORD(pid), 25)));
    QVERIFY(ProcFsProbe::cpuCgroupOf(pid).contains("/corvane/"));
    QTest::qWait(300);
    // Other work on the machine may take the CPUs from both for a while, so
    // windows are measured until one shows the capped process running at
    // all; the cap itself must hold in every one of them.
    const QString figures = QStringLiteral("capped %1, uncapped beside it %2");
    QList<double> shares;
    QDeadlineTimer deadline(60000);
    do {
        shares = machineShares({pid, control}, 2000);
        QVERIFY2(shares.at(0) < 0.35, qPrintable(figures.arg(shares.at(0)).arg(shares.at(1))));
    } while (shares.at(0) <= std::min(0.15, shares.at(1) * 0.3) && !deadline.hasExpired());
    QVERIFY2(shares.at(0) > std::min(0.15, shares.at(1) * 0.3),
             qPrintable(figures.arg(shares.at(0)).arg(shares.at(1))));

    // Lifted: more than the cap allowed, or about what the uncapped process
    // gets beside it, in one of the windows.
    governor.removeRestrictionGroup(group);
    QVERIFY(!ProcFsProbe::cpuCgroupOf(pid).contains("/corvane/"));
    QTest::qWait(300);
    auto lifted = [&] { return shares.at(0) > 0.35 || shares.at(0) > shares.at(1) * 0.6; };
    deadline.setRemainingTime(60000);
    do {
        shares = machineShares({pid, control}, 2000);
    } while (!lifted() && !deadline.hasExpired());
    QVERIFY2(lifted(), qPrintable(figures.arg(shares.at(0)).arg(shares.at(1))));
}

void TestGovernorSystem::suspensionStopsUntilTheLastGroupIsRemoved()
{
    const qint64 pid = startBusy(2);
    QVERIFY(pid > 0);
    QTest::qWait(100);
    KvProcessGovernor governor(nullptr, journalPath());
    governor.suspend(DWORD(pid));
    const int first =
        governor.addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, DWORD(pid)));
    KV_REQUIRE_CAPABILITY(
        log.governorEntries().contains(QStringLiteral("I process #%1 threads suspended").arg(pid)),
        QStringLiteral("cannot suspend a child: ") + log.governorEntries().join(QLatin1Char(';')));
    QTRY_COMPARE(ProcFsProbe::processState(pid), 'T');
    QCOMPARE(machineShare(pid, 300), 0.0);

    governor.suspend(DWORD(pid));
    const int second =
        governor.addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, DWORD(pid)));
    governor.removeRestrictionGroup(first);
    QTest::qWait(200);
    QCOMPARE(ProcFsProbe::processState(pid), 'T');
    QCOMPARE(machineShare(pid, 300), 0.0);

    governor.removeRestrictionGroup(second);
    QTRY_VERIFY(ProcFsProbe::processState(pid) != 'T');
    QVERIFY(machineShare(pid, 500) > 0.0);
}

void TestGovernorSystem::childOfCappedProcessBreaksAway()
{
    KV_REQUIRE_CAPABILITY(requireCgroups(), cgroupProblem);
    QProcess *spawner = startChild({QStringLiteral("spawner")});
    QVERIFY(spawner);
    const qint64 pid = spawner->processId();
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(pid);
    KvProcessGovernor governor(nullptr, journalPath());
    const int group = governor.addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, DWORD(pid), governor.limitCpu(DWORD(pid), 50)));
    const QByteArray job = ProcFsProbe::cpuCgroupOf(pid);
    QVERIFY(job.contains("/corvane/"));

    spawner->write("\n");
    QTRY_VERIFY_WITH_TIMEOUT(spawner->canReadLine(), 30000);
    const qint64 grandchild = spawner->readLine().trimmed().toLongLong();
    QVERIFY(grandchild > 0);
    QTRY_COMPARE(ProcFsProbe::cpuCgroupOf(grandchild), origin);
    QCOMPARE(ProcFsProbe::cpuCgroupOf(pid), job);
    ::kill(pid_t(grandchild), SIGKILL);
    governor.removeRestrictionGroup(group);
}

void TestGovernorSystem::processThatExitedIsReportedWithItsErrno()
{
    QProcess *child = startChild({QStringLiteral("busy"), QStringLiteral("1")});
    QVERIFY(child);
    const DWORD pid = DWORD(child->processId());
    child->kill();
    QVERIFY(child->waitForFinished(5000));

    KvProcessGovernor governor(nullptr, journalPath());
    log.mark();
    const int group = governor.addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, pid, governor.limitCpu(pid, 25)));
    governor.suspend(pid);
    governor.appendRestriction(group, Restriction(KvProcessGovernor::Suspend, pid));
    governor.removeRestrictionGroup(group);
    QCOMPARE(
        log.governorEntries(),
        (QStringList{
            QStringLiteral("C %1 failed to assign process #%2 to job object").arg(ESRCH).arg(pid),
            QStringLiteral("I process #%1 CPU limit removed").arg(pid),
            QStringLiteral("I process #%1 threads resumed").arg(pid)}));
}

void TestGovernorSystem::killedGovernorLeavesNothingInForce()
{
    KV_REQUIRE_CAPABILITY(requireCgroups(), cgroupProblem);
    const qint64 capped = startBusy();
    const qint64 suspended = startBusy();
    QVERIFY(capped > 0 && suspended > 0);
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(capped);
    QProcess *helper = startChild({QStringLiteral("governor"), journalPath(),
                                   QString::number(capped), QString::number(suspended)});
    QVERIFY(helper);
    QTRY_VERIFY_WITH_TIMEOUT(helper->canReadLine(), 30000);
    QCOMPARE(helper->readLine().trimmed(), QByteArray("ready"));
    QVERIFY(ProcFsProbe::cpuCgroupOf(capped).contains("/corvane/"));
    QTRY_COMPARE(ProcFsProbe::processState(suspended), 'T');

    ::kill(pid_t(helper->processId()), SIGKILL);
    QVERIFY(helper->waitForFinished(5000));
    QVERIFY(QFile::exists(journalPath()));
    QVERIFY(ProcFsProbe::cpuCgroupOf(capped).contains("/corvane/"));
    QCOMPARE(ProcFsProbe::processState(suspended), 'T');

    log.mark();
    KvProcessGovernor governor(nullptr, journalPath());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(capped), origin);
    QTRY_VERIFY(ProcFsProbe::processState(suspended) != 'T');
    QVERIFY(!QFile::exists(journalPath()));
    QCOMPARE(
        log.governorEntries(),
        (QStringList{
            QStringLiteral("I process #%1 resumed, left suspended by a previous run")
                .arg(suspended),
            QStringLiteral("I process #%1 CPU limit left by a previous run removed").arg(capped)}));
}

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (mode == "busy")
        ProcFsProbe::runBusy(argc > 2 ? std::max(1, std::atoi(argv[2])) : 1);
    if (mode == "spawner")
        runSpawner();
    if (mode == "governor" && argc > 4)
        return runGovernor(argc, argv);

    QCoreApplication application(argc, argv);
    TestGovernorSystem test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_governor_system.moc"
