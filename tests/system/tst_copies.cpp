#include "LogTail.h"
#include "ProcFsProbe.h"
#include "SystemTest.h"

#include "platform/KvPlatformCpuGroups.h"
#include "platform/KvPlatformProcesses.h"
#include "process/KvProcessGovernor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using Action = KvProcessGovernor::Action;

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
    QTextStream(stdout) << "ready" << Qt::endl;
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
    const qint64 stopped = start(QStringLiteral("sleep"), {QStringLiteral("600")})->processId();
    const qint64 capped = start(QStringLiteral("sleep"), {QStringLiteral("600")})->processId();
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(capped);
    QProcess *first = startCopy({stopped, 0, capped, 30});
    const QByteArray group = ProcFsProbe::cpuCgroupOf(capped);
    QVERIFY(group.contains("/corvane/"));
    QTRY_VERIFY(ProcFsProbe::isStopped(stopped));

    // A second copy lifts nothing of the first's; the stricter cap holds,
    // in the first copy's group.
    log.mark();
    QProcess *second = startCopy({stopped, 0, capped, 20});
    QVERIFY(log.governor().filter(QStringLiteral("previous run")).isEmpty());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(capped), group);
    QVERIFY(quotaIs(capped, 20));

    // The first ends the orderly way: what the second holds stays in force,
    // and the capped process is handed to the second.
    first->write("\n");
    QVERIFY(first->waitForFinished(30000));
    QVERIFY(ProcFsProbe::isStopped(stopped));
    QVERIFY(ProcFsProbe::cpuCgroupOf(capped).contains(
        QStringLiteral("/run-%1-").arg(second->processId()).toUtf8()));
    QVERIFY(quotaIs(capped, 20));

    // The second is killed: a copy that runs lifts what it left, as a start
    // would.
    KvProcessGovernor live(nullptr, journals.path());
    const QByteArray handed = ProcFsProbe::cpuCgroupOf(capped);
    log.mark();
    ::kill(pid_t(second->processId()), SIGKILL);
    second->waitForFinished(5000);
    QTRY_VERIFY_WITH_TIMEOUT(!ProcFsProbe::isStopped(stopped), 10000);
    QCOMPARE(ProcFsProbe::cpuCgroupOf(capped), origin);
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
    QProcess *shell = start(QStringLiteral("sh"),
                            {QStringLiteral("-c"), QStringLiteral("read x; sleep 600 & echo $!; "
                                                                  "exec sleep 600")});
    const quint32 pid = quint32(shell->processId());
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(pid);
    KvProcessGovernor governor(nullptr, journals.path());
    const int rule = governor.hold(-1, Action::LimitCpu, pid, 30).groupId;
    const QByteArray group = ProcFsProbe::cpuCgroupOf(pid);
    QVERIFY(group.contains("/corvane/"));

    // Its child leaves the cap; the same process runs another program, still capped.
    shell->write("\n");
    QVERIFY(shell->waitForReadyRead(30000));
    const pid_t child = pid_t(shell->readLine().trimmed().toInt());
    QTRY_COMPARE(ProcFsProbe::cpuCgroupOf(child), origin);
    ::kill(child, SIGKILL);
    QTRY_VERIFY(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).endsWith("sleep"));
    QCOMPARE(ProcFsProbe::cpuCgroupOf(pid), group);

    // Someone moves it out and removes its group; the end of the rule says
    // so and leaves nothing behind.
    const QDir run(ProcFsProbe::cpuCgroupPath(group).section(QLatin1Char('/'), 0, -2));
    QFile procs(ProcFsProbe::cpuCgroupPath(origin) + QStringLiteral("/cgroup.procs"));
    QVERIFY(procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(pid)) > 0);
    procs.close();
    QVERIFY(QDir().rmdir(ProcFsProbe::cpuCgroupPath(group)));
    log.mark();
    governor.lift(rule);
    QCOMPARE(log.governorEntries(),
             (QStringList{QStringLiteral("I process #%1 had been taken out of its CPU limit by "
                                         "something else")
                              .arg(pid),
                          QStringLiteral("I process #%1 CPU limit removed").arg(pid)}));
    QCOMPARE(ProcFsProbe::cpuCgroupOf(pid), origin);
    QVERIFY(run.entryList({QStringLiteral("job-*")}, QDir::Dirs).isEmpty());

    // Noticed while the rule lasts, the loss is said once; the rule's end
    // has nothing left to do.
    const int again = governor.hold(-1, Action::LimitCpu, pid, 30).groupId;
    QVERIFY(procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(pid)) > 0);
    procs.close();
    log.mark();
    governor.checkCaps();
    governor.lift(again);
    QCOMPARE(log.governorEntries(), QStringList{QStringLiteral("W process #%1 CPU limit lost: the "
                                                               "process was taken out of it by "
                                                               "something else")
                                                    .arg(pid)});
    QVERIFY(run.entryList({QStringLiteral("job-*")}, QDir::Dirs).isEmpty());
}

void TestCopies::aCopyStoppedWithTheLockHoldsUpNoOne()
{
    KV_REQUIRE_CAPABILITY(::geteuid() == 0, "restraining other processes needs root");
    // The lock of the copies' records, held as by a copy stopped in a terminal.
    QDir().mkpath(QStringLiteral("/run/corvane"));
    const int records = ::open("/run/corvane", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(records >= 0 && ::flock(records, LOCK_EX) == 0);
    const qint64 target = start(QStringLiteral("sleep"), {QStringLiteral("600")})->processId();
    log.mark();
    QProcess *copy = startCopy({target, 0});
    QVERIFY(copy->readAll().contains("ready"));
    QTRY_VERIFY(ProcFsProbe::isStopped(target));
    // The lock comes free: the copy hears the others again, and lifts.
    ::close(records);
    copy->write("\n");
    QVERIFY(copy->waitForFinished(30000));
    QVERIFY(!ProcFsProbe::isStopped(target));
    QCOMPARE(log.governorEntries().filter(QStringLiteral("has held /run/corvane")).size(), 1);
    QVERIFY(log.governorEntries().filter(QStringLiteral("will not coordinate")).isEmpty());
    QCOMPARE(log.governorEntries().filter(QStringLiteral("can be heard again")).size(), 1);
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
