#include "SystemTest.h"
#include "TestStore.h"
#include "platform/linux/KvLinuxProcesses.h"

#include <QDir>
#include <QMultiHash>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <atomic>
#include <cstdio>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Process events from the real machine, through both Linux sources: the
// kernel's process connector (needs root) and /proc polling.
namespace {

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

// The test run again as "thread": at a line on stdin it starts a thread,
// prints the thread's id and ends the process at once, the thread still
// running.
int runThreadChild()
{
    char byte = 0;
    if (::read(STDIN_FILENO, &byte, 1) != 1)
        return 1;
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

// A source of the kind asked for, and what it reported.
struct Events
{
    explicit Events(bool connector)
    {
        processes.setConnectorAllowed(connector);
        source = processes.watch();
        QObject::connect(
            source.get(), &KvProcessEventSource::started,
            [this](const KvProcessEntry &entry) { started.insert(entry.processId, entry); });
        QObject::connect(source.get(), &KvProcessEventSource::ended,
                         [this](quint32 id) { ended << id; });
    }
    bool isFrom(bool connector) const
    {
        return source->description().contains(connector ? "connector" : "polling");
    }
    bool childOf(quint32 parent) const
    {
        for (const KvProcessEntry &entry : started) {
            if (entry.parentProcessId == parent)
                return true;
        }
        return false;
    }
    KvLinuxProcesses processes;
    std::unique_ptr<KvProcessEventSource> source;
    QMultiHash<quint32, KvProcessEntry> started;
    QList<quint32> ended;
};

} // namespace

class TestProcessEvents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startsAndEnds_data();
    void startsAndEnds();
    void aThreadIsNoProcess_data() { startsAndEnds_data(); }
    void aThreadIsNoProcess();

private:
    TestStore store;
    const QString program = store.path("with blank/shell");
    const quint32 self = quint32(::getpid());
};

void TestProcessEvents::initTestCase()
{
    QVERIFY(QDir().mkpath(QFileInfo(program).path()));
    QVERIFY(QFile::copy(QStandardPaths::findExecutable("sh"), program));
}

void TestProcessEvents::startsAndEnds_data()
{
    QTest::addColumn<bool>("connector");
    QTest::newRow("process connector") << true;
    QTest::newRow("polling") << false;
}

void TestProcessEvents::startsAndEnds()
{
    QFETCH(bool, connector);
    Events events(connector);
    KV_REQUIRE_CAPABILITY(events.isFrom(connector), events.source->description());
    QProcess shell;
    shell.start(program, {"-c", "read line", "two words"});
    QVERIFY(shell.waitForStarted());
    const quint32 shellId = quint32(shell.processId());
    int talk[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, talk) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(talk[0]);
        runForkedChild(talk[1]);
    }
    const quint32 childId = quint32(child);

    QTRY_VERIFY_WITH_TIMEOUT(events.started.contains(shellId) && events.started.contains(childId),
                             30000);
    QCOMPARE(events.started.value(shellId).path, program);
    QCOMPARE(events.started.value(shellId).parentProcessId, self);
    QCOMPARE(events.started.value(childId).path, QCoreApplication::applicationFilePath());
    QCOMPARE(events.started.value(childId).parentProcessId, self);

    // Neither the thread that ended nor the main thread ends the process
    // while another thread runs: long enough for either source to have
    // reported it otherwise.
    char byte = 0;
    QVERIFY(::write(talk[0], &byte, 1) == 1 && ::read(talk[0], &byte, 1) == 1);
    QTest::qWait(700);
    QVERIFY(!events.ended.contains(childId));

    QVERIFY(::write(talk[0], &byte, 1) == 1);
    shell.closeWriteChannel();
    QVERIFY(shell.waitForFinished() && ::waitpid(child, nullptr, 0) == child);
    QTRY_VERIFY_WITH_TIMEOUT(events.ended.contains(shellId) && events.ended.contains(childId),
                             30000);
    QCOMPARE(events.ended.count(childId), 1);
    QCOMPARE(events.started.count(shellId) + events.started.count(childId), 2);
    ::close(talk[0]);
    ::close(talk[1]);
}

void TestProcessEvents::aThreadIsNoProcess()
{
    QFETCH(bool, connector);
    Events events(connector);
    KV_REQUIRE_CAPABILITY(events.isFrom(connector), events.source->description());
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"thread"});
    QVERIFY(child.waitForStarted());
    const quint32 id = quint32(child.processId());
    QTRY_VERIFY_WITH_TIMEOUT(events.started.contains(id), 30000);

    // It starts a thread and ends at once: its end is heard, the thread is
    // no process of its own, and the process started once, by the test.
    child.write("\n");
    QVERIFY(child.waitForFinished(30000) && child.exitCode() == 0);
    const quint32 thread = child.readAllStandardOutput().trimmed().toUInt();
    QVERIFY(thread != 0 && thread != id);
    QTRY_VERIFY_WITH_TIMEOUT(events.ended.contains(id), 30000);
    QTest::qWait(700); // for what a thread taken for a process would bring
    QCOMPARE(events.started.count(id), 1);
    QCOMPARE(events.started.value(id).parentProcessId, self);
    QCOMPARE(events.ended.count(id), 1);
    QVERIFY(!events.started.contains(thread) && !events.ended.contains(thread));
    QVERIFY(!events.childOf(id));
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "thread") == 0)
        return runThreadChild();
    QCoreApplication application(argc, argv);
    TestProcessEvents test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processevents.moc"
