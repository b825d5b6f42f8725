#include "ProcFsProbe.h"
#include "ShieldedProgramStart.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/linux/KvCgroupCpuTree.h"

#include <QDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// The whole program on this machine, with no display and so no GUI
// platform: stored rules cap one process the test started and suspend
// another. SIGTERM lifts both; what a killed run left in
// force is lifted at the next start.
class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void rulesHoldUntilSigterm();
    void killedRunIsLiftedAtTheNextStart();

private:
    void startProgram(bool rulesEnabled);
    bool capped() const
    {
        return ProcFsProbe::cpuCgroupOf(target.processId()).contains("/corvane/");
    }
    bool suspended() const { return ProcFsProbe::isStopped(otherTarget.processId()); }

    TestStore store;
    const ShieldedProgramStart shield; // until the program has ended
    KvCgroupCpuTree tree;
    QString liveRunGroup;
    SleepingCopy target{store.path("corvane-test-capped")};
    SleepingCopy otherTarget{store.path("corvane-test-suspended")};
    QProcess program;
};

void TestProgram::initTestCase()
{
    KV_REQUIRE_CAPABILITY(::geteuid() == 0 && tree.prepare(),
                          "capping through a cgroup with the cpu controller needs root");
    // A group of a run that is alive, this test's: no start of the program
    // may take it for a leftover.
    liveRunGroup = tree.createJobGroup(1);
}

void TestProgram::cleanup()
{
    program.terminate();
    program.waitForFinished();
}

void TestProgram::cleanupTestCase()
{
    tree.removeGroup(liveRunGroup);
    tree.removeRunDirectory();
}

void TestProgram::startProgram(bool rulesEnabled)
{
    storeRule(1, {{}, rulesEnabled, {target.program()}});
    StoredRule suspend{{}, rulesEnabled, {otherTarget.program()}};
    suspend.action = 1; // suspend
    storeRule(2, suspend);
    // No display: the program must find that out itself and run without one.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(name));
    program.setProcessEnvironment(environment);
    shield.start(program, QStringLiteral(CORVANE_EXECUTABLE));
    QVERIFY(program.waitForStarted(5000));
}

void TestProgram::rulesHoldUntilSigterm()
{
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(target.processId());
    startProgram(true);
    QTRY_VERIFY_WITH_TIMEOUT(capped() && suspended(), 30000);
    QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly) && !maps.readAll().contains("/platforms/"));

    QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
    QVERIFY(program.waitForFinished(30000));
    QVERIFY(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);
    QVERIFY(program.readAllStandardError().contains("no display found"));
    QCOMPARE(ProcFsProbe::cpuCgroupOf(target.processId()), origin);
    QVERIFY(!suspended());
}

void TestProgram::killedRunIsLiftedAtTheNextStart()
{
    startProgram(true);
    QTRY_VERIFY_WITH_TIMEOUT(capped() && suspended(), 30000);
    const QString job = QString::fromLocal8Bit(ProcFsProbe::cpuCgroupOf(target.processId()));
    const QString deadRun = tree.top() + QFileInfo(job).path();
    program.kill();
    QVERIFY(program.waitForFinished());
    QVERIFY(capped() && suspended());

    startProgram(false);
    QTRY_VERIFY_WITH_TIMEOUT(!capped() && !suspended(), 30000);
    QVERIFY(!QDir(deadRun).exists());
    QVERIFY(QDir(liveRunGroup).exists());
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
