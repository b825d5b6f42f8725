#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "platform/KvPlatformJobs.h"
#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvLinuxJobs.h"
#include "platform/linux/KvLinuxProcFs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// The Linux job backend against the kernel: what it writes into the cgroup
// files, when its groups go, and how its suspend counts meet the signals.
class TestLinuxJobsSystem : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void rateBecomesTheGroupsQuota();
    void uncappedMembersStayWhereTheyCameFrom();
    void groupOutlivesItsHandleUntilEmpty();
    void leftoversOfADeadRunAreEmptiedAndRemoved();
    void suspendCountsAndForeignStops();
    void endedThreadDoesNotKeepItsProcessStopped();

private:
    pid_t startSleeper();
    // A job holding one fresh sleeper, capped at cpuRate (10 000: uncapped);
    // false (QSKIP/QFAIL done) without cgroups.
    bool makeJobWithMember(HANDLE &job, pid_t &member, DWORD cpuRate = 5000);
    bool setRate(HANDLE job, DWORD cpuRate);
    static QByteArray readGroupFile(const QString &group, const char *name);

    KvPlatformKernel &kernel = KvPlatformKernel::current();
    KvLinuxJobs &jobs = static_cast<KvLinuxJobs &>(KvPlatformJobs::current());
    QList<pid_t> children;
    QList<HANDLE> handles;
};

void TestLinuxJobsSystem::init()
{
    children.clear();
    handles.clear();
}

void TestLinuxJobsSystem::cleanup()
{
    for (HANDLE handle : qAsConst(handles))
        kernel.closeHandle(handle);
    for (pid_t child : qAsConst(children)) {
        ::kill(child, SIGKILL);
        ::kill(child, SIGCONT);
        ::waitpid(child, nullptr, 0);
    }
}

pid_t TestLinuxJobsSystem::startSleeper()
{
    const pid_t child = ::fork();
    if (child == 0) {
        for (;;)
            ::pause();
    }
    children.append(child);
    return child;
}

QByteArray TestLinuxJobsSystem::readGroupFile(const QString &group, const char *name)
{
    QFile file(group + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

bool TestLinuxJobsSystem::setRate(HANDLE job, DWORD cpuRate)
{
    KvJobCpuRateControlInformation rate;
    rate.controlFlags =
        KvPlatformJobs::CpuRateControlEnable | KvPlatformJobs::CpuRateControlHardCap;
    rate.cpuRate = cpuRate;
    return jobs.setInformationJobObject(job, rate);
}

bool TestLinuxJobsSystem::makeJobWithMember(HANDLE &job, pid_t &member, DWORD cpuRate)
{
    member = startSleeper();
    job = jobs.createJobObject();
    handles.append(job);
    setRate(job, cpuRate);
    HANDLE process = kernel.openProcess(
        KvPlatformKernel::ProcessSetQuota | KvPlatformKernel::ProcessTerminate, DWORD(member));
    const bool assigned = process && jobs.assignProcessToJobObject(job, process);
    const DWORD error = kernel.lastError();
    if (process)
        kernel.closeHandle(process);
    if (!assigned) {
        const QString reason =
            QStringLiteral("no writable cgroup with the cpu controller (errno %1)").arg(error);
        kvSkipOrFailAt(reason, __FILE__, __LINE__);
    }
    return assigned;
}

void TestLinuxJobsSystem::rateBecomesTheGroupsQuota()
{
    HANDLE job = nullptr;
    pid_t member = 0;
    if (!makeJobWithMember(job, member, 2500)) // a quarter of every CPU
        return;
    const QString group = jobs.jobGroup(job);
    const bool version2 = QFile::exists(group + QStringLiteral("/cpu.max"));
    auto quota = [&] {
        if (version2)
            return readGroupFile(group, "cpu.max").split(' ').first();
        return readGroupFile(group, "cpu.cfs_quota_us");
    };
    const int cpus = int(::sysconf(_SC_NPROCESSORS_ONLN));
    QCOMPARE(quota(), QByteArray::number(25000 * cpus));
    QVERIFY(setRate(job, 1)); // below the kernel's least quota: the least it takes
    QCOMPARE(quota(), QByteArray("1000"));

    // Refused settings leave the cap as it was.
    for (DWORD badRate : {DWORD(0), DWORD(10001)}) {
        QVERIFY(!setRate(job, badRate));
        QCOMPARE(kernel.lastError(), DWORD(EINVAL));
    }
    KvJobCpuRateControlInformation weighted;
    weighted.controlFlags = KvPlatformJobs::CpuRateControlEnable | 0x2;
    weighted.cpuRate = 5000;
    QVERIFY(!jobs.setInformationJobObject(job, weighted));
    QCOMPARE(quota(), QByteArray("1000"));
    QCOMPARE(readGroupFile(group, "cgroup.procs"), QByteArray::number(member));
}

void TestLinuxJobsSystem::uncappedMembersStayWhereTheyCameFrom()
{
    // A fresh sleeper starts in this process's group.
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(::getpid());
    HANDLE job = nullptr;
    pid_t member = 0;
    if (!makeJobWithMember(job, member, 10000))
        return;
    // A group of its own, even without a quota, would weigh the member
    // against every other restrained process.
    QVERIFY(jobs.jobGroup(job).isEmpty());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), origin);

    QVERIFY(setRate(job, 5000));
    const QString group = jobs.jobGroup(job);
    QVERIFY(!group.isEmpty());
    QCOMPARE(readGroupFile(group, "cgroup.procs"), QByteArray::number(member));

    // Lifting, by the full rate or by turning control off, empties and
    // removes the group; a new cap brings the member in again.
    QVERIFY(setRate(job, 10000));
    QVERIFY(jobs.jobGroup(job).isEmpty());
    QVERIFY(!QDir(group).exists());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), origin);

    QVERIFY(setRate(job, 5000));
    QCOMPARE(readGroupFile(jobs.jobGroup(job), "cgroup.procs"), QByteArray::number(member));
    QVERIFY(jobs.setInformationJobObject(job, KvJobCpuRateControlInformation{})); // off
    QVERIFY(jobs.jobGroup(job).isEmpty());
    QCOMPARE(ProcFsProbe::cpuCgroupOf(member), origin);
}

void TestLinuxJobsSystem::groupOutlivesItsHandleUntilEmpty()
{
    HANDLE job = nullptr;
    pid_t member = 0;
    if (!makeJobWithMember(job, member))
        return;
    const QString group = jobs.jobGroup(job);

    // As on Windows, the job and its cap stay while a process is in it.
    QVERIFY(kernel.closeHandle(job));
    handles.removeOne(job);
    QTest::qWait(300);
    QVERIFY(QDir(group).exists());
    QCOMPARE(readGroupFile(group, "cgroup.procs"), QByteArray::number(member));

    ::kill(member, SIGKILL);
    ::waitpid(member, nullptr, 0);
    children.removeOne(member);
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(group).exists(), 30000);
}

void TestLinuxJobsSystem::leftoversOfADeadRunAreEmptiedAndRemoved()
{
    HANDLE job = nullptr;
    pid_t member = 0;
    if (!makeJobWithMember(job, member))
        return;
    // Our own run's directory is the sibling of where a dead run's would be.
    const QString ownGroup = jobs.jobGroup(job);
    QDir base(ownGroup);
    base.cdUp();
    base.cdUp();
    const QString deadRun = base.filePath(QStringLiteral("run-999999999-%1").arg(::getpid()));
    const QString deadJob = deadRun + QStringLiteral("/job-1");
    QVERIFY(QDir().mkpath(deadJob));
    const pid_t stranded = startSleeper();
    QFile procs(deadJob + QStringLiteral("/cgroup.procs"));
    QVERIFY(procs.open(QIODevice::WriteOnly));
    QVERIFY(procs.write(QByteArray::number(stranded)) > 0);
    procs.close();

    // At least ours: a test running beside this one may have left its own.
    QVERIFY(jobs.removeLeftoverJobs() >= 1);
    QVERIFY(!QDir(deadRun).exists());
    QVERIFY(QDir(ownGroup).exists()); // this run's jobs are left alone
    const QByteArray strandedGroup = ProcFsProbe::cpuCgroupOf(stranded);
    QVERIFY(!strandedGroup.isEmpty());
    QVERIFY(!strandedGroup.contains("/corvane/"));
}

void TestLinuxJobsSystem::suspendCountsAndForeignStops()
{
    const pid_t child = startSleeper();
    HANDLE thread = jobs.openThread(KvPlatformJobs::ThreadSuspendResume, DWORD(child));
    QVERIFY(thread);
    handles.append(thread);

    // Resuming a thread nobody suspended does nothing, even to a process
    // that something else has stopped.
    ::kill(child, SIGSTOP);
    QTRY_COMPARE_WITH_TIMEOUT(ProcFsProbe::processState(child), 'T', 30000);
    QCOMPARE(jobs.resumeThread(thread), DWORD(0));
    QTest::qWait(100);
    QCOMPARE(ProcFsProbe::processState(child), 'T');
    ::kill(child, SIGCONT);
    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::processState(child) != 'T', 30000);

    QCOMPARE(jobs.suspendThread(thread), DWORD(0));
    QCOMPARE(jobs.suspendThread(thread), DWORD(1));
    QTRY_COMPARE_WITH_TIMEOUT(ProcFsProbe::processState(child), 'T', 30000);
    QCOMPARE(jobs.resumeThread(thread), DWORD(2));
    QTest::qWait(100);
    QCOMPARE(ProcFsProbe::processState(child), 'T');
    QCOMPARE(jobs.resumeThread(thread), DWORD(1));
    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::processState(child) != 'T', 30000);

    // Without the access right, nothing happens.
    HANDLE readOnly = jobs.openThread(0, DWORD(child));
    QVERIFY(readOnly);
    handles.append(readOnly);
    QCOMPARE(jobs.suspendThread(readOnly), KvPlatformJobs::SuspendFailed);
    QCOMPARE(kernel.lastError(), DWORD(EACCES));
}

void TestLinuxJobsSystem::endedThreadDoesNotKeepItsProcessStopped()
{
    // A child with a second thread that ends when told to.
    int release[2];
    QVERIFY(::pipe(release) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        std::thread([fd = release[0]] {
            char byte;
            (void)::read(fd, &byte, 1);
        }).detach();
        for (;;)
            ::pause();
    }
    children.append(child);
    ::close(release[0]);
    QTRY_COMPARE_WITH_TIMEOUT(KvLinuxProcFs::threadIds(DWORD(child)).size(), size_t(2), 30000);
    DWORD second = 0;
    for (DWORD thread : KvLinuxProcFs::threadIds(DWORD(child)))
        second = thread != DWORD(child) ? thread : second;
    HANDLE mainThread = jobs.openThread(KvPlatformJobs::ThreadSuspendResume, DWORD(child));
    HANDLE secondThread = jobs.openThread(KvPlatformJobs::ThreadSuspendResume, second);
    QVERIFY(mainThread && secondThread);
    handles << mainThread << secondThread;

    QVERIFY(::write(release[1], "x", 1) == 1);
    ::close(release[1]);
    QTRY_COMPARE_WITH_TIMEOUT(KvLinuxProcFs::threadIds(DWORD(child)).size(), size_t(1), 30000);

    // Its handle still counts a suspension of the thread that is gone; the
    // last live thread's resume must continue the process all the same.
    QCOMPARE(jobs.suspendThread(secondThread), DWORD(0));
    QCOMPARE(jobs.suspendThread(mainThread), DWORD(0));
    QTRY_COMPARE_WITH_TIMEOUT(ProcFsProbe::processState(child), 'T', 30000);
    QCOMPARE(jobs.resumeThread(mainThread), DWORD(1));
    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::processState(child) != 'T', 30000);
}

QTEST_GUILESS_MAIN(TestLinuxJobsSystem)
#include "tst_linuxjobs_system.moc"
