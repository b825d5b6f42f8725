#include "SystemTest.h"
#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvLinuxHandleTable.h"
#include "process/KvHandle.h"
#include "process/KvProcessSnapshot.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>

namespace {

const KvProcessInfo *findProcess(const QList<KvProcessInfo> &list, DWORD processId)
{
    for (const KvProcessInfo &process : list) {
        if (process.processId == processId)
            return &process;
    }
    return nullptr;
}

// Starts the three-thread child from program (a copy of it, maybe) and
// waits until its threads run.
std::unique_ptr<QProcess> startChild(const QString &program)
{
    auto child = std::make_unique<QProcess>();
    child->start(program, QStringList());
    if (!child->waitForStarted(30000) || !child->waitForReadyRead(30000) ||
        !child->readAll().startsWith("ready"))
        return nullptr;
    return child;
}

void stopChild(QProcess &child)
{
    child.closeWriteChannel();
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(30000);
    }
}

} // namespace

class LinuxProcessesTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void childIsInTheSnapshotWithItsFullPath();
    void longExecutableNamesAreKeptWhole();
    void threadsOfAChild();
    void endedProcessIsNeverReached();
    void currentProcessDescribesItself();
    void snapshotsLeaveNoHandleOpen();
};

void LinuxProcessesTest::initTestCase()
{
    KV_REQUIRE_CAPABILITY(QFile::exists(QStringLiteral("/proc/self/stat")), "/proc is not mounted");
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    const HANDLE self = kernel.openProcess(KvPlatformKernel::ProcessQueryLimitedInformation,
                                           kernel.currentProcessId());
    KV_REQUIRE_CAPABILITY(self, "the kernel cannot open processes as pidfds (pidfd_open)");
    kernel.closeHandle(self);
}

void LinuxProcessesTest::childIsInTheSnapshotWithItsFullPath()
{
    const std::unique_ptr<QProcess> child = startChild(QStringLiteral(THREE_CHILD));
    QVERIFY(child);
    const DWORD childId = DWORD(child->processId());

    QVERIFY(snapshotProcessIds().contains(childId));
    for (const int flags : {0, int(SkipUnnamed | SkipUnresolved)}) {
        const QList<KvProcessInfo> processes = snapshotProcesses(flags);
        const KvProcessInfo *record = findProcess(processes, childId);
        QVERIFY2(record, qPrintable(QStringLiteral("flags %1").arg(flags)));
        QCOMPARE(record->fileInfo.filePath(),
                 QFileInfo(QStringLiteral(THREE_CHILD)).canonicalFilePath());
        QCOMPARE(record->parentProcessId, DWORD(QCoreApplication::applicationPid()));
    }
    stopChild(*child);
    QVERIFY(!snapshotProcessIds().contains(childId));
}

void LinuxProcessesTest::longExecutableNamesAreKeptWhole()
{
    // The kernel's own name of a task is cut to 15 bytes.
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString name = QStringLiteral("a-rather-long-executable-name");
    const QString copy = directory.filePath(name);
    QVERIFY(QFile::copy(QStringLiteral(THREE_CHILD), copy));
    QVERIFY(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ExeOwner));

    const std::unique_ptr<QProcess> child = startChild(copy);
    QVERIFY(child);
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    const KvHandle snapshot = KvHandle::createSnapshot(KvPlatformKernel::SnapProcess);
    KvProcessEntry entry;
    QString seen;
    for (bool more = kernel.process32First(snapshot.get(), entry); more;
         more = kernel.process32Next(snapshot.get(), entry)) {
        if (entry.processId == DWORD(child->processId()))
            seen = entry.exeFile;
    }
    stopChild(*child);
    QCOMPARE(seen, name);
}

void LinuxProcessesTest::threadsOfAChild()
{
    const std::unique_ptr<QProcess> child = startChild(QStringLiteral(THREE_CHILD));
    QVERIFY(child);
    const DWORD childId = DWORD(child->processId());
    const QList<KvThreadInfo> threads = snapshotThreads(childId);
    const QList<KvThreadInfo> ownThreads =
        snapshotThreads(DWORD(QCoreApplication::applicationPid()));
    stopChild(*child);
    QVERIFY(!ownThreads.isEmpty());

    QCOMPARE(threads.size(), 3);
    QSet<DWORD> ids;
    for (const KvThreadInfo &thread : threads) {
        QCOMPARE(thread.ownerProcessId, childId);
        // Same scheduling as the test that started it.
        QCOMPARE(thread.basePriority, ownThreads.first().basePriority);
        ids.insert(thread.threadId);
    }
    QCOMPARE(ids.size(), 3);
    QVERIFY(ids.contains(childId)); // the main thread carries the process id
    QVERIFY(snapshotThreads(childId).isEmpty());
}

void LinuxProcessesTest::endedProcessIsNeverReached()
{
    const std::unique_ptr<QProcess> child = startChild(QStringLiteral(THREE_CHILD));
    QVERIFY(child);
    const DWORD childId = DWORD(child->processId());
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    const KvHandle handle =
        KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, childId);
    QVERIFY(handle.isValid());
    QCOMPARE(kernel.processIdOf(handle.get()), childId);

    QString path;
    QVERIFY(kernel.queryFullProcessImageName(handle.get(), path));
    stopChild(*child);
    kernel.setLastError(0);
    QVERIFY(!kernel.queryFullProcessImageName(handle.get(), path));
    QVERIFY(kernel.lastError() != 0);

    // The id itself no longer opens (unless it was already given again).
    if (!snapshotProcessIds().contains(childId)) {
        QVERIFY(!kernel.openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, childId));
        QCOMPARE(kernel.lastError(), DWORD(ESRCH));
    }

    // Unknown handles fail with an error code, not a crash.
    QVERIFY(!kernel.queryFullProcessImageName(reinterpret_cast<HANDLE>(0x7), path));
    QCOMPARE(kernel.lastError(), DWORD(EBADF));
    QVERIFY(!kernel.closeHandle(reinterpret_cast<HANDLE>(0x7)));
}

void LinuxProcessesTest::currentProcessDescribesItself()
{
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    QCOMPARE(kernel.processIdOf(kernel.currentProcess()),
             DWORD(QCoreApplication::applicationPid()));
    KvProcessInfo self;
    self.processId = kernel.currentProcessId();
    self.resolveFilePath(kernel.currentProcess());
    QCOMPARE(self.fileInfo.filePath(),
             QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    QVERIFY(kernel.closeHandle(kernel.currentProcess()));
}

void LinuxProcessesTest::snapshotsLeaveNoHandleOpen()
{
    const int before = KvLinuxHandleTable::instance().size();
    snapshotProcesses(SkipUnnamed | SkipUnresolved);
    snapshotProcessIds();
    snapshotThreads(DWORD(QCoreApplication::applicationPid()));
    QCOMPARE(KvLinuxHandleTable::instance().size(), before);
}

QTEST_GUILESS_MAIN(LinuxProcessesTest)
#include "tst_linuxprocesses.moc"
