#include "platform/common/KvVersionResourceBuilder.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "process/KvHandle.h"
#include "process/KvProcessInfo.h"
#include "process/KvProcessSnapshot.h"

#include <QTest>

namespace {

QByteArray versionBlock(const QString &company, quint16 build)
{
    KvVersionResourceBuilder builder;
    builder.setFileVersion(1, 2, build, 0);
    builder.addStringTable(0x0409, 0x04B0,
                           {{QStringLiteral("CompanyName"), company},
                            {QStringLiteral("ProductName"), QStringLiteral("Product")}});
    return builder.build();
}

const KvProcessInfo *findProcess(const QList<KvProcessInfo> &list, DWORD processId)
{
    for (const KvProcessInfo &process : list) {
        if (process.processId == processId)
            return &process;
    }
    return nullptr;
}

// A handle object that counts how often it was closed.
class CountedObject : public KvSimulatedObject
{
public:
    explicit CountedObject(int &closes)
        : closes(closes)
    {}
    ~CountedObject() override { ++closes; }
    int &closes;
};

} // namespace

class ProcessRecordsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void systemPseudoProcessesGetTheirNames();
    void resolvingOpensTheProcessAndReadsTheImage();
    void pathWithDirectoryIsNotResolvedAgain();
    void failuresKeepTheBareName_data();
    void failuresKeepTheBareName();
    void handleToAnEndedProcessNeverReachesItsSuccessor();

    void snapshotFlagsLeaveOutRecords();
    void snapshotReadsVersionOfTheFullPath();
    void failedSnapshotsGiveNothing();
    void snapshotIdsAndThreads();
    void snapshotsCloseEveryHandle();

    void handleCopiesCloseOnce();

private:
    KvSimulatedMachine *machine = nullptr;
};

void ProcessRecordsTest::init()
{
    machine = new KvSimulatedMachine;
    machine->installAsCurrent();
}

void ProcessRecordsTest::cleanup()
{
    machine->uninstall();
    delete machine;
    machine = nullptr;
}

void ProcessRecordsTest::systemPseudoProcessesGetTheirNames()
{
    machine->addProcessWithId(0, QString()).exeFile = QStringLiteral("[System Process]");
    machine->addProcessWithId(4, QString()).exeFile = QStringLiteral("System");
    machine->clearCalls();

    KvProcessInfo idle;
    idle.processId = 0;
    idle.fileInfo = KvFileInfo(QStringLiteral("[System Process]"));
    idle.resolveFilePath();
    QCOMPARE(idle.fileInfo.filePath(), QStringLiteral("System Idle Process"));

    KvProcessInfo named;
    named.processId = 4;
    named.fileInfo = KvFileInfo(QStringLiteral("Registry"));
    named.resolveFilePath();
    QCOMPARE(named.fileInfo.filePath(), QStringLiteral("Registry"));

    KvProcessInfo unnamed;
    unnamed.processId = 4;
    unnamed.resolveFilePath();
    QCOMPARE(unnamed.fileInfo.filePath(), QStringLiteral("System"));

    // Neither is ever opened.
    QVERIFY(machine->calls().filter(QStringLiteral("OpenProcess")).isEmpty());

    const QList<KvProcessInfo> resolved = snapshotProcesses(SkipUnresolved);
    QVERIFY(!findProcess(resolved, 0));
    QVERIFY(!findProcess(resolved, 4));
    const QList<KvProcessInfo> all = snapshotProcesses(0);
    QCOMPARE(findProcess(all, 0)->fileInfo.fileName(), QStringLiteral("System Idle Process"));
    QCOMPARE(findProcess(all, 4)->fileInfo.fileName(), QStringLiteral("System"));
}

void ProcessRecordsTest::resolvingOpensTheProcessAndReadsTheImage()
{
    const DWORD id = machine->addProcess(QStringLiteral("C:/Games/game.exe"), 4);
    machine->setVersionBlock(QStringLiteral("C:/Games/game.exe"),
                             versionBlock(QStringLiteral("Contoso"), 3));
    machine->clearCalls();

    KvProcessInfo process;
    process.processId = id;
    process.fileInfo = KvFileInfo(QStringLiteral("game.exe"));
    process.resolveFilePath();

    QCOMPARE(process.fileInfo.filePath(), QStringLiteral("C:/Games/game.exe"));
    QCOMPARE(process.fileInfo.companyName(), QStringLiteral("Contoso"));
    QCOMPARE(process.fileInfo.version(), QVersionNumber(1, 2, 3));
    const QStringList calls = machine->calls();
    QCOMPARE(calls.filter(QStringLiteral("OpenProcess")),
             QStringList{QStringLiteral("OpenProcess(0x1000, %1)").arg(id)});
    QCOMPARE(calls.filter(QStringLiteral("CloseHandle")),
             QStringList{QStringLiteral("CloseHandle(process %1)").arg(id)});
    QCOMPARE(machine->openHandleCount(), 0);
}

void ProcessRecordsTest::pathWithDirectoryIsNotResolvedAgain()
{
    const DWORD id = machine->addProcess(QStringLiteral("C:/Games/game.exe"));
    KvProcessInfo process;
    process.processId = id;
    process.fileInfo = KvFileInfo(QStringLiteral("D:/Elsewhere/game.exe"));
    machine->clearCalls();
    process.resolveFilePath();
    QCOMPARE(process.fileInfo.filePath(), QStringLiteral("D:/Elsewhere/game.exe"));
    QVERIFY(machine->calls().filter(QStringLiteral("QueryFullProcessImageNameW")).isEmpty());

    // The handle form as well, for a relative path with a directory.
    process.fileInfo = KvFileInfo(QStringLiteral("bin/game.exe"));
    const KvHandle handle = KvHandle::openProcess(0x1000, id);
    process.resolveFilePath(handle.get());
    QCOMPARE(process.fileInfo.filePath(), QStringLiteral("bin/game.exe"));
}

void ProcessRecordsTest::failuresKeepTheBareName_data()
{
    QTest::addColumn<bool>("openFails");
    QTest::newRow("process cannot be opened") << true;
    QTest::newRow("image name cannot be queried") << false;
}

void ProcessRecordsTest::failuresKeepTheBareName()
{
    QFETCH(bool, openFails);
    const DWORD id = machine->addProcess(QStringLiteral("C:/Windows/protected.exe"));
    machine->addProcess(QStringLiteral("C:/Tools/open.exe"));
    if (openFails)
        machine->failOpenProcess(id, 5);
    else
        machine->failQueryImageName(id, 5);

    KvProcessInfo process;
    process.processId = id;
    process.fileInfo = KvFileInfo(QStringLiteral("protected.exe"));
    process.resolveFilePath();
    QCOMPARE(process.fileInfo.filePath(), QStringLiteral("protected.exe"));

    const QList<KvProcessInfo> all = snapshotProcesses(0);
    QCOMPARE(all.size(), 2);
    QCOMPARE(findProcess(all, id)->fileInfo.filePath(), QStringLiteral("protected.exe"));
    const QList<KvProcessInfo> resolved = snapshotProcesses(SkipUnresolved);
    QCOMPARE(resolved.size(), 1);
    QVERIFY(!findProcess(resolved, id));
    QCOMPARE(machine->openHandleCount(), 0);
}

void ProcessRecordsTest::handleToAnEndedProcessNeverReachesItsSuccessor()
{
    const DWORD id = machine->addProcess(QStringLiteral("C:/old.exe"));
    const KvHandle handle = KvHandle::openProcess(0x1000, id);
    QVERIFY(handle.isValid());
    machine->removeProcess(id);
    machine->addProcessWithId(id, QStringLiteral("C:/new.exe"));

    KvProcessInfo process;
    process.processId = id;
    process.fileInfo = KvFileInfo(QStringLiteral("old.exe"));
    process.resolveFilePath(handle.get());
    QCOMPARE(process.fileInfo.filePath(), QStringLiteral("old.exe"));
}

void ProcessRecordsTest::snapshotFlagsLeaveOutRecords()
{
    const DWORD resolvable = machine->addProcess(QStringLiteral("C:/App/app.exe"), 4);
    const DWORD unresolvable = machine->addProcess(QStringLiteral("C:/Secret/hidden.exe"), 4);
    machine->failOpenProcess(unresolvable, 5);
    const DWORD unnamed = machine->addProcess(QString(), 4);

    auto ids = [](const QList<KvProcessInfo> &list) {
        QList<DWORD> result;
        for (const KvProcessInfo &process : list)
            result.append(process.processId);
        return result;
    };
    QCOMPARE(ids(snapshotProcesses(0)), (QList<DWORD>{resolvable, unresolvable, unnamed}));
    QCOMPARE(ids(snapshotProcesses(SkipUnnamed)), (QList<DWORD>{resolvable, unresolvable}));
    // An unnamed record has no directory either.
    QCOMPARE(ids(snapshotProcesses(SkipUnresolved)), (QList<DWORD>{resolvable}));
    QCOMPARE(ids(snapshotProcesses(SkipUnnamed | SkipUnresolved)), (QList<DWORD>{resolvable}));

    const QList<KvProcessInfo> all = snapshotProcesses(0);
    QCOMPARE(findProcess(all, resolvable)->parentProcessId, 4u);
}

void ProcessRecordsTest::snapshotReadsVersionOfTheFullPath()
{
    // The bare name finds another file than the full path; the full path wins.
    machine->setVersionBlock(QStringLiteral("tool.exe"), versionBlock(QStringLiteral("Bare"), 1));
    machine->setVersionBlock(QStringLiteral("C:/Tools/tool.exe"),
                             versionBlock(QStringLiteral("Full"), 2));
    const DWORD resolved = machine->addProcess(QStringLiteral("C:/Tools/tool.exe"));
    const DWORD hidden = machine->addProcess(QStringLiteral("C:/Hidden/tool.exe"));
    machine->failQueryImageName(hidden, 5);

    const QList<KvProcessInfo> all = snapshotProcesses(0);
    QCOMPARE(findProcess(all, resolved)->fileInfo.companyName(), QStringLiteral("Full"));
    QCOMPARE(findProcess(all, resolved)->fileInfo.version(), QVersionNumber(1, 2, 2));
    QCOMPARE(findProcess(all, hidden)->fileInfo.companyName(), QStringLiteral("Bare"));
}

void ProcessRecordsTest::failedSnapshotsGiveNothing()
{
    machine->addProcess(QStringLiteral("C:/a.exe"));
    machine->failSnapshots(8);
    QVERIFY(snapshotProcesses(0).isEmpty());
    QVERIFY(snapshotProcessIds().isEmpty());
    QVERIFY(snapshotThreads(machine->processIds().first()).isEmpty());
    QCOMPARE(machine->openHandleCount(), 0);
}

void ProcessRecordsTest::snapshotIdsAndThreads()
{
    const DWORD first = machine->addProcess(QStringLiteral("C:/a.exe"), 0, 3);
    const DWORD second = machine->addProcess(QStringLiteral("C:/b.exe"), first, 2);
    machine->thread(machine->threadIdsOf(first).at(1))->basePriority = 13;

    QCOMPARE(snapshotProcessIds(), (QSet<DWORD>{first, second}));
    // Only ids: no process is opened and no file read.
    QVERIFY(machine->calls().filter(QStringLiteral("OpenProcess")).isEmpty());
    QVERIFY(machine->calls().filter(QStringLiteral("GetFileVersionInfo")).isEmpty());

    const QList<KvThreadInfo> threads = snapshotThreads(first);
    QCOMPARE(threads.size(), 3);
    const QList<DWORD> expected = machine->threadIdsOf(first);
    for (int i = 0; i < threads.size(); ++i) {
        QCOMPARE(threads[i].threadId, expected[i]);
        QCOMPARE(threads[i].ownerProcessId, first);
    }
    QCOMPARE(threads[1].basePriority, 13);
    QCOMPARE(snapshotThreads(second).size(), 2);

    machine->removeProcess(second);
    QVERIFY(snapshotThreads(second).isEmpty());
    QCOMPARE(snapshotProcessIds(), QSet<DWORD>{first});
}

void ProcessRecordsTest::snapshotsCloseEveryHandle()
{
    for (int i = 0; i < 5; ++i)
        machine->addProcess(QStringLiteral("C:/p%1.exe").arg(i), 0, 2);
    snapshotProcesses(SkipUnnamed | SkipUnresolved);
    snapshotProcessIds();
    snapshotThreads(machine->processIds().first());
    QCOMPARE(machine->openHandleCount(), 0);
    QCOMPARE(machine->calls().filter(QStringLiteral("CloseHandle(snapshot)")).size(), 3);
}

void ProcessRecordsTest::handleCopiesCloseOnce()
{
    int closes = 0;
    {
        const KvHandle handle(machine->registerHandle(std::make_shared<CountedObject>(closes)));
        QVERIFY(handle.isValid());
        {
            const KvHandle copy(handle);
            QCOMPARE(copy.get(), handle.get());
        }
        QCOMPARE(closes, 0);
    }
    QCOMPARE(closes, 1);
    QCOMPARE(machine->openHandleCount(), 0);

    // No handle: nothing to close, for either invalid value.
    machine->clearCalls();
    {
        const KvHandle none;
        const KvHandle failedProcess = KvHandle::openProcess(0x1000, 999999);
        QVERIFY(!none.isValid());
        QVERIFY(!failedProcess.isValid());
        machine->failSnapshots(8);
        const KvHandle failedSnapshot = KvHandle::createSnapshot(KvPlatformKernel::SnapProcess);
        QVERIFY(!failedSnapshot.isValid());
        QCOMPARE(failedSnapshot.get(), INVALID_HANDLE_VALUE);
    }
    QVERIFY(machine->calls().filter(QStringLiteral("CloseHandle")).isEmpty());

    // A custom closer runs once with the raw value.
    QList<HANDLE> closed;
    {
        const KvHandle custom(reinterpret_cast<HANDLE>(0x1234), nullptr,
                              [&closed](HANDLE raw) { closed.append(raw); });
        KvHandle copy = custom;
    }
    QCOMPARE(closed, QList<HANDLE>{reinterpret_cast<HANDLE>(0x1234)});

    int firstCloses = 0;
    int secondCloses = 0;
    KvHandle first(machine->registerHandle(std::make_shared<CountedObject>(firstCloses)));
    KvHandle second(machine->registerHandle(std::make_shared<CountedObject>(secondCloses)));
    KvHandle keeper = second;

    // Assigning over the last copy closes it.
    first = second;
    QCOMPARE(firstCloses, 1);
    QCOMPARE(first.get(), keeper.get());

    // Assigning another copy of the same handle, or the last copy to
    // itself, closes nothing.
    first = keeper;
    first = KvHandle();
    second = KvHandle();
    keeper = *&keeper;
    QCOMPARE(secondCloses, 0);
    keeper = KvHandle();
    QCOMPARE(secondCloses, 1);
    QCOMPARE(machine->openHandleCount(), 0);
}

QTEST_GUILESS_MAIN(ProcessRecordsTest)
#include "tst_processrecords.moc"
