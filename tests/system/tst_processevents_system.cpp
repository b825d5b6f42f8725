// Process events from the real machine, through both Linux sources: the
// kernel's process connector (needs root or CAP_NET_ADMIN) and /proc polling.
// The processes observed are copies of this executable run in child modes.

#include "SystemTest.h"
#include "notifiers/KvProcessNotifier.h"
#include "platform/linux/KvLinuxProcessEvents.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Children live until the test closes their stdin: however slowly a loaded
// machine lets the test look at them, they are still there when it does.
void waitForEndOfInput()
{
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
}

// Child modes, run as "<copy> --child <mode> [more arguments]".
int runChild(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const std::string mode = argv[2];
    if (mode == "wait") {
        waitForEndOfInput();
        return 0;
    }
    if (mode == "thread") {
        std::thread worker([] { sleepMs(100); });
        worker.join();
        std::printf("thread-ended\n");
        std::fflush(stdout);
        waitForEndOfInput();
        return 0;
    }
    if (mode == "leader-exit") {
        // The main thread ends first; the process lives on in its worker.
        static pthread_t leader = pthread_self();
        pthread_t worker;
        pthread_create(
            &worker, nullptr,
            [](void *) -> void * {
                pthread_join(leader, nullptr);
                std::printf("leader-ended\n");
                std::fflush(stdout);
                waitForEndOfInput();
                std::exit(0);
            },
            nullptr);
        sleepMs(50);
        pthread_exit(nullptr);
    }
    if (mode == "fork") {
        const pid_t child = ::fork();
        if (child == 0) {
            waitForEndOfInput();
            ::_exit(0);
        }
        std::printf("%d\n", static_cast<int>(child));
        std::fflush(stdout);
        int status = 0;
        ::waitpid(child, &status, 0);
        return 0;
    }
    return 2;
}

} // namespace

class TestProcessEventsSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startedProcessIsReportedWithPathParentAndCommandLine_data() { sources(); }
    void startedProcessIsReportedWithPathParentAndCommandLine();
    void threadEndInsideLiveProcessIsNoProcessEnd_data() { sources(); }
    void threadEndInsideLiveProcessIsNoProcessEnd();
    void processOutlivingItsLeaderThreadEndsWithItsLastThread_data() { sources(); }
    void processOutlivingItsLeaderThreadEndsWithItsLastThread();
    void forkedChildThatNeverExecutesIsReported_data() { sources(); }
    void forkedChildThatNeverExecutesIsReported();

private:
    void sources();
    bool prepareSource();
    int startedCount(DWORD processId) const;
    const KvProcessInfo *startedRecord(DWORD processId) const;

    QTemporaryDir m_directory;
    QString m_childPath;
    KvLinuxProcessEvents m_events;
    KvProcessNotifier *m_notifier = nullptr;
    QList<KvProcessInfo> m_started;
    QList<DWORD> m_ended;
    std::unique_ptr<KvProcessEventSource> m_raw;
    QHash<DWORD, QString> m_rawCommandLines;
    QList<DWORD> m_rawDeleted;
};

void TestProcessEventsSystem::initTestCase()
{
    QVERIFY(m_directory.isValid());
    // A directory with a blank, so that the command line must quote it.
    QVERIFY(QDir(m_directory.path()).mkpath(QStringLiteral("with blank")));
    m_childPath = m_directory.filePath(QStringLiteral("with blank/eventchild"));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), m_childPath));
    QVERIFY(QFile::setPermissions(m_childPath, QFile::ReadOwner | QFile::ExeOwner));
}

void TestProcessEventsSystem::sources()
{
    QTest::addColumn<bool>("connector");
    QTest::newRow("process connector") << true;
    QTest::newRow("polling") << false;
}

bool TestProcessEventsSystem::prepareSource()
{
    QFETCH(bool, connector);
    m_events.setConnectorAllowed(connector);
    KvPlatformProcessEvents::install(&m_events);
    if (connector) {
        const std::unique_ptr<KvProcessEventSource> probe = m_events.subscribe();
        if (!probe->description().contains(QLatin1String("connector"))) {
            const QByteArray reason =
                "process connector unavailable here: " + probe->description().toUtf8();
            kvSkipOrFailAt(QString::fromUtf8(reason), __FILE__, __LINE__);
            return false;
        }
    }
    // A second subscription shows what the source itself reports, without
    // the notifier's once-a-second check (which may report an end before
    // the source does, and the source's report then repeats it).
    m_raw = m_events.subscribe();
    connect(m_raw.get(), &KvProcessEventSource::instanceCreated, this,
            [this](const KvPropertyList &properties) {
                DWORD id = 0;
                QString commandLine;
                for (const auto &property : properties) {
                    if (property.first == QLatin1String("Handle"))
                        id = property.second.toString().toUInt();
                    else if (property.first == QLatin1String("CommandLine"))
                        commandLine = property.second.toString();
                }
                m_rawCommandLines.insert(id, commandLine);
            });
    connect(m_raw.get(), &KvProcessEventSource::instanceDeleted, this,
            [this](const KvPropertyList &properties) {
                m_rawDeleted.append(properties.value(0).second.toString().toUInt());
            });
    m_notifier = new KvProcessNotifier;
    connect(m_notifier, &KvProcessNotifier::started, this,
            [this](const KvProcessInfo &info) { m_started.append(info); });
    connect(m_notifier, &KvProcessNotifier::ended, this, [this](DWORD id) { m_ended.append(id); });
    return true;
}

void TestProcessEventsSystem::init()
{
    m_started.clear();
    m_ended.clear();
    m_rawCommandLines.clear();
    m_rawDeleted.clear();
}

void TestProcessEventsSystem::cleanup()
{
    delete m_notifier;
    m_notifier = nullptr;
    m_raw.reset();
    KvPlatformProcessEvents::install(nullptr);
}

int TestProcessEventsSystem::startedCount(DWORD processId) const
{
    int count = 0;
    for (const KvProcessInfo &info : m_started)
        count += info.processId == processId ? 1 : 0;
    return count;
}

const KvProcessInfo *TestProcessEventsSystem::startedRecord(DWORD processId) const
{
    for (const KvProcessInfo &info : m_started) {
        if (info.processId == processId)
            return &info;
    }
    return nullptr;
}

void TestProcessEventsSystem::startedProcessIsReportedWithPathParentAndCommandLine()
{
    if (!prepareSource())
        return;
    QProcess child;
    child.start(m_childPath, {QStringLiteral("--child"), QStringLiteral("wait"),
                              QStringLiteral("two words"), QStringLiteral("plain")});
    QVERIFY(child.waitForStarted());
    const DWORD childId = static_cast<DWORD>(child.processId());

    QTRY_VERIFY_WITH_TIMEOUT(startedRecord(childId), 30000);
    const KvProcessInfo record = *startedRecord(childId);
    QCOMPARE(record.fileInfo.filePath(), m_childPath);
    QCOMPARE(record.parentProcessId, static_cast<DWORD>(QCoreApplication::applicationPid()));
    QTRY_VERIFY_WITH_TIMEOUT(m_rawCommandLines.contains(childId), 30000);
    QCOMPARE(m_rawCommandLines.value(childId),
             QStringLiteral("\"%1\" --child wait \"two words\" plain").arg(m_childPath));

    child.closeWriteChannel();
    QVERIFY(child.waitForFinished(30000));
    QTRY_VERIFY_WITH_TIMEOUT(m_ended.contains(childId), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(m_rawDeleted.count(childId), 1, 30000);
    QCOMPARE(startedCount(childId), 1);
    QVERIFY(!m_notifier->knownProcessIds().contains(childId));
}

void TestProcessEventsSystem::threadEndInsideLiveProcessIsNoProcessEnd()
{
    if (!prepareSource())
        return;
    QProcess child;
    child.start(m_childPath, {QStringLiteral("--child"), QStringLiteral("thread")});
    QVERIFY(child.waitForStarted());
    const DWORD childId = static_cast<DWORD>(child.processId());

    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += child.readAllStandardOutput()).contains("thread-ended"),
                             30000);
    // Long enough for either source to have reported an end if it took the
    // thread's for one.
    QTest::qWait(600);
    QVERIFY(!m_ended.contains(childId));
    QVERIFY(child.state() == QProcess::Running);

    child.closeWriteChannel();
    QVERIFY(child.waitForFinished(30000));
    QTRY_VERIFY_WITH_TIMEOUT(m_ended.contains(childId), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(m_rawDeleted.count(childId), 1, 30000);
}

void TestProcessEventsSystem::processOutlivingItsLeaderThreadEndsWithItsLastThread()
{
    if (!prepareSource())
        return;
    QProcess child;
    child.start(m_childPath, {QStringLiteral("--child"), QStringLiteral("leader-exit")});
    QVERIFY(child.waitForStarted());
    const DWORD childId = static_cast<DWORD>(child.processId());

    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += child.readAllStandardOutput()).contains("leader-ended"),
                             30000);
    QTest::qWait(700);
    QVERIFY(child.state() == QProcess::Running);
    QVERIFY(!m_ended.contains(childId));

    child.closeWriteChannel();
    QVERIFY(child.waitForFinished(30000));
    QTRY_VERIFY_WITH_TIMEOUT(m_ended.contains(childId), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(m_rawDeleted.count(childId), 1, 30000);
}

void TestProcessEventsSystem::forkedChildThatNeverExecutesIsReported()
{
    if (!prepareSource())
        return;
    QProcess child;
    child.start(m_childPath, {QStringLiteral("--child"), QStringLiteral("fork")});
    QVERIFY(child.waitForStarted());
    const DWORD childId = static_cast<DWORD>(child.processId());

    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += child.readAllStandardOutput()).contains('\n'), 30000);
    const DWORD forkedId = output.trimmed().toUInt();
    QVERIFY(forkedId != 0);

    QTRY_VERIFY_WITH_TIMEOUT(startedRecord(forkedId), 30000);
    const KvProcessInfo record = *startedRecord(forkedId);
    QCOMPARE(record.fileInfo.filePath(), m_childPath);
    QCOMPARE(record.parentProcessId, childId);

    child.closeWriteChannel();
    QVERIFY(child.waitForFinished(30000));
    QTRY_VERIFY_WITH_TIMEOUT(m_ended.contains(forkedId), 30000);
    QCOMPARE(startedCount(forkedId), 1);
}

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestProcessEventsSystem test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processevents_system.moc"
