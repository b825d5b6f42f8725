#include "ProcFsProbe.h"
#include "ShieldedProgramStart.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/linux/KvCgroupCpuTree.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using ProcFsProbe::childrenOf;
using ProcFsProbe::cpuCgroupOf;
using ProcFsProbe::isStopped;

// The whole program, with no display and so no GUI platform: stored rules
// cap one process and suspend another. On this machine's kernel, SIGTERM
// lifts both, and what a killed run left in force is lifted at the next
// start. cgroup v2 with the cpu controller, which this kernel does not
// offer, is met inside User-mode Linux: each row of insideCgroupV2 boots a
// kernel on this machine's file system, whose init (uml/uml-init.sh) lays
// out the cgroups as systemd would and runs the row again inside, as root or
// as an ordinary user, with busy processes to cap.
namespace {

const char rowVariable[] = "CORVANE_UML_ROW";
const QString capMessage = QStringLiteral("CPU limits cannot be applied");

bool insideKernel()
{
    return qEnvironmentVariableIsSet(rowVariable);
}

// Whether no group from the process's own up to the top limits its CPU.
bool runsWithoutQuota(qint64 pid)
{
    for (QString group = "/sys/fs/cgroup" + QString::fromUtf8(cpuCgroupOf(pid));
         group.length() > int(qstrlen("/sys/fs/cgroup")); group = group.section('/', 0, -2)) {
        QFile quota(group + QStringLiteral("/cpu.max"));
        if (quota.open(QIODevice::ReadOnly) && !quota.readAll().startsWith("max "))
            return false;
    }
    return true;
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (insideKernel())
            return;
        KV_REQUIRE_CAPABILITY(::geteuid() == 0 && tree.prepare(),
                              "capping through a cgroup with the cpu controller needs root");
        // A group of a run that is alive, this test's: no start of the program
        // may take it for a leftover.
        liveRunGroup = tree.createJobGroup(1);
    }
    void cleanup()
    {
        program.terminate();
        program.waitForFinished();
        // Whatever a test left where the program keeps its files.
        for (const QString &left :
             {settingsPath(), logPath(), QStringLiteral("/run/corvane/run-1-1")})
            QFile::remove(left);
    }
    void cleanupTestCase()
    {
        if (liveRunGroup.isEmpty())
            return;
        tree.removeGroup(liveRunGroup);
        tree.removeRunDirectory();
    }
    void rulesHoldUntilSigterm()
    {
        const QByteArray origin = cpuCgroupOf(target.processId());
        startProgram(target.program(), otherTarget.program());
        QTRY_VERIFY_WITH_TIMEOUT(capped() && suspended(), 30000);
        QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly) && !maps.readAll().contains("/platforms/"));
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        QVERIFY(program.waitForFinished(30000));
        QVERIFY(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);
        QVERIFY(program.readAllStandardError().contains("no display found"));
        QCOMPARE(cpuCgroupOf(target.processId()), origin);
        QVERIFY(!suspended());
    }
    void aKilledRunIsLiftedAtOnce_data()
    {
        QTest::addColumn<int>("signal");
        // Whether its lifeline dies with it, as when a service manager kills the whole group:
        // the next start lifts what it held.
        QTest::addColumn<bool>("lifelineToo");
        QTest::newRow("killed") << SIGKILL << false;
        QTest::newRow("crashed") << SIGSEGV << false;
        QTest::newRow("aborted") << SIGABRT << false;
        QTest::newRow("killed-with-its-lifeline") << SIGKILL << true;
    }
    void aKilledRunIsLiftedAtOnce()
    {
        QFETCH(int, signal);
        QFETCH(bool, lifelineToo);
        startProgram(target.program(), otherTarget.program());
        QTRY_VERIFY_WITH_TIMEOUT(capped() && suspended(), 30000);
        const QString deadRun = tree.top() + QFileInfo(cpuCgroupOf(target.processId())).path();
        const qint64 lifeline = childOf(program.processId(), "corvane-lifelin");
        QVERIFY(lifeline > 0);
        if (lifelineToo)
            QVERIFY(::kill(pid_t(lifeline), SIGKILL) == 0);
        QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
        QVERIFY(program.waitForFinished() && program.exitStatus() == QProcess::CrashExit);
        if (lifelineToo) {
            QTest::qWait(1000);
            QVERIFY(capped() && suspended());
            startProgram(target.program(), otherTarget.program(), false);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!capped() && !suspended() && !QDir(deadRun).exists(), 30000);
        QVERIFY(QDir(liveRunGroup).exists());
        QTRY_VERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(lifeline)));
    }
    void aRequestToEndWinsOverTheWindow_data()
    {
        QTest::addColumn<bool>("inKernel"); // of User-mode Linux, slow, as an ordinary user
        QTest::newRow("host") << false;
        QTest::newRow("delegated-window") << true;
    }
    void aRequestToEndWinsOverTheWindow()
    {
        QFETCH(bool, inKernel);
        if (inKernel && !insideKernel())
            return bootKernel(QString::fromLatin1(QTest::currentDataTag()));
        const SleepingCopy busy(store.path("busy-stopped"), QStringLiteral("yes"));
        StoredRule rule{"busy", true, {"busy-stopped"}};
        rule.action = 1; // suspend
        storeRule(1, rule);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(environment);
        // Twenty in a row: every other run ends while it starts (the rules at
        // work, the window maybe not yet built), the others with the window
        // shown. Ten seconds means it hangs.
        for (int run = 0; run < 20; ++run) {
            const qsizetype logged = log().size();
            shield.start(program, QStringLiteral(CORVANE_EXECUTABLE));
            QTRY_VERIFY_WITH_TIMEOUT(isStopped(busy.processId()), 60000);
            if (run % 2)
                QTRY_VERIFY_WITH_TIMEOUT(log().mid(logged).contains("main window shown"), 60000);
            QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
            QVERIFY2(program.waitForFinished(10000), "still running 10 s after SIGTERM");
            QVERIFY(program.exitCode() == 0 && !isStopped(busy.processId()));
        }
    }
    void aCopyInAPidNamespaceLeavesOtherRunsAlone()
    {
        startProgram(target.program(), otherTarget.program());
        QTRY_VERIFY_WITH_TIMEOUT(capped() && suspended(), 30000);
        const QByteArray group = cpuCgroupOf(target.processId());
        const qsizetype logged = log().size();
        // With the host's cgroups and its own /proc: the host's runs are ones it cannot see.
        KilledAtEnd boxed;
        shield.start(boxed, QStringLiteral("unshare"),
                     {"--pid", "--fork", "--kill-child", "--mount-proc",
                      QStringLiteral(CORVANE_EXECUTABLE)});
        QTRY_VERIFY_WITH_TIMEOUT(log().mid(logged).contains(QLatin1String("rules loaded")), 30000);
        QVERIFY(!log().mid(logged).contains(QLatin1String("left by a previous run")));
        QVERIFY(cpuCgroupOf(target.processId()) == group && suspended());
        QVERIFY(log().mid(logged).contains(QLatin1String("process connector not used: this copy "
                                                         "runs in a PID namespace of its own")));
        QVERIFY(::kill(pid_t(childOf(boxed.processId(), "corvane")), SIGTERM) == 0);
        QVERIFY(boxed.waitForFinished());
    }
    void insideCgroupV2_data()
    {
        // Where the capped process's group must lie; empty where no cap can be set.
        QTest::addColumn<QString>("jobsUnder");
        // Whether the capped process runs alone in a scope of its own, which is
        // removed once it is empty (as systemd does) while the cap holds.
        QTest::addColumn<bool>("originGone");
        // Whether the cap ends with its rule, switched off in the settings by
        // another writer, rather than with the program.
        QTest::addColumn<bool>("switchedOff");
        // How the program ends: orderly, or killed with its lifeline left to lift.
        QTest::addColumn<int>("signal");
        const QString root = QStringLiteral("/corvane/run-");
        const QString delegated =
            QStringLiteral("/user.slice/user-2000.slice/user@2000.service/corvane/run-");
        QTest::newRow("root") << root << false << false << SIGTERM;
        QTest::newRow("root-killed") << root << false << false << SIGKILL;
        QTest::newRow("delegated") << delegated << false << false << SIGTERM;
        QTest::newRow("delegated-crashed") << delegated << false << false << SIGSEGV;
        QTest::newRow("undelegated") << QString() << false << false << SIGTERM;
        QTest::newRow("delegated-origin-gone") << delegated << true << false << SIGTERM;
        QTest::newRow("delegated-origin-gone-switched-off") << delegated << true << true << SIGTERM;
    }
    void insideCgroupV2()
    {
        QFETCH(QString, jobsUnder);
        QFETCH(bool, originGone);
        QFETCH(bool, switchedOff);
        QFETCH(int, signal);
        if (!insideKernel())
            return bootKernel(QString::fromLatin1(QTest::currentDataTag()));
        const SleepingCopy capped(store.path("busy-capped"), QStringLiteral("yes"));
        const SleepingCopy stopped(store.path("busy-stopped"), QStringLiteral("yes"));
        QVERIFY(capped.processId() && stopped.processId());
        QByteArray origin = cpuCgroupOf(capped.processId());
        QString scope;
        if (originGone) {
            // Alone in a scope of app.slice, as a desktop launcher starts it.
            origin = origin.left(origin.lastIndexOf('/')) + "/game.scope";
            scope = "/sys/fs/cgroup" + QString::fromUtf8(origin);
            QFile procs(scope + QStringLiteral("/cgroup.procs"));
            QVERIFY(QDir().mkdir(scope) && procs.open(QIODevice::WriteOnly) &&
                    procs.write(QByteArray::number(capped.processId())) > 0);
        }
        startProgram(QStringLiteral("busy-capped"), QStringLiteral("busy-stopped"));
        // Suspension works for everyone.
        QTRY_VERIFY_WITH_TIMEOUT(isStopped(stopped.processId()), 30000);
        if (jobsUnder.isEmpty()) {
            QCOMPARE(cpuCgroupOf(capped.processId()), origin);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(cpuCgroupOf(capped.processId()).startsWith(jobsUnder.toUtf8()),
                                     30000);
            // What it then gets of the CPU is bench/cap_accuracy's to measure.
            QCOMPARE(ProcFsProbe::cpuQuotaOf(capped.processId()), QByteArray("25000")); // 1 CPU
        }
        if (originGone)
            QVERIFY(QDir().rmdir(scope)); // empty now: systemd would remove it
        if (switchedOff) {
            QSettings().setValue(QStringLiteral("rules/{1}/enabled"), 0); // as another copy would
            QSettings().sync();
            QTRY_VERIFY_WITH_TIMEOUT(runsWithoutQuota(capped.processId()), 30000);
        }
        QVERIFY(::kill(pid_t(program.processId()), signal) == 0);
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0,
                 signal == SIGTERM);
        QTRY_VERIFY(!isStopped(stopped.processId()));
        if (originGone) // nothing caps it any more, though its own group is gone
            QTRY_VERIFY(runsWithoutQuota(capped.processId()));
        else
            QTRY_COMPARE(cpuCgroupOf(capped.processId()), origin);
        // Nothing of the program's own directory stays (a leaf that only limits
        // nothing may, until a later start finds it empty).
        const auto ownGroupLeft = [] {
            QDirIterator groups(QStringLiteral("/sys/fs/cgroup"), QDir::Dirs | QDir::NoDotAndDotDot,
                                QDirIterator::Subdirectories);
            while (groups.hasNext()) {
                if (groups.next().contains(QRegularExpression(QStringLiteral("/corvane(/|$)"))))
                    return groups.filePath();
            }
            return QString();
        };
        QTRY_COMPARE(ownGroupLeft(), QString());
        // Without caps, one critical line at start says why, in the log and on
        // standard error; with them, none.
        const QString log = this->log();
        QVERIFY2(!log.contains(QLatin1String("failed to remove")), qPrintable(log));
        // An orderly end lifts by itself; a killed run's lifeline has the lifting done.
        QCOMPARE(log.contains(QLatin1String("by a previous run")), signal != SIGTERM);
        const QStringList said = log.split(QLatin1Char('\n')).filter(capMessage);
        QCOMPARE(said.size(), jobsUnder.isEmpty() ? 1 : 0);
        QCOMPARE(program.readAllStandardError().contains(capMessage.toUtf8()), jobsUnder.isEmpty());
        if (jobsUnder.isEmpty()) {
            QVERIFY2(said.first().contains(QLatin1String("[C]")), qPrintable(said.first()));
            QVERIFY2(log.indexOf(capMessage) < log.indexOf(QLatin1String("activated")),
                     qPrintable(log));
        }
    }

    void familyUnderOneRule_data()
    {
        QTest::addColumn<bool>("inKernel"); // of User-mode Linux, as an ordinary user
        QTest::addColumn<unsigned>("action");
        QTest::newRow("host-limit") << false << 0u;
        QTest::newRow("delegated-limit") << true << 0u;
        QTest::newRow("delegated-suspend") << true << 1u;
    }
    void familyUnderOneRule()
    {
        QFETCH(bool, inKernel);
        QFETCH(unsigned, action);
        if (inKernel && !insideKernel())
            return bootKernel(QString::fromLatin1(QTest::currentDataTag()));
        // Three busy programs of one name, each with a busy child of another.
        const QString parent = store.path("busy-family"), child = store.path("busy-child");
        QVERIFY(QFile::copy("/bin/sh", parent) && QFile::copy("/usr/bin/yes", child));
        QProcess families[3];
        QList<qint64> members;
        for (QProcess &family : families) {
            family.start(parent, {"-c", child + " >/dev/null & echo $!; while :; do :; done"});
            QVERIFY(family.waitForReadyRead(5000));
            members << family.processId() << family.readLine().trimmed().toLongLong();
        }
        QHash<qint64, QByteArray> origins;
        for (qint64 pid : qAsConst(members))
            origins.insert(pid, cpuCgroupOf(pid));
        StoredRule rule{"family", true, {"busy-family"}};
        rule.action = action;
        rule.cpuLimit = 25;
        rule.shareLimit = true;
        storeRule(1, rule);
        launch();
        const auto inOneGroup = [&] {
            const QByteArray group = cpuCgroupOf(members.first());
            return group.contains("/corvane/") &&
                   std::all_of(members.cbegin(), members.cend(),
                               [&](qint64 pid) { return cpuCgroupOf(pid) == group; });
        };
        QTRY_VERIFY_WITH_TIMEOUT(inOneGroup(), 30000);
        const QString group = ProcFsProbe::cpuCgroupPath(cpuCgroupOf(members.first()));
        if (action == 0) {
            QCOMPARE(ProcFsProbe::cpuQuotaOf(members.first()),
                     QByteArray::number(qint64(25000) * ::sysconf(_SC_NPROCESSORS_ONLN)));
        } else {
            // Every member, and whatever they start, frozen by the kernel.
            const auto frozen = [&group] {
                QFile events(group + "/cgroup.events");
                return events.open(QIODevice::ReadOnly) && events.readAll().contains("frozen 1");
            };
            QTRY_VERIFY(frozen());
        }
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        QVERIFY(program.waitForFinished(30000) && program.exitCode() == 0);
        for (qint64 pid : qAsConst(members)) {
            QCOMPARE(cpuCgroupOf(pid), origins.value(pid));
            QTRY_VERIFY(!isStopped(pid));
            ::kill(pid_t(pid), SIGKILL);
        }
        for (QProcess &family : families)
            family.waitForFinished();
        QVERIFY(!QFile::exists(group));
    }

    void aBigFamilyIsHeldWhole()
    {
        // What a build or a browser can have: two thousand members.
        const QString parent = store.path("big-family");
        QVERIFY(QFile::copy("/bin/sh", parent));
        KilledAtEnd family;
        family.start(parent, {"-c", "for i in $(seq 2000); do sleep 600 & done; echo up; wait"});
        QVERIFY(family.waitForReadyRead(60000));
        QList<qint64> members = childrenOf(family.processId()) << family.processId();
        const auto killAll = qScopeGuard([&members] {
            for (qint64 pid : qAsConst(members))
                ::kill(pid_t(pid), SIGKILL);
        });
        QCOMPARE(members.size(), 2001);
        const auto inGroups = [&members](const QByteArray &part) {
            return std::count_if(members.cbegin(), members.cend(),
                                 [&](qint64 pid) { return cpuCgroupOf(pid).contains(part); });
        };
        const QByteArray origin = cpuCgroupOf(family.processId());
        StoredRule rule{"big", true, {"big-family"}};
        rule.cpuLimit = 25;
        rule.shareLimit = true;
        storeRule(1, rule);
        launch();
        QTRY_VERIFY_WITH_TIMEOUT(inGroups("/corvane/") == members.size(), 60000);
        QCOMPARE(inGroups(cpuCgroupOf(family.processId())), members.size());
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        QVERIFY(program.waitForFinished(30000) && program.exitCode() == 0);
        QCOMPARE(inGroups(origin), members.size());
    }
    void hostileFilesStopNothing_data()
    {
        QTest::addColumn<QString>("hostile"); // what stands where the program keeps a file
        QTest::addColumn<QString>("said");    // the line of the log that says so
        QTest::newRow("hand-written settings") << QString() << QString();
        QTest::newRow("settings FIFO") << "settings"
                                       << "is a FIFO; the rules stay";
        QTest::newRow("settings linked to a device") << "device"
                                                     << "is a character device";
        QTest::newRow("log FIFO") << "log"
                                  << "corvane.log\" is a FIFO: it is not written";
        QTest::newRow("hold record FIFO") << "record"
                                          << "/run/corvane/run-1-1\" is a FIFO";
    }
    void hostileFilesStopNothing()
    {
        QFETCH(QString, hostile);
        QFETCH(QString, said);
        const QString fifo = hostile == "settings" ? settingsPath()
                             : hostile == "log"    ? logPath()
                             : hostile == "record" ? QStringLiteral("/run/corvane/run-1-1")
                                                   : QString();
        const QByteArray settings = QFile::encodeName(settingsPath()),
                         zero = QFile::encodeName(store.path("zero"));
        // A hand edit that Qt would write otherwise: a run leaves it word for word.
        const QByteArray handWritten = "; mine\n[rules]\n{2}\\name=night; until Friday\n"
                                       "{2}\\enabled=2\n{2}\\target\\action=1\n"
                                       "{2}\\target\\selectedProcesses\\1\\value=" +
                                       QFile::encodeName(otherTarget.program()) +
                                       "\n{2}\\target\\selectedProcesses\\size=1\n";
        QFile file(settingsPath());
        QVERIFY(QDir().mkpath(QFileInfo(file).path()) &&
                QDir().mkpath(QFileInfo(logPath()).path()) && QDir().mkpath("/run/corvane"));
        QFile::remove(fifo);
        if (hostile == "device") // the numbers of /dev/zero
            QVERIFY(::mknod(zero, S_IFCHR | 0600, makedev(1, 5)) == 0 &&
                    ::symlink(zero, settings) == 0);
        else if (hostile != "settings")
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(handWritten) > 0);
        file.close();
        QVERIFY(fifo.isEmpty() || ::mkfifo(QFile::encodeName(fifo), 0600) == 0);
        const auto removeFifo = qScopeGuard([&fifo] { fifo.isEmpty() || QFile::remove(fifo); });
        struct stat before, after;
        QVERIFY(::stat(settings, &before) == 0);
        launch();
        QByteArray errors;
        const auto sayings = [&] {
            return (errors += program.readAllStandardError()).count(said.toUtf8());
        };
        const bool rules = hostile != "settings" && hostile != "device";
        QTRY_VERIFY_WITH_TIMEOUT(rules ? suspended() : sayings() > 0, 30000);
        QVERIFY(::kill(pid_t(program.processId()), SIGTERM) == 0);
        QVERIFY(program.waitForFinished(30000) && program.exitCode() == 0);
        QVERIFY(!suspended() && (said.isEmpty() || sayings() == 1));
        // The settings as they were: the same file, or the same device, untouched.
        QVERIFY(::stat(settings, &after) == 0 && after.st_ino == before.st_ino &&
                after.st_mode == before.st_mode);
        QVERIFY(!rules || TestStore::contents(settingsPath()) == handWritten);
    }

private:
    // Stores the rules, capping at 25 % and suspending, and starts the
    // program without a display.
    void startProgram(const QString &capped, const QString &suspended, bool rulesEnabled = true)
    {
        StoredRule rule{capped, rulesEnabled, {capped}};
        rule.cpuLimit = 25;
        storeRule(1, rule);
        rule = {suspended, rulesEnabled, {suspended}};
        rule.action = 1; // suspend
        storeRule(2, rule);
        launch();
    }
    void launch()
    {
        // No display: the program must find that out itself and run without one.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QLatin1String(name));
        program.setProcessEnvironment(environment);
        shield.start(program, QStringLiteral(CORVANE_EXECUTABLE));
        QVERIFY(program.waitForStarted(5000));
    }
    QString settingsPath() const { return store.path("config/Veltrom/Corvane.conf"); }
    QString logPath() const { return store.path("data/Veltrom/Corvane/corvane.log"); }
    bool capped() const { return cpuCgroupOf(target.processId()).contains("/corvane/"); }
    bool suspended() const { return isStopped(otherTarget.processId()); }
    QString log() const { return QString::fromUtf8(TestStore::contents(logPath())); }
    static qint64 childOf(qint64 pid, const QByteArray &name)
    {
        return childrenOf(pid, name).value(0);
    }
    void bootKernel(const QString &row)
    {
        const QString kernel = QStandardPaths::findExecutable(QStringLiteral("linux.uml"));
        KV_REQUIRE_CAPABILITY(!kernel.isEmpty(), "linux.uml (package user-mode-linux) is missing");
        KV_REQUIRE_CAPABILITY(::geteuid() == 0,
                              "the kernel runs in a PID namespace, which needs root");
        // The kernel keeps its pid file and control socket in the build tree. As
        // the first process of a PID namespace that dies with this test, it
        // takes every host process of it along when it ends, however it ends.
        QTemporaryDir scratch(QStringLiteral(BUILD_DIR "/uml-XXXXXX"));
        QVERIFY(scratch.isValid());
        QProcess uml;
        uml.setProcessChannelMode(QProcess::MergedChannels);
        uml.setStandardInputFile(QProcess::nullDevice());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(UML_SHIM));
        uml.setProcessEnvironment(environment);
        const QStringList arguments =
            QStringLiteral("--pdeathsig KILL unshare --pid --fork --kill-child %1 mem=512M "
                           "rootfstype=hostfs rootflags=/ rw quiet con=null con0=null,fd:1 umid=kv "
                           "init=" UML_INIT " KV_BUILD=" BUILD_DIR
                           " CORVANE_MEASUREMENT_HOST=127.0.0.1:1 %2=%3 uml_dir=%4 KV_TEST=%5 "
                           "KV_FUNCTION=%6:%3")
                .arg(kernel, QString::fromLatin1(rowVariable), row, scratch.path(),
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

    TestStore store;
    const ShieldedProgramStart shield; // until the program has ended
    KvCgroupCpuTree tree;
    QString liveRunGroup;
    SleepingCopy target{store.path("corvane-test-capped")};
    SleepingCopy otherTarget{store.path("corvane-test-suspended")};
    QProcess program;
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
