#include "DialogTestSupport.h"

#include "process/KvProcessSnapshot.h"
#include "process/KvProcessesModel.h"

#include <QDir>
#include <QIcon>
#include <QTest>

#include <QObject>

class TestKvProcessesModel : public QObject
{
    Q_OBJECT

private slots:
    void listsResolvedProcessesInSnapshotOrder();
    void answersOnlyDisplayAndDecoration();
    void headers();
    void failedSnapshotGivesAnEmptyModel();
};

void TestKvProcessesModel::listsResolvedProcessesInSnapshotOrder()
{
    InstalledMachine machine;
    machine.addProcessWithId(0, QStringLiteral("System Idle Process"));
    machine.addProcessWithId(4, QStringLiteral("System"));
    const DWORD editor = machine.addProcess(QStringLiteral("C:/Windows/notepad.exe"), 4);
    const DWORD hidden = machine.addProcess(QStringLiteral("C:/Program Files/Guard/guard.exe"));
    machine.failQueryImageName(hidden, 5);
    machine.addProcessWithId(4000000000u, QStringLiteral("/usr/bin/make"));
    const DWORD game = machine.addProcess(QStringLiteral("D:/Games/game.exe"));

    KvProcessesModel model;
    // The pseudo-processes and the one whose path could not be queried are
    // left out; the rest keep the snapshot's order, unsorted.
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.columnCount(), 3);
    const QList<QStringList> expected{
        {QStringLiteral("notepad.exe"), QString::number(editor),
         QDir::toNativeSeparators(QStringLiteral("C:/Windows/notepad.exe"))},
        {QStringLiteral("game.exe"), QString::number(game),
         QDir::toNativeSeparators(QStringLiteral("D:/Games/game.exe"))},
        {QStringLiteral("make"), QStringLiteral("4000000000"), QStringLiteral("/usr/bin/make")},
    };
    QList<QStringList> shown;
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < 3; ++column)
            cells << model.index(row, column).data().toString();
        shown << cells;
    }
    // The snapshot lists processes by id; compare as sets of rows, then check
    // that the model did not reorder them.
    QCOMPARE(shown.size(), expected.size());
    for (const QStringList &row : expected)
        QVERIFY2(shown.contains(row), qPrintable(row.join(QLatin1Char(' '))));
    const QList<KvProcessInfo> snapshot = snapshotProcesses(SkipUnnamed | SkipUnresolved);
    for (int row = 0; row < snapshot.size(); ++row)
        QCOMPARE(model.index(row, 1).data().toUInt(), unsigned(snapshot.at(row).processId));
}

void TestKvProcessesModel::answersOnlyDisplayAndDecoration()
{
    InstalledMachine machine;
    const DWORD id = machine.addProcess(QStringLiteral("C:/Tools/tool.exe"));

    KvProcessesModel model;
    QCOMPARE(model.rowCount(), 1);

    const QVariant processId = model.index(0, 1).data(Qt::DisplayRole);
    QCOMPARE(processId.userType(), int(QMetaType::UInt));
    QCOMPARE(processId.toUInt(), unsigned(id));

    const QVariant icon = model.index(0, 0).data(Qt::DecorationRole);
    QCOMPARE(icon.userType(), qMetaTypeId<QIcon>());

    for (int column = 0; column < 3; ++column) {
        for (int role : {int(Qt::EditRole), int(Qt::ToolTipRole), int(Qt::UserRole)})
            QVERIFY(!model.index(0, column).data(role).isValid());
    }
    QVERIFY(!model.index(0, 1).data(Qt::DecorationRole).isValid());
    QVERIFY(!model.index(0, 2).data(Qt::DecorationRole).isValid());
    // A row the model never had reads as nothing rather than as garbage.
    QVERIFY(!model.index(5, 0).data().isValid());
}

void TestKvProcessesModel::headers()
{
    InstalledMachine machine;
    KvProcessesModel model;
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("#"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Filepath"));
    QCOMPARE(model.headerData(5, Qt::Horizontal).toString(), QStringLiteral("Filepath"));
    QCOMPARE(model.headerData(1, Qt::Vertical).toString(), QStringLiteral("#"));
    QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::DecorationRole).isValid());
}

void TestKvProcessesModel::failedSnapshotGivesAnEmptyModel()
{
    InstalledMachine machine;
    machine.addProcess(QStringLiteral("C:/Tools/tool.exe"));
    machine.failSnapshots(5);
    KvProcessesModel model;
    QCOMPARE(model.rowCount(), 0);
}

QTEST_MAIN(TestKvProcessesModel)
#include "tst_processesmodel.moc"
