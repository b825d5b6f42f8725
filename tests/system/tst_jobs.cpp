#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/KvPlatformProcesses.h"
#include "platform/KvPlatformSuspension.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvLinuxCpuGroups.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "process/KvProcessGovernor.h"

#include <QDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using ProcFsProbe::isStopped;
using Action = KvProcessGovernor::Action;

// CPU groups and suspension on this machine's kernel, through the Linux
// backend and the governor: what lands in the cgroup files, in
// /proc/PID/cgroup and in the process state.
class TestJobs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase() { QDir().rmdir(origin); }

    void capAndLift();
    void childrenOfACappedProcessBreakAway();
    void suspendAndResume();
    void reusedIdIsNeverReached();

private:
    // A child of the test that runs body (::pause: sleeps until killed), in
    // the origin group.
    template<class Body> pid_t startChild(Body body);
    // Still stopped a while later.
    static bool staysStopped(pid_t pid)
    {
        QTest::qWait(100);
        return isStopped(pid);
    }

    TestStore store;
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
};

void TestJobs::initTestCase()
{
    const int pidfd = KvLinuxProcessIdentity::openPidfd(quint32(::getpid()));
    KV_REQUIRE_CAPABILITY(pidfd >= 0, "the kernel cannot open processes as pidfds");
    ::close(pidfd);
    if (::geteuid() != 0 || !tree.prepare() ||
        !QDir().mkpath(origin = tree.top() + QStringLiteral("/corvane-test-%1").arg(::getpid())))
        cgroupProblem = QStringLiteral("no writable cgroup with the cpu controller (needs root)");
    else
        originName = ProcFsProbe::cpuCgroupOf(startChild(::pause));
}

void TestJobs::cleanup()
{
    for (pid_t child : qAsConst(children)) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    children.clear();
}

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

void TestJobs::capAndLift()
{
    KV_REQUIRE_CAPABILITY(cgroupProblem.isEmpty(), cgroupProblem);
    const pid_t member = startChild(::pause);
    std::unique_ptr<KvCpuGroup> group = groups.create().take();
    QVERIFY(group && group->add(quint32(member)));
    // Uncapped, it stays where it is: a group of its own would weigh it
    // against every other restrained process.
    QVERIFY(groups.cgroupOf(*group).isEmpty());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), originName);

    QVERIFY(group->setRate(2500)); // a quarter of the machine
    const QString cgroup = groups.cgroupOf(*group);
    const auto quota = [member] { return ProcFsProbe::cpuQuotaOf(member); };
    QVERIFY(ProcFsProbe::cpuCgroupOf(member).contains("/corvane/"));
    QVERIFY(group->reaches(quint32(member)).value());
    QCOMPARE(quota(), QByteArray::number(qlonglong(25000 * ::sysconf(_SC_NPROCESSORS_ONLN))));
    QVERIFY(group->setRate(1));
    QCOMPARE(quota(), QByteArray("1000")); // the least the kernel takes
    // Refused rates leave the cap as it was.
    for (quint32 bad : {0u, KvCpuGroup::unlimited + 1})
        QCOMPARE(group->setRate(bad).error().code, EINVAL);
    QCOMPARE(quota(), QByteArray("1000"));

    // Lifted: back where it came from, and the group gone.
    QVERIFY(group->setRate(KvCpuGroup::unlimited));
    QVERIFY(!QDir(cgroup).exists());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), originName);

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

void TestJobs::childrenOfACappedProcessBreakAway()
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
    KvProcessGovernor governor(nullptr, store.path(QStringLiteral("journal")));
    const KvProcessGovernor::Held held = governor.hold(-1, Action::LimitCpu, spawner, 50);
    const QByteArray job = ProcFsProbe::cpuCgroupOf(spawner);
    QVERIFY(held.inForce && job.contains("/corvane/"));

    pid_t grandchild = 0;
    QVERIFY(::write(talk[0], "x", 1) == 1);
    QVERIFY(::read(talk[0], &grandchild, sizeof grandchild) == sizeof grandchild);
    QTRY_COMPARE(ProcFsProbe::cpuCgroupOf(grandchild), originName);
    QCOMPARE(ProcFsProbe::cpuCgroupOf(spawner), job);
    ::kill(grandchild, SIGKILL);
    governor.lift(held.groupId);
    ::close(talk[0]);
    ::close(talk[1]);
}

void TestJobs::suspendAndResume()
{
    const pid_t child = startChild(::pause);
    // Counted per process: stopped until the last resume.
    QVERIFY(suspension.suspend(child) && suspension.suspend(child));
    QTRY_VERIFY(isStopped(child));
    QVERIFY(suspension.resume(child));
    QVERIFY(staysStopped(child));
    QVERIFY(suspension.resume(child));
    QTRY_VERIFY(!isStopped(child));

    // Through the governor: stopped until the last group that suspends it
    // goes.
    KvProcessGovernor governor(nullptr, store.path(QStringLiteral("journal")));
    const int first = governor.hold(-1, Action::Suspend, child).groupId;
    const int second = governor.hold(-1, Action::Suspend, child).groupId;
    QTRY_VERIFY(isStopped(child));
    governor.lift(first);
    QVERIFY(staysStopped(child));
    governor.lift(second);
    QTRY_VERIFY(!isStopped(child));

    // Ending suspended, it leaves no hold behind where the other copies look.
    const KvStatus shared = KvPlatformCpuGroups::current().copiesShareHolds();
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

void TestJobs::reusedIdIsNeverReached()
{
    KvPlatformProcesses &processes = KvPlatformProcesses::current();
    const pid_t first = startChild(::pause);
    const QList<KvProcessEntry> listed = processes.list().value();
    QVERIFY(std::any_of(listed.begin(), listed.end(), [&](const KvProcessEntry &entry) {
        return entry.processId == quint32(first) && entry.parentProcessId == quint32(::getpid());
    }));
    const quint64 started = processes.startTime(first).value();
    QVERIFY(suspension.suspend(first));
    QTRY_VERIFY(isStopped(first));

    // It ends unheard of, and a new process gets its id.
    cleanup();
    pid_t second = 0;
    for (int attempt = 0; attempt < 20 && second != first; ++attempt) {
        QFile last(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
        if (last.open(QIODevice::WriteOnly))
            last.write(QByteArray::number(first - 1));
        last.close();
        second = startChild(::pause);
    }
    KV_REQUIRE_CAPABILITY(second == first, "a process id cannot be given out again here");
    QVERIFY(processes.startTime(second).value() != started);
    QTest::qWait(100);
    QVERIFY(!isStopped(second));

    // Stopped by someone else, the newcomer stays so whatever is undone of
    // the first.
    ::kill(second, SIGSTOP);
    QTRY_VERIFY(isStopped(second));
    suspension.resume(first);
    QCOMPARE(suspension.resumeLeftover(first, started, 1).value(),
             KvPlatformSuspension::LeftoverResume::Ended);
    QVERIFY(staysStopped(second));
}

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
