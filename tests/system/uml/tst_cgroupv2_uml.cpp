#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

// The whole program on cgroup v2 with the cpu controller, which this
// machine's kernel does not offer: each row boots a User-mode Linux kernel
// on this machine's file system, whose init (uml-init.sh) lays out the
// cgroups as systemd would and runs the row again inside, as root or as an
// ordinary user. There the program runs with two stored rules, one capping a
// busy process and one suspending another, until SIGTERM.
namespace {

const char RowVariable[] = "CORVANE_UML_ROW";
const QString capMessage = QStringLiteral("CPU limits cannot be applied");

} // namespace

class TestCgroupV2Uml : public QObject
{
    Q_OBJECT

private slots:
    void programCapsAndLiftsInsideTheKernel_data();
    void programCapsAndLiftsInsideTheKernel();

private:
    void bootKernel(const QString &row);
};

void TestCgroupV2Uml::programCapsAndLiftsInsideTheKernel_data()
{
    // Where the capped process's group must lie; empty where no cap can be set.
    QTest::addColumn<QString>("jobsUnder");
    QTest::newRow("root") << QStringLiteral("/corvane/run-");
    QTest::newRow("delegated") << QStringLiteral(
        "/user.slice/user-2000.slice/user@2000.service/corvane/run-");
    QTest::newRow("undelegated") << QString();
}

void TestCgroupV2Uml::programCapsAndLiftsInsideTheKernel()
{
    QFETCH(QString, jobsUnder);
    if (qEnvironmentVariableIsEmpty(RowVariable))
        return bootKernel(QString::fromLatin1(QTest::currentDataTag()));

    QTemporaryDir home;
    QVERIFY(home.isValid());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    QCoreApplication::setOrganizationName(QStringLiteral("Veltrom"));
    QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
    StoredRule rule{QStringLiteral("busy-capped"), true, {QStringLiteral("busy-capped")}};
    rule.cpuLimit = 25;
    storeRule(1, rule);
    rule = {QStringLiteral("busy-stopped"), true, {QStringLiteral("busy-stopped")}};
    rule.action = RuleOptions::Suspend;
    storeRule(2, rule);

    QProcess capped, stopped, corvane;
    for (QProcess *busy : {&capped, &stopped}) {
        const QString copy = home.filePath(busy == &capped ? "busy-capped" : "busy-stopped");
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/yes"), copy));
        busy->setStandardOutputFile(QProcess::nullDevice());
        busy->start(copy, QStringList());
        QVERIFY(busy->waitForStarted(5000));
    }
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(capped.processId());
    corvane.start(QStringLiteral(CORVANE_EXECUTABLE), QStringList());
    QVERIFY(corvane.waitForStarted(5000));
    // Suspension works for everyone.
    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(stopped.processId()), 30000);
    if (jobsUnder.isEmpty()) {
        QCOMPARE(ProcFsProbe::cpuCgroupOf(capped.processId()), origin);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            ProcFsProbe::cpuCgroupOf(capped.processId()).startsWith(jobsUnder.toUtf8()), 30000);
        const QString group =
            "/sys/fs/cgroup" + QString::fromUtf8(ProcFsProbe::cpuCgroupOf(capped.processId()));
        QFile quota(group + QStringLiteral("/cpu.max"));
        QVERIFY(quota.open(QIODevice::ReadOnly));
        QCOMPARE(quota.readAll(), QByteArray("25000 100000\n")); // one CPU here
        // The share it gets over a few seconds, loosely: a busy host slows
        // the whole kernel down.
        const qint64 ticks = ProcFsProbe::cpuTicks(capped.processId());
        QElapsedTimer elapsed;
        elapsed.start();
        QTest::qWait(4000);
        const double share = double(ProcFsProbe::cpuTicks(capped.processId()) - ticks) /
                             ::sysconf(_SC_CLK_TCK) / (elapsed.elapsed() / 1000.0);
        qInfo("capped at 25 %%, it got %.1f %% of the CPU", share * 100);
        QVERIFY(share > 0.05 && share < 0.4);
    }

    QVERIFY(::kill(pid_t(corvane.processId()), SIGTERM) == 0);
    QVERIFY(corvane.waitForFinished(30000));
    QCOMPARE(corvane.exitCode(), 0);
    QCOMPARE(ProcFsProbe::cpuCgroupOf(capped.processId()), origin);
    QVERIFY(!ProcFsProbe::isStopped(stopped.processId()));
    QDirIterator groups(QStringLiteral("/sys/fs/cgroup"), QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
    while (groups.hasNext())
        QVERIFY2(groups.next().indexOf(QLatin1String("/corvane")) < 0,
                 qPrintable(groups.filePath()));

    // Without caps, one critical line at start says why, in the log and on
    // standard error; with them, none.
    QFile logFile(home.filePath(QStringLiteral("data/Veltrom/Corvane/corvane.log")));
    QVERIFY(logFile.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString log = QString::fromUtf8(logFile.readAll());
    const QStringList said = log.split(QLatin1Char('\n')).filter(capMessage);
    QCOMPARE(said.size(), jobsUnder.isEmpty() ? 1 : 0);
    QCOMPARE(corvane.readAllStandardError().contains(capMessage.toUtf8()), jobsUnder.isEmpty());
    if (jobsUnder.isEmpty()) {
        QVERIFY2(said.first().contains(QLatin1String("[C]")), qPrintable(said.first()));
        QVERIFY2(log.indexOf(capMessage) < log.indexOf(QLatin1String("activated")),
                 qPrintable(log));
    }
}

void TestCgroupV2Uml::bootKernel(const QString &row)
{
    const QString kernel = QStandardPaths::findExecutable(QStringLiteral("linux.uml"));
    KV_REQUIRE_CAPABILITY(!kernel.isEmpty(), "linux.uml (package user-mode-linux) is missing");
    KV_REQUIRE_CAPABILITY(::geteuid() == 0, "the kernel runs in a PID namespace, which needs root");
    // The kernel keeps its pid file and control socket in the build tree. As
    // the first process of a PID namespace that dies with this test, it
    // takes every host process of it along when it ends, however it ends.
    QTemporaryDir scratch(QStringLiteral(BUILD_DIR "/uml-XXXXXX"));
    QVERIFY(scratch.isValid());
    QProcess uml;
    uml.setProcessChannelMode(QProcess::MergedChannels);
    uml.setStandardInputFile(QProcess::nullDevice());
    const QStringList arguments =
        QStringLiteral("--pdeathsig KILL unshare --pid --fork --kill-child %1 mem=512M "
                       "rootfstype=hostfs rootflags=/ rw quiet con=null con0=null,fd:1 umid=kv "
                       "init=" UML_INIT " KV_BUILD=" BUILD_DIR
                       " CORVANE_MEASUREMENT_HOST=127.0.0.1:1 %2=%3 uml_dir=%4 KV_TEST=%5 "
                       "KV_FUNCTION=%6:%3")
            .arg(kernel, QString::fromLatin1(RowVariable), row, scratch.path(),
                 QCoreApplication::applicationFilePath(),
                 QString::fromLatin1(QTest::currentTestFunction()))
            .split(QLatin1Char(' '));
    uml.start(QStringLiteral("setpriv"), arguments);
    if (!uml.waitForFinished(200000)) {
        uml.kill();
        uml.waitForFinished(10000);
    }
    const QString console = QString::fromLocal8Bit(uml.readAll()).remove(QLatin1Char('\r'));
    qInfo().noquote() << console; // the row's own test output, for the record
    QVERIFY2(console.contains(QLatin1String("corvane-uml-result: 0")),
             "the row failed inside the kernel, or the kernel did not come up (console above)");
}

QTEST_GUILESS_MAIN(TestCgroupV2Uml)
#include "tst_cgroupv2_uml.moc"
