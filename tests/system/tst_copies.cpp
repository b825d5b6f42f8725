#include "LogTail.h"
#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "platform/KvPlatformCpuGroups.h"
#include "platform/KvPlatformProcesses.h"
#include "process/KvProcessGovernor.h"

#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using Action = KvProcessGovernor::Action;
using ProcFsProbe::cpuCgroupOf;
using ProcFsProbe::isStopped;

namespace {

// A copy of the program as far as restraining goes: suspends (percent 0) or
// caps each "<pid> <percent>" of its arguments, says "ready", and at a line
// on stdin lifts everything and ends, as the program does.
int runCopy(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    KvProcessGovernor governor(nullptr, QString::fromLocal8Bit(argv[2]));
    QList<int> groups;
    for (int i = 3; i + 1 < argc; i += 2) {
        const unsigned int percent = QByteArray(argv[i + 1]).toUInt();
        groups << governor
                      .hold(-1, percent ? Action::LimitCpu : Action::Suspend,
                            QByteArray(argv[i]).toUInt(), percent)
                      .groupId;
    }
    std::puts("ready");
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        for (int group : qAsConst(groups))
            governor.lift(group);
        application.quit();
    });
    return application.exec();
}

// Why processes cannot be restrained here, or nothing.
QString missingCaps()
{
    if (::geteuid() != 0)
        return QStringLiteral("restraining other processes needs root");
    return KvPlatformCpuGroups::current().available().error().message;
}

// Whether the group the process is in has a quota of percent of the machine.
bool quotaIs(qint64 pid, int percent)
{
    return ProcFsProbe::cpuQuotaOf(pid) ==
           QByteArray::number(1000 * percent * int(::sysconf(_SC_NPROCESSORS_ONLN)));
}

} // namespace

// Two copies of the program on the kernel: what one holds, the other neither
// lifts nor undoes, and what a killed copy left is found by the next.
class TestCopies : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void copiesHoldTogetherAndLiftOnlyWhatEndedRunsLeft();
    void capChangedUnderTheGovernor();
    void aCopyStoppedWithTheLockHoldsUpNoOne();

private:
    QProcess *start(const QString &program, const QStringList &arguments);
    qint64 sleeper() { return start("sleep", {"600"})->processId(); }
    QProcess *startCopy(const QList<qint64> &pidsAndPercents);

    QTemporaryDir journals;
    QList<QProcess *> children;
    LogTail log;
};

void TestCopies::cleanup()
{
    qDeleteAll(children); // kills them
    children.clear();
    // What the killed copies left goes with the next start.
    KvProcessGovernor(nullptr, journals.path());
}

QProcess *TestCopies::start(const QString &program, const QStringList &arguments)
{
    children.append(new QProcess);
    children.last()->start(program, arguments);
    children.last()->waitForStarted(5000);
    return children.last();
}

QProcess *TestCopies::startCopy(const QList<qint64> &pidsAndPercents)
{
    QStringList arguments{QStringLiteral("copy"), journals.path()};
    for (qint64 number : pidsAndPercents)
        arguments.append(QString::number(number));
    QProcess *copy = start(QCoreApplication::applicationFilePath(), arguments);
    copy->waitForReadyRead(30000);
    return copy;
}

void TestCopies::copiesHoldTogetherAndLiftOnlyWhatEndedRunsLeft()
{
    const QString missing = missingCaps();
    KV_REQUIRE_CAPABILITY(missing.isEmpty(), missing);
    const qint64 stopped = sleeper(), capped = sleeper();
    const QByteArray origin = cpuCgroupOf(capped);
    QProcess *first = startCopy({stopped, 0, capped, 30});
    const QByteArray group = cpuCgroupOf(capped);
    QVERIFY(group.contains("/corvane/"));
    QTRY_VERIFY(isStopped(stopped));

    // A second copy lifts nothing of the first's; the stricter cap holds,
    // in the first copy's group.
    log.mark();
    QProcess *second = startCopy({stopped, 0, capped, 20});
    QVERIFY(log.governor().filter("previous run").isEmpty());
    QVERIFY(cpuCgroupOf(capped) == group && quotaIs(capped, 20));

    // The first ends the orderly way: what the second holds stays in force,
    // and the capped process is handed to the second.
    first->write("\n");
    QVERIFY(first->waitForFinished(30000));
    QVERIFY(isStopped(stopped) && quotaIs(capped, 20));
    QVERIFY(cpuCgroupOf(capped).contains("/run-" + QByteArray::number(second->processId()) + '-'));

    // The second is killed: a copy that runs lifts what it left, as a start
    // would.
    KvProcessGovernor live(nullptr, journals.path());
    const QByteArray handed = cpuCgroupOf(capped);
    log.mark();
    second->kill();
    second->waitForFinished(5000);
    QTRY_VERIFY_WITH_TIMEOUT(!isStopped(stopped), 10000);
    QCOMPARE(cpuCgroupOf(capped), origin);
    // (Other programs' ended runs may be lifted in the same pass.)
    const QStringList entries = log.governorEntries();
    QVERIFY(entries.contains(
        QStringLiteral("I process #%1 resumed, left suspended by a previous run").arg(stopped)));
    QVERIFY(entries.contains(
        QStringLiteral("I process #%1 CPU limit left by a previous run removed").arg(capped)));
    QCOMPARE(entries.filter(handed + " left by a previous run removed").size(), 1);
}

void TestCopies::capChangedUnderTheGovernor()
{
    const QString missing = missingCaps();
    KV_REQUIRE_CAPABILITY(missing.isEmpty(), missing);
    // Forks come from the process connector then, and no timer looks for them.
    const auto events = KvPlatformProcesses::current().watch();
    KV_REQUIRE_CAPABILITY(events->description().contains("connector"), events->description());
    // A shell that starts a child and executes another program when told to.
    QProcess *shell = start("sh", {"-c", "read x; sleep 600 & echo $!; exec sleep 600"});
    const quint32 pid = quint32(shell->processId());
    const QByteArray origin = cpuCgroupOf(pid);
    KvProcessGovernor governor(nullptr, journals.path());
    const int rule = governor.hold(-1, Action::LimitCpu, pid, 30).groupId;
    const QByteArray group = cpuCgroupOf(pid);
    QVERIFY(group.contains("/corvane/"));

    // Its child leaves the cap; the same process runs another program, still capped.
    shell->write("\n");
    QVERIFY(shell->waitForReadyRead(30000));
    const pid_t child = pid_t(shell->readLine().trimmed().toInt());
    QTRY_COMPARE(cpuCgroupOf(child), origin);
    ::kill(child, SIGKILL);
    QTRY_VERIFY(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).endsWith("sleep"));
    QCOMPARE(cpuCgroupOf(pid), group);

    // Someone moves it out and removes its group; the end of the rule says
    // so and leaves nothing behind.
    const QDir run(ProcFsProbe::cpuCgroupPath(group).section(QLatin1Char('/'), 0, -2));
    const auto moveOut = [&] {
        QFile procs(ProcFsProbe::cpuCgroupPath(origin) + QStringLiteral("/cgroup.procs"));
        return procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(pid)) > 0;
    };
    QVERIFY(moveOut() && QDir().rmdir(ProcFsProbe::cpuCgroupPath(group)));
    log.mark();
    governor.lift(rule);
    QCOMPARE(log.governorEntries(),
             (QStringList{QStringLiteral("I process #%1 had been taken out of its CPU limit by "
                                         "something else")
                              .arg(pid),
                          QStringLiteral("I process #%1 CPU limit removed").arg(pid)}));
    QCOMPARE(cpuCgroupOf(pid), origin);
    QVERIFY(run.entryList({"job-*"}, QDir::Dirs).isEmpty());

    // Noticed while the rule lasts, the loss is said once; the rule's end
    // has nothing left to do.
    const int again = governor.hold(-1, Action::LimitCpu, pid, 30).groupId;
    QVERIFY(moveOut());
    log.mark();
    governor.checkCaps();
    governor.lift(again);
    QCOMPARE(log.governorEntries(), QStringList{QStringLiteral("W process #%1 CPU limit lost: the "
                                                               "process was taken out of it by "
                                                               "something else")
                                                    .arg(pid)});
    QVERIFY(run.entryList({"job-*"}, QDir::Dirs).isEmpty());
}

void TestCopies::aCopyStoppedWithTheLockHoldsUpNoOne()
{
    KV_REQUIRE_CAPABILITY(::geteuid() == 0, "restraining other processes needs root");
    // The lock of the copies' records, held as by a copy stopped in a terminal.
    QDir().mkpath(QStringLiteral("/run/corvane"));
    const int records = ::open("/run/corvane", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(records >= 0 && ::flock(records, LOCK_EX) == 0);
    const qint64 target = sleeper();
    log.mark();
    QProcess *copy = startCopy({target, 0});
    QVERIFY(copy->readAll().contains("ready"));
    QTRY_VERIFY(isStopped(target));
    // The lock comes free: the copy hears the others again, and lifts.
    ::close(records);
    copy->write("\n");
    QVERIFY(copy->waitForFinished(30000));
    QVERIFY(!isStopped(target));
    const QStringList entries = log.governorEntries();
    QCOMPARE(entries.filter("has held /run/corvane").size(), 1);
    QVERIFY(entries.filter("will not coordinate").isEmpty());
    QCOMPARE(entries.filter("can be heard again").size(), 1);
}

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "copy")
        return runCopy(argc, argv);
    QCoreApplication application(argc, argv);
    TestCopies test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_copies.moc"
