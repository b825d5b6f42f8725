#include "SystemTest.h"
#include "TestStore.h"
#include "platform/linux/KvLinuxProcessEvents.h"

#include <QDir>
#include <QMultiHash>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

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

} // namespace

class TestProcessEvents : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startsAndEnds_data();
    void startsAndEnds();

private:
    TestStore store;
    const QString program = store.path("with blank/shell");
};

void TestProcessEvents::initTestCase()
{
    // In a folder with a blank, so that the command line must quote it.
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
    KvLinuxProcessEvents events;
    events.setConnectorAllowed(connector);
    const std::unique_ptr<KvProcessEventSource> source = events.subscribe();
    KV_REQUIRE_CAPABILITY(source->description().contains(connector ? "connector" : "polling"),
                          source->description());
    QMultiHash<DWORD, QVariantMap> started;
    QList<DWORD> ended;
    connect(source.get(), &KvProcessEventSource::instanceCreated, this,
            [&](const KvPropertyList &properties) {
                QVariantMap record;
                for (const auto &property : properties)
                    record.insert(property.first, property.second);
                started.insert(record.value("Handle").toUInt(), record);
            });
    connect(source.get(), &KvProcessEventSource::instanceDeleted, this,
            [&](const KvPropertyList &properties) {
                ended.append(properties.value(0).second.toUInt());
            });

    QProcess shell;
    shell.start(program, {"-c", "read line", "two words"});
    QVERIFY(shell.waitForStarted());
    const DWORD shellId = DWORD(shell.processId());
    int talk[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, talk) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(talk[0]);
        runForkedChild(talk[1]);
    }
    const DWORD childId = DWORD(child), self = DWORD(::getpid());

    QTRY_VERIFY_WITH_TIMEOUT(started.contains(shellId) && started.contains(childId), 30000);
    QCOMPARE(started.value(shellId).value("ExecutablePath").toString(), program);
    QCOMPARE(started.value(shellId).value("ParentProcessId").toUInt(), self);
    QCOMPARE(started.value(childId).value("ExecutablePath").toString(),
             QCoreApplication::applicationFilePath());
    QCOMPARE(started.value(childId).value("ParentProcessId").toUInt(), self);

    // Neither the thread that ended nor the main thread ends the process
    // while another thread runs: long enough for either source to have
    // reported it otherwise.
    char byte = 0;
    QVERIFY(::write(talk[0], &byte, 1) == 1 && ::read(talk[0], &byte, 1) == 1);
    QTest::qWait(700);
    QVERIFY(!ended.contains(childId));

    QVERIFY(::write(talk[0], &byte, 1) == 1);
    shell.closeWriteChannel();
    QVERIFY(shell.waitForFinished() && ::waitpid(child, nullptr, 0) == child);
    QTRY_VERIFY_WITH_TIMEOUT(ended.contains(shellId) && ended.contains(childId), 30000);
    QCOMPARE(ended.count(childId), 1);
    QCOMPARE(started.count(shellId) + started.count(childId), 2);
    ::close(talk[0]);
    ::close(talk[1]);
}

QTEST_GUILESS_MAIN(TestProcessEvents)
#include "tst_processevents.moc"
