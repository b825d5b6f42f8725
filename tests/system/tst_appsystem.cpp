#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "rules/RuleOptions.h"

#include "ShieldedProgramStart.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

const unsigned ruleId = 0x5eed;
const QString ruleName = QStringLiteral("Busy work");

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The position of the first line at or after `from` that ends with text, or -1.
int lineEndingWith(const QStringList &lines, const QString &text, int from = 0)
{
    for (int i = qMax(0, from); i < lines.size(); ++i) {
        if (lines.at(i).endsWith(text))
            return i;
    }
    return -1;
}

} // namespace

// The whole program on this machine: a stored rule caps a busy process the
// test started, and SIGTERM ends the program the orderly way.
class TestAppSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void storedRuleCapsUntilSigterm();

private:
    QTemporaryDir home;
    QProcess busy;
    const ShieldedProgramStart shield; // until the program has ended
    QProcess corvane;
};

void TestAppSystem::initTestCase()
{
    QVERIFY(home.isValid());
    // This process writes the rule to the very store the program reads.
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    QCoreApplication::setOrganizationName(QStringLiteral("Veltrom"));
    QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
}

void TestAppSystem::cleanup()
{
    for (QProcess *process : {&corvane, &busy}) {
        if (process->state() != QProcess::NotRunning) {
            ::kill(pid_t(process->processId()), SIGCONT);
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

void TestAppSystem::storedRuleCapsUntilSigterm()
{
    KV_REQUIRE_CAPABILITY(::geteuid() == 0, "capping another process through cgroups needs root");
    KV_REQUIRE_CAPABILITY(!ProcFsProbe::cpuCgroupOf(::getpid()).isEmpty(),
                          "this kernel shows no cgroups");

    {
        RuleOptions options(ruleId);
        options.setValue(QLatin1String(RuleOptions::nameKey), ruleName);
        options.setEnabled(true);
        options.setSelectedProcesses(RuleOptions::Target, {QStringLiteral(BUSY_NAME)});
        options.setValue(QLatin1String(RuleOptions::targetActionKey),
                         unsigned(RuleOptions::LimitCpu));
        options.setValue(QLatin1String(RuleOptions::cpuLimitKey), 30u);
        options.sync();
        QCOMPARE(options.status(), QSettings::NoError);
    }

    busy.start(QStringLiteral(BUSY_EXECUTABLE), QStringList());
    QVERIFY(busy.waitForStarted(5000));
    const qint64 busyPid = busy.processId();
    const QByteArray origin = ProcFsProbe::cpuCgroupOf(busyPid);
    QVERIFY(!origin.isEmpty());

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    // No display: the program must find that out itself and go offscreen.
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    corvane.setProcessEnvironment(environment);
    shield.start(corvane, QStringLiteral(CORVANE_EXECUTABLE));
    QVERIFY(corvane.waitForStarted(5000));

    // Capped: the busy process sits in one of the program's jobs.
    const QString logPath = home.filePath(QStringLiteral("data/Veltrom/Corvane/corvane.log"));
    QDeadlineTimer deadline(30000);
    while (!ProcFsProbe::cpuCgroupOf(busyPid).contains("/corvane/") && !deadline.hasExpired())
        QTest::qWait(50);
    if (!ProcFsProbe::cpuCgroupOf(busyPid).contains("/corvane/")) {
        // Where this machine gives no writable cgroup, the governor said why.
        const QStringList refusals = readLines(logPath).filter(
            QRegularExpression(QStringLiteral("\\[KvProcessGov\\] \\[C\\]")));
        KV_REQUIRE_CAPABILITY(
            refusals.isEmpty(),
            qPrintable(QStringLiteral("the governor cannot cap here: ") + refusals.first()));
        QFAIL("the busy process was not capped within 30 s");
    }
    QVERIFY(corvane.state() == QProcess::Running);

    QVERIFY(::kill(pid_t(corvane.processId()), SIGTERM) == 0);
    QVERIFY(corvane.waitForFinished(30000));
    QCOMPARE(corvane.exitStatus(), QProcess::NormalExit);
    QCOMPARE(corvane.exitCode(), 0);
    QVERIFY(corvane.readAllStandardError().contains("offscreen"));

    // Nothing outlives the program: back where it came from, and running.
    QCOMPARE(ProcFsProbe::cpuCgroupOf(busyPid), origin);
    QVERIFY(ProcFsProbe::processState(busyPid) != 'T');
    QCOMPARE(busy.state(), QProcess::Running);

    const QStringList lines = readLines(logPath);
    const QString pid = QString::number(busyPid);
    const int start = lineEndingWith(lines, QStringLiteral("Corvane 1.0.148 started"));
    const int limited =
        lineEndingWith(lines, QStringLiteral("process #%1 CPU limited to 30%").arg(pid), start);
    const int activated =
        lineEndingWith(lines, QStringLiteral("rule \"%1\" activated").arg(ruleName), limited);
    const int request =
        lineEndingWith(lines, QStringLiteral("SIGTERM received, stopping"), activated);
    const int lifted =
        lineEndingWith(lines, QStringLiteral("process #%1 CPU limit removed").arg(pid), request);
    const int deactivated =
        lineEndingWith(lines, QStringLiteral("rule \"%1\" deactivated").arg(ruleName), lifted);
    const int end = lineEndingWith(lines, QString(50, QLatin1Char('-')), deactivated);
    const QString log = lines.join(QLatin1Char('\n'));
    QVERIFY2(start == 0, qPrintable(log));
    QVERIFY2(limited > start && activated > limited && request > activated, qPrintable(log));
    QVERIFY2(lifted > request && deactivated > lifted, qPrintable(log));
    QVERIFY2(end == lines.size() - 1, qPrintable(log));
    QVERIFY(lines.at(limited).contains(QLatin1String("[KvProcessGov]")));
    QVERIFY(lines.at(activated).contains(QLatin1String("[Corvane     ]")));
}

QTEST_GUILESS_MAIN(TestAppSystem)
#include "tst_appsystem.moc"
