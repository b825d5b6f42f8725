#include "platform/simulated/KvSimulatedMachine.h"
#include "process/KvHandle.h"
#include "process/KvProcessSnapshot.h"
#include "process/KvProcessesModel.h"

#include <QDir>
#include <QIcon>
#include <QTest>

#include <memory>

namespace {

// The path that resolving gives a record whose file is name so far.
QString resolved(DWORD processId, const QString &name, HANDLE process = nullptr)
{
    KvProcessInfo record{processId, KvProcessInfo::noProcessId, KvFileInfo(name)};
    process ? record.resolveFilePath(process) : record.resolveFilePath();
    return record.fileInfo.filePath();
}

// The paths in a snapshot taken with flags.
QStringList paths(int flags)
{
    QStringList found;
    for (const KvProcessInfo &process : snapshotProcesses(flags))
        found << process.fileInfo.filePath();
    return found;
}

} // namespace

// Process records, snapshots, handles and the processes model.
class TestProcessRecords : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        machine = std::make_unique<KvSimulatedMachine>();
        machine->installAsCurrent();
    }

    void cleanup() { QCOMPARE(machine->openHandleCount(), 0); }

    void resolvingFindsTheImage()
    {
        const DWORD id = machine->addProcess("C:/Games/game.exe");
        QCOMPARE(snapshotProcesses().first().fileInfo.filePath(),
                 QStringLiteral("C:/Games/game.exe"));
        // A path that has a directory already is kept.
        QCOMPARE(resolved(id, "D:/Other/game.exe"), QStringLiteral("D:/Other/game.exe"));
        // The two system pseudo-processes are named rather than opened.
        machine->addProcessWithId(0, "C:/idle.exe");
        machine->addProcessWithId(4, "C:/system.exe");
        QCOMPARE(resolved(0, "[System Process]"), QStringLiteral("System Idle Process"));
        QCOMPARE(resolved(4, QString()), QStringLiteral("System"));
        QCOMPARE(resolved(4, "Registry"), QStringLiteral("Registry"));
    }

    void handleToAnEndedProcessNeverReachesItsSuccessor()
    {
        const DWORD id = machine->addProcess("C:/old.exe");
        const KvHandle process =
            KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, id);
        machine->addProcessWithId(id, "C:/new.exe");
        QCOMPARE(resolved(id, "old.exe", process.get()), QStringLiteral("old.exe"));
    }

    void snapshotFlagsLeaveOutRecords()
    {
        const DWORD first = machine->addProcess("C:/App/app.exe", 4);
        machine->failOpenProcess(machine->addProcess("C:/Secret/closed.exe"), 5);
        machine->failQueryImageName(machine->addProcess("C:/Secret/hidden.exe"), 5);
        machine->addProcess(QString());
        // What cannot be resolved keeps its bare name.
        QCOMPARE(paths(0), (QStringList{"C:/App/app.exe", "closed.exe", "hidden.exe", QString()}));
        QCOMPARE(paths(SkipUnnamed), (QStringList{"C:/App/app.exe", "closed.exe", "hidden.exe"}));
        QCOMPARE(paths(SkipUnresolved), QStringList{"C:/App/app.exe"});
        QCOMPARE(snapshotProcesses().first().parentProcessId, DWORD(4));
        machine->failSnapshots(8);
        QVERIFY(snapshotProcesses().isEmpty());
        QVERIFY(snapshotProcessIds().isEmpty());
        QVERIFY(snapshotThreads(first).isEmpty());
    }

    void handleCopiesCloseOnce()
    {
        QList<quintptr> closed;
        const auto closer = [&closed](HANDLE raw) { closed << quintptr(raw); };
        KvHandle handle(reinterpret_cast<HANDLE>(1), nullptr, closer);
        KvHandle copy = handle;
        // Assigning a copy, or the last copy to itself, closes nothing; the last to go does.
        handle = copy;
        handle = KvHandle();
        copy = *&copy;
        QVERIFY(closed.isEmpty());
        copy = KvHandle(reinterpret_cast<HANDLE>(2), nullptr, closer);
        QCOMPARE(closed, QList<quintptr>{1});
        // No handle: nothing to close, whichever the invalid value.
        KvHandle(nullptr, nullptr, closer);
        KvHandle(INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, closer);
        QCOMPARE(closed, QList<quintptr>{1});
    }

    void modelListsResolvedProcesses()
    {
        machine->addProcessWithId(4, "System");
        const DWORD editor = machine->addProcess("C:/Windows/notepad.exe", 4);
        machine->failQueryImageName(machine->addProcess("C:/Guard/guard.exe"), 5);
        machine->addProcessWithId(4000000000u, "/usr/bin/make");
        KvProcessesModel model;
        QList<QStringList> shown;
        for (int row = 0; row < model.rowCount(); ++row) {
            shown << QStringList();
            for (int column = 0; column < model.columnCount(); ++column)
                shown.last() << model.index(row, column).data().toString();
        }
        QCOMPARE(shown, (QList<QStringList>{{"notepad.exe", QString::number(editor),
                                             QDir::toNativeSeparators("C:/Windows/notepad.exe")},
                                            {"make", "4000000000", "/usr/bin/make"}}));
        QCOMPARE(model.index(1, 1).data().userType(), int(QMetaType::UInt));
        QCOMPARE(model.index(0, 0).data(Qt::DecorationRole).userType(), qMetaTypeId<QIcon>());
        // A row the model never had reads as nothing rather than as garbage.
        QVERIFY(!model.index(2, 0).data().isValid());
        QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("#"));
        QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Filepath"));
        machine->failSnapshots(5);
        QCOMPARE(KvProcessesModel().rowCount(), 0);
    }

private:
    std::unique_ptr<KvSimulatedMachine> machine;
};

QTEST_MAIN(TestProcessRecords)
#include "tst_processrecords.moc"
