// Process events of the real machine through the process connector (needs
// root) and /proc polling; a storm of them through the connector to rules;
// and a rule that caps what is busy, on real busy and quiet processes.

#include "LogTail.h"
#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/KvPlatformCpuGroups.h"
#include "platform/linux/KvCgroupCpuTree.h"
#include "platform/linux/KvLinuxProcesses.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// A child of the test that never runs a program. One of its threads ends at
// once; when told, its main thread ends while a worker lives on, which says
// so and ends the process when told again (or when the test has gone).
[[noreturn]] void runForkedChild(int socket)
{
    std::thread([] {}).join();
    char byte = 0;
    if (::read(socket, &byte, 1) == 1) {
        std::thread([socket, leader = pthread_self()] {
            char byte = 0;
            pthread_join(leader, nullptr);
            const bool told = ::write(socket, &byte, 1) == 1;
            ::_exit(told && ::read(socket, &byte, 1) == 1 ? 0 : 1);
        }).detach();
        // Only this thread ends, without unwinding the test's stack.
        ::syscall(SYS_exit, 0);
    }
    ::_exit(1);
}

// A copy of the test run as "thread": at a line on stdin it starts a thread,
// prints the thread's id and ends at once, the thread still running.
[[noreturn]] void runThreadChild()
{
    char byte = 0;
    if (::read(STDIN_FILENO, &byte, 1) != 1)
        ::_exit(1);
    std::atomic<long> thread{0};
    std::thread([&thread] {
        thread = ::syscall(SYS_gettid);
        ::pause();
    }).detach();
    while (thread == 0)
        std::this_thread::yield();
    std::printf("%ld\n", thread.load());
    std::fflush(stdout);
    ::_exit(0);
}

class TestProcessEvents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(QFileInfo(program).path()));
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
    }
    void startsAndEnds_data()
    {
        QTest::addColumn<bool>("connector");
        QTest::newRow("process connector") << true;
        QTest::newRow("polling") << false;
    }
    void startsAndEnds()
    {
        QFETCH(bool, connector);
        KvLinuxProcesses processes;
        processes.setConnectorAllowed(connector);
        const std::unique_ptr<KvProcessEventSource> source = processes.watch();
        KV_REQUIRE_CAPABILITY(source->description().contains(connector ? "connector" : "polling"),
                              source->description());
        QMultiHash<quint32, KvProcessEntry> started;
        QList<quint32> ended;
        connect(source.get(), &KvProcessEventSource::started,
                [&](const KvProcessEntry &entry) { started.insert(entry.processId, entry); });
        connect(source.get(), &KvProcessEventSource::ended, [&](quint32 id) { ended << id; });
        QProcess threading;
        threading.start(program, {"thread"});
        QVERIFY(threading.waitForStarted());
        const quint32 threadingId = quint32(threading.processId()), self = quint32(::getpid());
        int talk[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, talk) == 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(talk[0]);
            runForkedChild(talk[1]);
        }
        const quint32 childId = quint32(child);
        QTRY_VERIFY_WITH_TIMEOUT(started.contains(threadingId) && started.contains(childId), 30000);
        QCOMPARE(started.value(threadingId).path, program);
        QCOMPARE(started.value(threadingId).parentProcessId, self);
        QCOMPARE(started.value(childId).path, QCoreApplication::applicationFilePath());
        QCOMPARE(started.value(childId).parentProcessId, self);
        // Neither the thread that ended nor the main thread ends the process while another thread
        // runs: long enough for either source to have reported it otherwise.
        char byte = 0;
        QVERIFY(::write(talk[0], &byte, 1) == 1 && ::read(talk[0], &byte, 1) == 1);
        QTest::qWait(700);
        QVERIFY(!ended.contains(childId));
        // A process that starts a thread and ends right away: the thread is no
        // process, and the end is heard.
        threading.write("\n");
        QVERIFY(threading.waitForFinished(30000) && threading.exitCode() == 0);
        const quint32 thread = threading.readAllStandardOutput().trimmed().toUInt();
        QVERIFY(thread != 0 && thread != threadingId);
        QVERIFY(::write(talk[0], &byte, 1) == 1 && ::waitpid(child, nullptr, 0) == child);
        QTRY_VERIFY_WITH_TIMEOUT(ended.contains(threadingId) && ended.contains(childId), 30000);
        QTest::qWait(700); // for what a thread taken for a process would bring
        QVERIFY(ended.count(childId) == 1 && ended.count(threadingId) == 1);
        QVERIFY(started.count(childId) == 1 && started.count(threadingId) == 1);
        QVERIFY(!started.contains(thread) && !ended.contains(thread));
        for (const KvProcessEntry &entry : qAsConst(started))
            QVERIFY(entry.parentProcessId != threadingId);
        ::close(talk[0]);
        ::close(talk[1]);
    }
    void everyTargetOfAStormIsStoppedAndNothingEndedStays()
    {
        KV_REQUIRE_CAPABILITY(KvLinuxProcesses().watch()->description().contains("connector"),
                              "the process connector cannot be opened here (needs root)");
        const QString target = store.path(QStringLiteral("corvane-storm-target"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), target));
        StoredRule rule{QStringLiteral("storm"), true, {QStringLiteral("corvane-storm-target")}};
        rule.action = 1; // suspend
        storeRule(0x5707, rule);
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        const Rule &stopper = *engine.rule(0x5707);
        // 3,000 programs and as many children that never run one; every hundredth program a target,
        // which lives long enough that only a lost or mishandled start can let it go unstopped.
        QProcess storm;
        const QString pids = store.path(QStringLiteral("targets"));
        storm.start("sh",
                    {"-c",
                     "i=0; while [ $i -lt 3000 ]; do /bin/true; (exit 0); if [ $((i % 100)) = 50 "
                     "]; then \"$0\" 5 & echo $! >>\"$1\"; fi; i=$((i + 1)); done",
                     target, pids});
        QTRY_VERIFY_WITH_TIMEOUT(storm.state() == QProcess::NotRunning, 240000);
        QFile file(pids);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> targets = file.readAll().trimmed().split('\n');
        QCOMPARE(targets.size(), 30);
        for (const QByteArray &pid : targets) {
            QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(pid.toLongLong()), 3000);
            QVERIFY(stopper.restrictedProcessIds().contains(pid.toUInt()));
            ::kill(pid.toInt(), SIGKILL);
        }

        // What has ended must go from every table; a process that ends right
        // now may still be on its way, so only what stays too long counts.
        const auto endedInTables = [&] {
            const auto &governed = engine.governor().processes();
            const KvProcessNotifier &notifier = engine.processNotifier();
            QSet<quint32> gone, ids = QSet<quint32>(governed.keyBegin(), governed.keyEnd()) +
                                      notifier.knownProcessIds() +
                                      notifier.preexistingProcessIds() +
                                      stopper.restrictedProcessIds();
            for (quint32 id : qAsConst(ids)) {
                if (!QFile::exists(QStringLiteral("/proc/%1").arg(id)))
                    gone.insert(id);
            }
            return gone;
        };
        const QSet<quint32> gone = endedInTables();
        QTRY_COMPARE_WITH_TIMEOUT(endedInTables().intersect(gone), QSet<quint32>(), 10000);
    }
    void aBusyTargetIsCappedUntilCalm()
    {
        KV_REQUIRE_CAPABILITY(::geteuid() == 0 && KvPlatformCpuGroups::current().available(),
                              "capping needs root and a cgroup with the cpu controller");
        // Copies of yes and sleep: the rule reaches nothing else.
        const SleepingCopy hog(store.path("corvane-busy-hog"), "yes");
        const SleepingCopy quiet(store.path("corvane-busy-quiet"));
        StoredRule rule{QStringLiteral("hogs"), true, {store.path("corvane-busy-*")}};
        rule.cpuLimit = 10;
        rule.onlyWhenBusy = true;
        rule.busySeconds = 2;
        rule.calmSeconds = 3;
        storeRule(0xb5, rule);
        LogTail log;
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        const auto capped = [](const SleepingCopy &copy) {
            return ProcFsProbe::cpuCgroupOf(copy.processId()).contains("/corvane/");
        };
        QTRY_VERIFY_WITH_TIMEOUT(capped(hog), 30000);
        // Pressing against its cap, it stays capped; the quiet one is never.
        QTest::qWait(5000);
        QVERIFY(capped(hog) && !capped(quiet));
        const QString group = ProcFsProbe::cpuCgroupPath(ProcFsProbe::cpuCgroupOf(hog.processId()));
        quint64 heldBack = 0;
        QVERIFY(KvCgroupCpuTree::timesHeldBack(group, heldBack) && heldBack > 0);
        // Stopped, it is calm: let go.
        ::kill(pid_t(hog.processId()), SIGSTOP);
        QTRY_VERIFY_WITH_TIMEOUT(!capped(hog), 30000);
        ::kill(pid_t(hog.processId()), SIGCONT);
        // Held after its busy time, let go after its calm time (or later, should samples be late).
        const QString process =
            QStringLiteral(" process #%1 \\(corvane-busy-hog\\): ").arg(hog.processId());
        const QString said = log.lines().filter("rule \"hogs\" ").join('\n');
        QVERIFY2(said.contains(
                     QRegularExpression("holds" + process +
                                        "busy at \\d+ % of the machine for ([2-9]|\\d\\d+) s\n.* "
                                        "lets go of" +
                                        process + "calm for ([3-9]|\\d\\d+) s, let go")),
                 qPrintable(said));
    }

private:
    TestStore store;
    const QString program = store.path("with blank/events child");
};

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "thread") == 0)
        runThreadChild();
    QCoreApplication application(argc, argv);
    TestProcessEvents test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processevents.moc"
