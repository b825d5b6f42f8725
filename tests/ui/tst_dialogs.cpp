// The rule dialog, the select dialog, the about box and the ids of new rules.

#include "DialogTestSupport.h"
#include "SimulatedMachine.h"
#include "StoredRule.h"
#include "TestStore.h"
#include "ui/KvAboutBox.h"
#include "ui/ProcessListModel.h"
#include "ui/RuleDialog.h"
#include "ui/RuleIdGenerator.h"
#include "ui/SelectProcessDialog.h"

#include <QtTest>
#include <QtWidgets>

const unsigned ruleId = 0xbeef;
const auto Ok = QDialogButtonBox::Ok, Cancel = QDialogButtonBox::Cancel;

QMap<QString, QString> storedRule()
{
    QSettings settings;
    settings.beginGroup("rules/{beef}");
    QMap<QString, QString> values;
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key).toString());
    return values;
}

QStringList rows(const RuleDialog &dialog, const QString &list)
{
    auto *view = dialog.findChild<QListView *>(list + "SelectedProcessesList");
    return qobject_cast<QStringListModel *>(view->model())->stringList();
}

class TestDialogs : public QObject
{
    Q_OBJECT

    TestStore store; // the file dialog keeps its state in the settings too
    SimulatedMachine machine;
    QTemporaryDir dir;
    const QString program = dir.filePath("firefox"); // the Linux way: no extension

private slots:
    void initTestCase()
    {
        QVERIFY(store.isValid());
        machine.addProcess("C:/Windows/notepad.exe");
        machine.addProcess("C:/Tools/tool.exe");
        QVERIFY(QFile(program).open(QIODevice::WriteOnly));
    }
    void init() { TestStore::clear(); }
    void ruleIsLoadedWholeAndStoredOnOkOnly()
    {
        for (const auto &[name, pressed] : {std::pair{"Abandoned", Cancel}, {"Quiet builds", Ok}}) {
            {
                RuleDialog dialog(ruleId);
                QVERIFY(!button(&dialog, Ok)->isEnabled());
                QTest::keyClicks(child<QLineEdit>(&dialog, "name"), name);
                button(&dialog, pressed)->click();
            }
            // Cancelled, nothing is stored, not even as the dialog closes.
            QVERIFY(pressed == Ok || QSettings().allKeys().isEmpty());
        }
        QCOMPARE(storedRule().value("name"), "Quiet builds");
        QCOMPARE(storedRule().size(), 17); // every field of the form
        // Every stored value is loaded, and written back unchanged.
        StoredRule stored{
            "Offline renders", false, {"blender", "make"}, {"C:\\Games\\game.exe", "steam*"}};
        stored.internet = true;
        stored.internetStatus = 0;  // disconnected
        stored.conditionStatus = 1; // not running
        stored.conditionState = 2;  // background
        stored.action = 1;          // suspend
        stored.cpuLimit = 42;
        stored.shareLimit = true;
        stored.delaySeconds = 17;
        stored.onlyWhenBusy = true;
        stored.busyPercent = 40;
        stored.busySeconds = 600;
        stored.calmSeconds = 3600;
        storeRule(ruleId, stored);
        const QMap<QString, QString> before = storedRule();
        RuleDialog dialog(ruleId);
        auto *internet = child<QCheckBox>(&dialog, "conditionInternetConnection");
        auto *internetStatus = child<QComboBox>(&dialog, "conditionInternetConnectionStatus");
        auto *state = child<QComboBox>(&dialog, "conditionStatusRunningState");
        auto *delay = child<QCheckBox>(&dialog, "targetApplyDelay");
        auto *delayValue = child<QSpinBox>(&dialog, "targetApplyDelayValue");
        QCOMPARE(child<QLineEdit>(&dialog, "name")->text(), "Offline renders");
        QVERIFY(!child<QCheckBox>(&dialog, "enabled")->isChecked());
        QCOMPARE(rows(dialog, "condition"), (QStringList{"C:\\Games\\game.exe", "steam*"}));
        QVERIFY(internet->isChecked() && internetStatus->isEnabled() &&
                internetStatus->currentText() == "Disconnected");
        QVERIFY(child<QRadioButton>(&dialog, "conditionStatusNotRunning")->isChecked());
        QVERIFY(state->currentText() == "Background" && !state->isEnabled());
        QCOMPARE(rows(dialog, "target"), (QStringList{"blender", "make"}));
        QVERIFY(child<QRadioButton>(&dialog, "targetActionSuspend")->isChecked());
        QCOMPARE(child<QSpinBox>(&dialog, "tagetCPULimit")->value(), 42);
        QVERIFY(child<QCheckBox>(&dialog, "targetShareLimit")->isChecked());
        QVERIFY(delay->isChecked() && delayValue->isEnabled() && delayValue->value() == 17);
        QVERIFY(child<QCheckBox>(&dialog, "targetOnlyWhenBusy")->isChecked());
        for (const auto &[name, value] : {std::pair{"targetBusyPercent", 40},
                                          {"targetBusySeconds", 600},
                                          {"targetCalmSeconds", 3600}})
            QVERIFY(child<QSpinBox>(&dialog, name)->isEnabled() &&
                    child<QSpinBox>(&dialog, name)->value() == value);
        button(&dialog, Ok)->click();
        QCOMPARE(storedRule(), before);
        // The form follows later changes as well.
        internet->click();
        child<QRadioButton>(&dialog, "conditionStatusRunning")->click();
        child<QLineEdit>(&dialog, "name")->clear();
        QVERIFY(!internetStatus->isEnabled() && state->isEnabled() &&
                !button(&dialog, Ok)->isEnabled());
    }
    void patternListsTakeRemovalsAndAdditions()
    {
        storeRule(ruleId, {"Lists", true, {"p0", "p1", "p2", "p3", "p4"}, {"c0"}});
        RuleDialog dialog(ruleId);
        auto *targets = child<QListView>(&dialog, "targetSelectedProcessesList");
        auto *remove = child<QPushButton>(&dialog, "targetProcessRemove");
        QVERIFY(!remove->isEnabled());
        // Out of order, so that removing the first selected renumbers the others.
        for (int row : {4, 0, 2})
            targets->selectionModel()->select(targets->model()->index(row, 0),
                                              QItemSelectionModel::Select);
        QVERIFY(remove->isEnabled());
        remove->click();
        QCOMPARE(rows(dialog, "target"), (QStringList{"p1", "p3"}));
        QVERIFY(!remove->isEnabled());
        // Added last and exactly as typed: no table row nor trimming gets in the way.
        QObject scope;
        for (auto [list, text, ok] : {std::tuple{"condition", " notepad.exe", true},
                                      {"target", "cancelled", false},
                                      {"target", "*.tmp", true}}) {
            onNextModal<SelectProcessDialog>(&scope, [&](SelectProcessDialog *select) {
                QTest::keyClicks(child<QLineEdit>(select, "process"), text);
                child<QPushButton>(select, ok ? "okButton" : "cancelButton")->click();
            });
            child<QPushButton>(&dialog, QByteArray(list).append("ProcessAdd"))->click();
        }
        QCOMPARE(rows(dialog, "condition"), (QStringList{"c0", " notepad.exe"}));
        QCOMPARE(rows(dialog, "target"), (QStringList{"p1", "p3", "*.tmp"}));
        button(&dialog, Ok)->click();
        QCOMPARE(storedRule().value("target/selectedProcesses/size"), "3");
    }
    void selectAnswersTheTypedTextTheChosenRowOrTheBrowsedFile()
    {
        SelectProcessDialog dialog;
        auto *view = child<QTreeView>(&dialog, "processesView");
        auto *process = child<QLineEdit>(&dialog, "process");
        auto *ok = child<QPushButton>(&dialog, "okButton");
        QTest::keyClicks(process, "typed.exe");
        const bool typed = ok->isEnabled();
        process->clear();
        QVERIFY(typed && !ok->isEnabled());
        QCOMPARE(view->model()->rowCount(), 3); // the test program's own, and two
        view->setCurrentIndex(view->model()->index(1, 0));
        QCOMPARE(dialog.process(), view->model()->index(1, 2).data().toString());
        QObject scope;
        onNextModal<QFileDialog>(&scope, [&](QFileDialog *files) {
            files->setDirectory(dir.path());
            files->selectFile(program);
            static_cast<QDialog *>(files)->accept(); // hidden by QFileDialog's own accept
        });
        child<QPushButton>(&dialog, "browse")->click();
        QCOMPARE(dialog.process(), QDir::toNativeSeparators(program));
        onNextModal<QFileDialog>(&scope, [](QFileDialog *files) { files->reject(); });
        child<QPushButton>(&dialog, "browse")->click();
        QCOMPARE(dialog.process(), QDir::toNativeSeparators(program));
        // A pattern naming an existing file shows its icon, as long as the file is there.
        ProcessListModel model;
        model.setStringList({dialog.process(), dir.filePath("no.exe")});
        auto icon = [&](int row) { return model.index(row, 0).data(Qt::DecorationRole); };
        QVERIFY(!icon(0).value<QIcon>().isNull() && icon(1).value<QIcon>().isNull());
        QVERIFY(QFile::remove(program) && icon(0).value<QIcon>().isNull());
    }
    void aboutBoxIconIsTheLargestThatFits()
    {
        // In a label of 64 x 64; a tie goes to the first listed; when none fits,
        // the smallest is scaled down; without sizes, the label's.
        const QList<QPair<QList<QSize>, QSize>> cases{{{{16, 16}, {48, 48}, {256, 256}}, {48, 48}},
                                                      {{{32, 48}, {48, 32}}, {32, 48}},
                                                      {{{48, 32}, {32, 48}}, {48, 32}},
                                                      {{{16, 16}, {60, 80}}, {16, 16}},
                                                      {{{400, 100}, {100, 200}}, {32, 64}},
                                                      {{}, {64, 64}}};
        for (const auto &[available, expected] : cases)
            QCOMPARE(KvAboutBox::iconSizeFor(available, QSize(64, 64)), expected);
    }
    void newRuleIdsAreRandomAndSkipZeroAndStoredIds()
    {
        QSet<unsigned> seen;
        for (int draw = 0; draw < 64; ++draw)
            seen.insert(RuleIdGenerator::randomId());
        QVERIFY(seen.size() > 1);
        storeRule(ruleId, {"taken", true, {}});
        QList<unsigned> draws{0u, ruleId, 0u, 0x2bu, 0x99u};
        QCOMPARE(RuleIdGenerator::newId([&] { return draws.takeFirst(); }), 0x2bu);
    }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
