#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QSettings>
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
    // Whether the capped process runs alone in a scope of its own, which is
    // removed once it is empty (as systemd does) while the cap holds.
    QTest::addColumn<bool>("originGone");
    // Whether the cap ends with its rule, switched off in the settings by
    // another writer, rather than with the program.
    QTest::addColumn<bool>("switchedOff");
    const QString delegated =
        QStringLiteral("/user.slice/user-2000.slice/user@2000.service/corvane/run-");
    QTest::newRow("root") << QStringLiteral("/corvane/run-") << false << false;
    QTest::newRow("delegated") << delegated << false << false;
    QTest::newRow("undelegated") << QString() << false << false;
    QTest::newRow("delegated-origin-gone") << delegated << true << false;
    QTest::newRow("delegated-origin-gone-switched-off") << delegated << true << true;
}

namespace {

// Whether no group from the process's own up to the top limits its CPU.
bool runsWithoutQuota(qint64 pid)
{
    for (QString group = "/sys/fs/cgroup" + QString::fromUtf8(ProcFsProbe::cpuCgroupOf(pid));
         group.length() > int(qstrlen("/sys/fs/cgroup")); group = group.section('/', 0, -2)) {
        QFile quota(group + QStringLiteral("/cpu.max"));
        if (quota.open(QIODevice::ReadOnly) && !quota.readAll().startsWith("max "))
            return false;
    }
    return true;
}

// The share of one CPU the process gets over a few seconds.
double shareOf(qint64 pid)
{
    const qint64 ticks = ProcFsProbe::cpuTicks(pid);
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::qWait(4000);
    return double(ProcFsProbe::cpuTicks(pid) - ticks) / ::sysconf(_SC_CLK_TCK) /
           (elapsed.elapsed() / 1000.0);
}

} // namespace

void TestCgroupV2Uml::programCapsAndLiftsInsideTheKernel()
{
    QFETCH(QString, jobsUnder);
    QFETCH(bool, originGone);
    QFETCH(bool, switchedOff);
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
    rule.action = 1; // suspend
    storeRule(2, rule);

    QProcess capped, stopped, corvane;
    for (QProcess *busy : {&capped, &stopped}) {
        const QString copy = home.filePath(busy == &capped ? "busy-capped" : "busy-stopped");
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/yes"), copy));
        busy->setStandardOutputFile(QProcess::nullDevice());
        busy->start(copy, QStringList());
        QVERIFY(busy->waitForStarted(5000));
    }
    QByteArray origin = ProcFsProbe::cpuCgroupOf(capped.processId());
    QString scope;
    if (originGone) {
        // Alone in a scope of app.slice, as a desktop launcher starts it.
        origin = origin.left(origin.lastIndexOf('/')) + "/game.scope";
        scope = "/sys/fs/cgroup" + QString::fromUtf8(origin);
        QFile procs(scope + QStringLiteral("/cgroup.procs"));
        QVERIFY(QDir().mkdir(scope) && procs.open(QIODevice::WriteOnly) &&
                procs.write(QByteArray::number(capped.processId())) > 0);
    }
    corvane.start(QStringLiteral(CORVANE_EXECUTABLE), QStringList());
    QVERIFY(corvane.waitForStarted(5000));
    // Suspension works for everyone.
    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(stopped.processId()), 30000);
    if (jobsUnder.isEmpty()) {
        QCOMPARE(ProcFsProbe::cpuCgroupOf(capped.processId()), origin);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            ProcFsProbe::cpuCgroupOf(capped.processId()).startsWith(jobsUnder.toUtf8()), 30000);
        QCOMPARE(ProcFsProbe::cpuQuotaOf(capped.processId()), QByteArray("25000")); // 1 CPU
        // The share it gets, loosely: a busy host slows the whole kernel down.
        const double share = shareOf(capped.processId());
        qInfo("capped at 25 %%, it got %.1f %% of the CPU", share * 100);
        QVERIFY(share > 0.05 && share < 0.4);
    }
    if (originGone)
        QVERIFY(QDir().rmdir(scope)); // empty now: systemd would remove it
    if (switchedOff) {
        QSettings().setValue(QStringLiteral("rules/{1}/enabled"), 0); // as another copy would
        QSettings().sync();
        QTRY_VERIFY_WITH_TIMEOUT(runsWithoutQuota(capped.processId()), 30000);
    }

    QVERIFY(::kill(pid_t(corvane.processId()), SIGTERM) == 0);
    QVERIFY(corvane.waitForFinished(30000));
    QCOMPARE(corvane.exitCode(), 0);
    QVERIFY(!ProcFsProbe::isStopped(stopped.processId()));
    if (originGone) {
        // Nothing caps it any more: it runs at full speed, alone.
        QVERIFY(runsWithoutQuota(capped.processId()));
        stopped.kill();
        QVERIFY(stopped.waitForFinished(5000));
        const double share = shareOf(capped.processId());
        qInfo("released from 25 %%, it got %.1f %% of the CPU", share * 100);
        QVERIFY(share > 0.375);
    } else {
        QCOMPARE(ProcFsProbe::cpuCgroupOf(capped.processId()), origin);
    }
    // Nothing of the program's own directory stays (a leaf that only limits
    // nothing may, until a later start finds it empty).
    const QRegularExpression ownGroups(QStringLiteral("/corvane(/|$)"));
    QDirIterator groups(QStringLiteral("/sys/fs/cgroup"), QDir::Dirs | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
    while (groups.hasNext())
        QVERIFY2(!groups.next().contains(ownGroups), qPrintable(groups.filePath()));

    // Without caps, one critical line at start says why, in the log and on
    // standard error; with them, none.
    QFile logFile(home.filePath(QStringLiteral("data/Veltrom/Corvane/corvane.log")));
    QVERIFY(logFile.open(QIODevice::ReadOnly | QIODevice::Text));
    const QString log = QString::fromUtf8(logFile.readAll());
    QVERIFY2(!log.contains(QLatin1String("failed to remove")), qPrintable(log));
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
