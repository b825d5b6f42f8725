#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvLinuxJobs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "process/KvProcessGovernor.h"
#include "process/KvProcessSnapshot.h"

#include <QDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Restriction = KvProcessGovernor::Restriction;
using ProcFsProbe::isStopped;

// Caps and suspension on this machine's kernel, through the Linux backend and
// the governor: what lands in the cgroup files, in /proc/PID/cgroup and in
// the process state.
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
    bool setRate(HANDLE job, DWORD rate)
    {
        return jobs.setInformationJobObject(job, KvJobCpuRateControlInformation{5, rate});
    }
    KvHandle openThread(DWORD thread)
    {
        return KvHandle(jobs.openThread(KvPlatformJobs::ThreadSuspendResume, thread));
    }
    // Still stopped a while later.
    static bool staysStopped(pid_t pid)
    {
        QTest::qWait(100);
        return isStopped(pid);
    }

    TestStore store;
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    KvLinuxJobs &jobs = static_cast<KvLinuxJobs &>(KvPlatformJobs::current());
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
    const KvHandle self = KvHandle::openProcess(KvPlatformKernel::ProcessSuspendResume, ::getpid());
    KV_REQUIRE_CAPABILITY(self.isValid(), "the kernel cannot open processes as pidfds");
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
    HANDLE job = jobs.createJobObject();
    const KvHandle process = KvHandle::openProcess(KvPlatformKernel::ProcessSetQuota, member);
    QVERIFY(jobs.assignProcessToJobObject(job, process.get()));
    // Uncapped, it stays where it is: a group of its own would weigh it
    // against every other restrained process.
    QVERIFY(jobs.jobGroup(job).isEmpty());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), originName);

    QVERIFY(setRate(job, 2500)); // a quarter of the machine
    const QString group = jobs.jobGroup(job);
    const auto quota = [member] { return ProcFsProbe::cpuQuotaOf(member); };
    QVERIFY(ProcFsProbe::cpuCgroupOf(member).contains("/corvane/"));
    QCOMPARE(quota(), QByteArray::number(qlonglong(25000 * ::sysconf(_SC_NPROCESSORS_ONLN))));
    QVERIFY(setRate(job, 1));
    QCOMPARE(quota(), QByteArray("1000")); // the least the kernel takes
    // Refused settings leave the cap as it was (5: enabled, hard cap; 2: by weight).
    for (const auto &bad : {KvJobCpuRateControlInformation{5, 0}, {5, 10001}, {5 | 2, 5000}}) {
        QVERIFY(!jobs.setInformationJobObject(job, bad));
        QCOMPARE(kernel.lastError(), DWORD(EINVAL));
    }
    QCOMPARE(quota(), QByteArray("1000"));

    // Lifted: back where it came from, and the group gone.
    QVERIFY(setRate(job, 10000));
    QVERIFY(!QDir(group).exists());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), originName);

    // As on Windows, a capped job outlives its last handle while a process
    // is in it, also through a pass of the watch that the timer runs.
    QVERIFY(setRate(job, 5000));
    const QString held = jobs.jobGroup(job);
    QVERIFY(kernel.closeHandle(job));
    KvLinuxJobs::forkReportsLost();
    QVERIFY(QDir(held).exists() && ProcFsProbe::cpuCgroupOf(member).contains("/corvane/"));
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
    const int group = governor.addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, spawner, governor.limitCpu(spawner, 50)));
    const QByteArray job = ProcFsProbe::cpuCgroupOf(spawner);
    QVERIFY(job.contains("/corvane/"));

    pid_t grandchild = 0;
    QVERIFY(::write(talk[0], "x", 1) == 1);
    QVERIFY(::read(talk[0], &grandchild, sizeof grandchild) == sizeof grandchild);
    QTRY_COMPARE(ProcFsProbe::cpuCgroupOf(grandchild), originName);
    QCOMPARE(ProcFsProbe::cpuCgroupOf(spawner), job);
    ::kill(grandchild, SIGKILL);
    governor.removeRestrictionGroup(group);
    ::close(talk[0]);
    ::close(talk[1]);
}

void TestJobs::suspendAndResume()
{
    int release[2];
    QVERIFY(::pipe(release) == 0);
    // Two threads, the second until told; both with the scheduling the child
    // chose.
    const pid_t child = startChild([fd = release[0]] {
        ::setpriority(PRIO_PROCESS, 0, 5);
        std::thread([fd] {
            char byte;
            (void)::read(fd, &byte, 1);
        }).detach();
        for (;;)
            ::pause();
    });
    QTRY_COMPARE(snapshotThreads(child).size(), 2);
    DWORD second = 0;
    for (const KvThreadInfo &thread : snapshotThreads(child)) {
        QCOMPARE(thread.ownerProcessId, DWORD(child));
        QCOMPARE(thread.basePriority, LONG(6));
        second = thread.threadId != DWORD(child) ? thread.threadId : second;
    }
    const KvHandle mainThread = openThread(child);
    const KvHandle secondThread = openThread(second);
    QVERIFY(mainThread.isValid() && secondThread.isValid());

    // Counted per thread, as Windows counts: stopped until the last resume.
    QCOMPARE(jobs.suspendThread(mainThread.get()), DWORD(0));
    QCOMPARE(jobs.suspendThread(mainThread.get()), DWORD(1));
    QTRY_VERIFY(isStopped(child));
    QCOMPARE(jobs.resumeThread(mainThread.get()), DWORD(2));
    QVERIFY(staysStopped(child));
    QCOMPARE(jobs.resumeThread(mainThread.get()), DWORD(1));
    QTRY_VERIFY(!isStopped(child));
    QCOMPARE(jobs.resumeThread(mainThread.get()), DWORD(0));
    const KvHandle readOnly(jobs.openThread(0, child));
    QCOMPARE(jobs.suspendThread(readOnly.get()), KvPlatformJobs::SuspendFailed);
    QCOMPARE(kernel.lastError(), DWORD(EACCES));

    // A counted thread that has ended does not keep its process stopped.
    QVERIFY(::write(release[1], "x", 1) == 1);
    QTRY_COMPARE(snapshotThreads(child).size(), 1);
    QCOMPARE(jobs.suspendThread(secondThread.get()), DWORD(0));
    QCOMPARE(jobs.suspendThread(mainThread.get()), DWORD(0));
    QTRY_VERIFY(isStopped(child));
    QCOMPARE(jobs.resumeThread(mainThread.get()), DWORD(1));
    QTRY_VERIFY(!isStopped(child));

    // Through the governor: stopped until the last group that suspends it
    // goes.
    KvProcessGovernor governor(nullptr, store.path(QStringLiteral("journal")));
    int groups[2];
    for (int &group : groups) {
        governor.suspend(child);
        group = governor.addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, child));
    }
    QTRY_VERIFY(isStopped(child));
    governor.removeRestrictionGroup(groups[0]);
    QVERIFY(staysStopped(child));
    governor.removeRestrictionGroup(groups[1]);
    QTRY_VERIFY(!isStopped(child));

    ::close(release[0]);
    ::close(release[1]);

    // Ending suspended, it leaves no hold behind where the other copies look.
    QString unshared;
    KV_REQUIRE_CAPABILITY(jobs.copiesShareHolds(unshared), unshared);
    governor.suspend(child);
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
    governor.on_processNotifier_ended(DWORD(child));
    QVERIFY(!holds());
}

void TestJobs::reusedIdIsNeverReached()
{
    const pid_t first = startChild(::pause);
    const QList<KvProcessInfo> processes = snapshotProcesses(0);
    const auto listed =
        std::find_if(processes.begin(), processes.end(),
                     [&](const KvProcessInfo &p) { return p.processId == DWORD(first); });
    QVERIFY(listed != processes.end() && listed->parentProcessId == DWORD(::getpid()));
    const KvHandle process = KvHandle::openProcess(KvPlatformKernel::ProcessSuspendResume, first);
    const KvHandle thread = openThread(first);
    QVERIFY(process.isValid() && thread.isValid());

    // It ends, and a new process gets its id.
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

    // The handles still stand for the process that ended.
    QString path;
    quint64 creationTime = 0;
    QVERIFY(!kernel.queryFullProcessImageName(process.get(), path));
    QVERIFY(!jobs.getProcessCreationTime(process.get(), creationTime));
    QCOMPARE(jobs.suspendThread(thread.get()), KvPlatformJobs::SuspendFailed);
    QTest::qWait(100);
    QVERIFY(!isStopped(second));
    ::kill(second, SIGSTOP);
    QTRY_VERIFY(isStopped(second));
    QCOMPARE(jobs.resumeLeftoverSuspension(process.get(), 1), KvPlatformJobs::LeftoverResumeFailed);
    QVERIFY(staysStopped(second));
}

QTEST_GUILESS_MAIN(TestJobs)
#include "tst_jobs.moc"
