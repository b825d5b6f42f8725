#include "LogTail.h"
#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "platform/KvPlatformProcesses.h"
#include "platform/KvPlatformSuspension.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvLinuxCpuGroups.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "process/KvProcessGovernor.h"

#include <QtTest>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using Action = KvProcessGovernor::Action;
using ProcFsProbe::cpuCgroupOf;
using ProcFsProbe::isStopped;

// CPU groups and suspension on this machine's kernel, through the Linux
// backend and the governor, of one copy of the program and of several: what
// lands in the cgroup files, in /proc/PID/cgroup and in the process state.
namespace {

// A copy of the program as far as restraining goes: suspends (percent 0) or
// caps each "<pid> <percent>" of its arguments (a negative percent: under
// one cap shared by all of them, as a family), says "ready", and at a line on
// stdin lifts everything and ends, as the program does.
int runCopy(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    KvProcessGovernor governor(nullptr, QString::fromLocal8Bit(argv[2]));
    QList<int> groups;
    int family = -1;
    for (int i = 3; i + 1 < argc; i += 2) {
        const int percent = QByteArray(argv[i + 1]).toInt();
        const Action action = percent ? Action::LimitCpu : Action::Suspend;
        const int group = governor
                              .hold(percent < 0 ? family : -1, action, QByteArray(argv[i]).toUInt(),
                                    unsigned(std::abs(percent)), percent < 0)
                              .groupId;
        if (percent < 0)
            family = group;
        if (!groups.contains(group))
            groups << group;
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

// Whether the group the process is in has a quota of percent of the machine.
bool quotaIs(qint64 pid, int percent)
{
    return ProcFsProbe::cpuQuotaOf(pid) ==
           QByteArray::number(1000 * percent * int(::sysconf(_SC_NPROCESSORS_ONLN)));
}

// Still stopped a while later.
bool staysStopped(qint64 pid)
{
    QTest::qWait(100);
    return isStopped(pid);
}

} // namespace

class TestJobs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const int pidfd = KvLinuxProcessIdentity::openPidfd(quint32(::getpid()));
        KV_REQUIRE_CAPABILITY(pidfd >= 0, "the kernel cannot open processes as pidfds");
        ::close(pidfd);
        if (::geteuid() != 0 || !groups.available() || !tree.prepare() ||
            !QDir().mkpath(origin =
                               tree.top() + QStringLiteral("/corvane-test-%1").arg(::getpid())))
            cgroupProblem =
                QStringLiteral("no writable cgroup with the cpu controller (needs root)");
        else
            originName = cpuCgroupOf(startChild());
    }
    void cleanup()
    {
        for (pid_t child : qAsConst(children)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        children.clear();
        qDeleteAll(processes); // kills them
        processes.clear();
        // What the killed copies left goes with the next start.
        KvProcessGovernor(nullptr, journals);
    }
    void cleanupTestCase() { QDir().rmdir(origin); }

    void capAndLift()
    {
        KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
        const pid_t member = startChild();
        std::unique_ptr<KvCpuGroup> group = groups.create(false).take();
        QVERIFY(group && group->add(quint32(member)));
        // Uncapped, it stays where it is: a group of its own would weigh it
        // against every other restrained process.
        QVERIFY(groups.cgroupOf(*group).isEmpty());
        QCOMPARE(cpuCgroupOf(member), originName);
        QVERIFY(group->setRate(2500)); // a quarter of the machine
        const QString cgroup = groups.cgroupOf(*group);
        QVERIFY(cpuCgroupOf(member).contains("/corvane/") && group->reaches(member).value());
        QVERIFY(quotaIs(member, 25));
        QVERIFY(group->setRate(1));
        const auto quota = [member] { return ProcFsProbe::cpuQuotaOf(member); };
        QCOMPARE(quota(), QByteArray("1000")); // the least the kernel takes
        // Refused rates leave the cap as it was.
        for (quint32 bad : {0u, KvCpuGroup::unlimited + 1})
            QCOMPARE(group->setRate(bad).error().code, EINVAL);
        QCOMPARE(quota(), QByteArray("1000"));
        // Lifted: back where it came from, and the group gone.
        QVERIFY(group->setRate(KvCpuGroup::unlimited));
        QVERIFY(!QDir(cgroup).exists());
        QCOMPARE(cpuCgroupOf(member), originName);
        // Let go of while capped, the group goes at the latest once it is
        // empty, also through the watch that a timer runs.
        QVERIFY(group->setRate(5000));
        const QString held = groups.cgroupOf(*group);
        QVERIFY(QDir(held).exists());
        group.reset();
        KvLinuxCpuGroups::forkReportsLost();
        cleanup();
        QTRY_VERIFY(!QDir(held).exists());
    }
    void childrenOfACappedProcessBreakAway()
    {
        KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
        int talk[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, talk) == 0);
        // Starts a child when told (once it is capped) and tells its id; the
        // child lives until killed or the test has gone.
        const pid_t spawner = startChild([talk] {
            char byte;
            ::close(talk[0]);
            const pid_t grandchild = ::read(talk[1], &byte, 1) == 1 ? ::fork() : -1;
            if (grandchild == 0)
                (void)::read(talk[1], &byte, 1);
            else if (::write(talk[1], &grandchild, sizeof grandchild) > 0)
                ::waitpid(grandchild, nullptr, 0);
        });
        KvProcessGovernor governor(nullptr, journals);
        const KvProcessGovernor::Held held = governor.hold(-1, Action::LimitCpu, spawner, 50);
        const QByteArray job = cpuCgroupOf(spawner);
        QVERIFY(held.inForce && job.contains("/corvane/"));
        pid_t grandchild = 0;
        QVERIFY(::write(talk[0], "x", 1) == 1);
        QVERIFY(::read(talk[0], &grandchild, sizeof grandchild) == sizeof grandchild);
        QTRY_COMPARE(cpuCgroupOf(grandchild), originName);
        QCOMPARE(cpuCgroupOf(spawner), job);
        ::kill(grandchild, SIGKILL);
        governor.lift(held.groupId);
        ::close(talk[0]);
        ::close(talk[1]);
    }
    void suspendAndResume()
    {
        const pid_t child = startChild();
        // Counted per process: stopped until the last group that suspends it goes.
        KvProcessGovernor governor(nullptr, journals);
        const int first = governor.hold(-1, Action::Suspend, child).groupId;
        const int second = governor.hold(-1, Action::Suspend, child).groupId;
        QTRY_VERIFY(isStopped(child));
        governor.lift(first);
        QVERIFY(staysStopped(child));
        governor.lift(second);
        QTRY_VERIFY(!isStopped(child));
        // Ending suspended, it leaves no hold behind where the other copies look.
        const KvStatus shared = groups.copiesShareHolds();
        KV_REQUIRE_CAPABILITY(shared.ok(), shared.error().message);
        governor.hold(-1, Action::Suspend, child);
        const QString record =
            (::geteuid() == 0 ? QStringLiteral("/run")
                              : QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)) +
            QStringLiteral("/corvane/") + KvLinuxProcessIdentity::ownRunName();
        const auto holds = [&record, stop = "stop " + QByteArray::number(child) + ' '] {
            QFile file(record);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains(stop);
        };
        QVERIFY(holds());
        cleanup();
        governor.followEnd(quint32(child));
        QVERIFY(!holds());
    }
    void reusedIdIsNeverReached()
    {
        KvPlatformProcesses &machine = KvPlatformProcesses::current();
        const pid_t first = startChild();
        const quint64 started = machine.startTime(first).value();
        QVERIFY(suspension.suspend(first));
        QTRY_VERIFY(isStopped(first));
        // It ends unheard of, and a new process gets its id. Start times
        // count clock ticks: the newcomer's must be a later one.
        cleanup();
        QTest::qWait(int(2000 / ::sysconf(_SC_CLK_TCK)));
        pid_t second = 0;
        for (int attempt = 0; attempt < 20 && second != first; ++attempt) {
            QFile last(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
            if (last.open(QIODevice::WriteOnly))
                last.write(QByteArray::number(first - 1));
            last.close();
            second = startChild();
        }
        KV_REQUIRE_CAPABILITY(second == first, "a process id cannot be given out again here");
        QVERIFY(machine.startTime(second).value() != started && !staysStopped(second));
        // Stopped by someone else, the newcomer stays so whatever is undone of
        // the first.
        ::kill(second, SIGSTOP);
        QTRY_VERIFY(isStopped(second));
        suspension.resume(first);
        QCOMPARE(suspension.resumeLeftover(first, started, 1).value(),
                 KvPlatformSuspension::LeftoverResume::Ended);
        QVERIFY(staysStopped(second));
    }
    void copiesHoldTogetherAndLiftOnlyWhatEndedRunsLeft()
    {
        KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
        const qint64 stopped = startChild(), capped = startChild();
        // A copy that runs before the others start: it learns of them as they come.
        KvProcessGovernor live(nullptr, journals);
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
        QVERIFY(
            cpuCgroupOf(capped).contains("/run-" + QByteArray::number(second->processId()) + '-'));
        // The second is killed: the copy that runs lifts what it left, as a start would.
        const QByteArray handed = cpuCgroupOf(capped);
        log.mark();
        second->kill();
        second->waitForFinished(5000);
        QTRY_VERIFY_WITH_TIMEOUT(!isStopped(stopped), 10000);
        QCOMPARE(cpuCgroupOf(capped), originName);
        // (Other programs' ended runs may be lifted in the same pass.)
        const QStringList entries = log.governorEntries();
        QVERIFY(entries.contains(
            QStringLiteral("I process #%1 resumed, left suspended by a previous run")
                .arg(stopped)));
        QVERIFY(entries.contains(
            QStringLiteral("I process #%1 CPU limit left by a previous run removed").arg(capped)));
        QCOMPARE(entries.filter(handed + " left by a previous run removed").size(), 1);
    }
    void aFamilyTakesTheStrictestCapOnAnyMember()
    {
        KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
        const qint64 capped = startChild(), member = startChild(), joining = startChild();
        KvProcessGovernor governor(nullptr, journals);
        const int family = governor.hold(-1, Action::LimitCpu, capped, 40, true).groupId;
        governor.hold(family, Action::LimitCpu, member, 40, true);
        // Another rule caps one member more strictly: the family stays together, under that cap.
        const int alone = governor.hold(-1, Action::LimitCpu, capped, 10, false).groupId;
        QTest::qWait(1500); // capped groups are looked at each second
        QVERIFY(cpuCgroupOf(member) == cpuCgroupOf(capped) && quotaIs(member, 10));
        governor.lift(alone);
        QVERIFY(quotaIs(member, 40));
        // So does another copy's cap, also on a member that joins later.
        startCopy({capped, 20});
        governor.hold(family, Action::LimitCpu, joining, 40, true);
        QVERIFY(cpuCgroupOf(joining) == cpuCgroupOf(capped) && quotaIs(joining, 20));
        governor.lift(family);
    }
    void twoCopiesKeepOneFamilyUnderOneCap()
    {
        KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
        const QList<qint64> family{startChild(), startChild(), startChild()};
        QList<qint64> strict, loose;
        for (qint64 pid : family) {
            strict << pid << -10;
            loose << pid << -30;
        }
        const auto oneGroupAt = [&](int percent) {
            const QByteArray group = cpuCgroupOf(family.first());
            return group.contains("/corvane/") && quotaIs(family.first(), percent) &&
                   std::all_of(family.cbegin(), family.cend(),
                               [&](qint64 pid) { return cpuCgroupOf(pid) == group; });
        };
        QProcess *first = startCopy(strict);
        const QProcess *second = startCopy(loose);
        QVERIFY(oneGroupAt(10));
        // The stricter copy ends: the family goes whole to the other's group and cap.
        first->write("\n");
        QVERIFY(first->waitForFinished(30000));
        QTRY_VERIFY(oneGroupAt(30));
        // A copy's cap goes with it when it is killed; the family stays whole.
        QProcess *killed = startCopy(strict);
        QVERIFY(oneGroupAt(10));
        killed->kill();
        QVERIFY(killed->waitForFinished(5000));
        QTRY_VERIFY(oneGroupAt(30));
        QVERIFY(second->state() == QProcess::Running);
    }
    void capChangedUnderTheGovernor()
    {
        KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
        // Forks come from the process connector then, and no timer looks for them.
        const auto events = KvPlatformProcesses::current().watch();
        KV_REQUIRE_CAPABILITY(events->description().contains("connector"), events->description());
        // A shell that starts a child and executes another program when told to.
        QProcess *shell = start("sh", {"-c", "read x; sleep 600 & echo $!; exec sleep 600"});
        const quint32 pid = quint32(shell->processId());
        const QByteArray origin = cpuCgroupOf(pid);
        KvProcessGovernor governor(nullptr, journals);
        const int rule = governor.hold(-1, Action::LimitCpu, pid, 30).groupId;
        const QByteArray group = cpuCgroupOf(pid);
        QVERIFY(group.contains("/corvane/"));
        // Its child leaves the cap; the same process runs another program, still capped.
        shell->write("\n");
        QVERIFY(shell->waitForReadyRead(30000));
        const pid_t child = pid_t(shell->readLine().trimmed().toInt());
        QTRY_COMPARE(cpuCgroupOf(child), origin);
        ::kill(child, SIGKILL);
        QTRY_VERIFY(
            QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).endsWith("sleep"));
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
        const QString process = QStringLiteral("process #%1 ").arg(pid);
        QCOMPARE(
            log.governorEntries(),
            (QStringList{"I " + process + "had been taken out of its CPU limit by something else",
                         "I " + process + "CPU limit removed"}));
        QCOMPARE(cpuCgroupOf(pid), origin);
        QVERIFY(run.entryList({"job-*"}, QDir::Dirs).isEmpty());
        // Noticed while the rule lasts, the loss is said once; the rule's end
        // has nothing left to do.
        const int again = governor.hold(-1, Action::LimitCpu, pid, 30).groupId;
        QVERIFY(moveOut());
        log.mark();
        governor.checkCaps();
        governor.lift(again);
        QCOMPARE(log.governorEntries(),
                 QStringList{"W " + process +
                             "CPU limit lost: the process was taken out of it by something else"});
        QVERIFY(run.entryList({"job-*"}, QDir::Dirs).isEmpty());
    }
    void aCopyStoppedWithTheLockHoldsUpNoOne()
    {
        KV_REQUIRE_CAPABILITY(::geteuid() == 0, "restraining other processes needs root");
        const qint64 target = startChild(); // forked before the lock, so without it
        // The lock of the copies' records, held as by a copy stopped in a terminal.
        QDir().mkpath(QStringLiteral("/run/corvane"));
        const int records = ::open("/run/corvane", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(records >= 0 && ::flock(records, LOCK_EX) == 0);
        log.mark();
        QProcess *copy = startCopy({target, 0});
        QVERIFY(copy->readAll().contains("ready"));
        QTRY_VERIFY(isStopped(target));
        // The lock comes free: the copy hears the others again, and lifts.
        ::close(records);
        copy->write("\n");
        QVERIFY(copy->waitForFinished(30000) && !isStopped(target));
        const QStringList entries = log.governorEntries();
        QCOMPARE(entries.filter("has held /run/corvane").size(), 1);
        QVERIFY(entries.filter("will not coordinate").isEmpty());
        QCOMPARE(entries.filter("can be heard again").size(), 1);
    }

private:
    // A child of the test that runs body (by default sleeps until killed),
    // in the origin group.
    template<class Body> pid_t startChild(Body body);
    pid_t startChild() { return startChild(::pause); }
    QProcess *start(const QString &program, const QStringList &arguments);
    QProcess *startCopy(const QList<qint64> &pidsAndPercents);

    QTemporaryDir journalDirectory; // the copies' log is the test's own
    const QString journals = journalDirectory.path();
    LogTail log;
    KvLinuxCpuGroups &groups = static_cast<KvLinuxCpuGroups &>(KvPlatformCpuGroups::current());
    KvPlatformSuspension &suspension = KvPlatformSuspension::current();
    KvCgroupCpuTree tree;
    // Where the children start: a group of the test's own, so that a
    // process put at the top of the hierarchy is not taken for one brought
    // back where it came from.
    QString origin;
    QByteArray originName; // as /proc/PID/cgroup names it
    QString cgroupProblem;
    QList<pid_t> children;
    QList<QProcess *> processes;
};

template<class Body> pid_t TestJobs::startChild(Body body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        body();
        ::_exit(0);
    }
    children.append(child);
    if (cgroupProblem.isEmpty())
        tree.movePid(origin, child);
    return child;
}

QProcess *TestJobs::start(const QString &program, const QStringList &arguments)
{
    processes.append(new QProcess);
    processes.last()->start(program, arguments);
    processes.last()->waitForStarted(5000);
    return processes.last();
}

QProcess *TestJobs::startCopy(const QList<qint64> &pidsAndPercents)
{
    QStringList arguments{QStringLiteral("copy"), journals};
    for (qint64 number : pidsAndPercents)
        arguments.append(QString::number(number));
    QProcess *copy = start(QCoreApplication::applicationFilePath(), arguments);
    copy->waitForReadyRead(30000);
    return copy;
}

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "copy")
        return runCopy(argc, argv);
    QCoreApplication application(argc, argv);
    TestJobs test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_jobs.moc"
