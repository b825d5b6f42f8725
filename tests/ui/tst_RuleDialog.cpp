#include "tst_RuleDialog.h"

#include "ui/ProcessListModel.h"
#include "ui/RuleDialog.h"
#include "ui/SelectProcessDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

namespace {

const unsigned ruleId = 0xbeef;
const QString ruleGroup = QStringLiteral("rules/{beef}");

QPushButton *okButton(const RuleDialog &dialog)
{
    return child<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Ok);
}

QPushButton *cancelButton(const RuleDialog &dialog)
{
    return child<QDialogButtonBox>(&dialog, "buttonBox")->button(QDialogButtonBox::Cancel);
}

QStringList rows(const QListView *view)
{
    QStringList texts;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        texts << view->model()->index(row, 0).data(Qt::EditRole).toString();
    return texts;
}

// Everything stored under the rule's group, key by key.
QMap<QString, QString> storedRule()
{
    QSettings settings;
    settings.beginGroup(ruleGroup);
    QMap<QString, QString> values;
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        values.insert(key, settings.value(key).toString());
    return values;
}

void storeRule(const QMap<QString, QVariant> &values)
{
    QSettings settings;
    settings.beginGroup(ruleGroup);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
}

void storeList(const QString &key, const QStringList &patterns)
{
    QSettings settings;
    settings.beginGroup(ruleGroup);
    settings.beginWriteArray(key, patterns.size());
    for (int index = 0; index < patterns.size(); ++index) {
        settings.setArrayIndex(index);
        settings.setValue(QStringLiteral("value"), patterns.at(index));
    }
    settings.endArray();
}

} // namespace

void TestRuleDialog::initTestCase()
{
    QVERIFY(store.isValid());
}

void TestRuleDialog::init()
{
    TemporaryStore::clear();
}

void TestRuleDialog::newRuleStartsBlankAndStoresExactlyTheTwelveKeys()
{
    RuleDialog dialog(ruleId);

    QVERIFY(child<QLineEdit>(&dialog, "name")->text().isEmpty());
    QVERIFY(!okButton(dialog)->isEnabled());
    QVERIFY(child<QCheckBox>(&dialog, "enabled")->isChecked());

    auto *internet = child<QCheckBox>(&dialog, "conditionInternetConnection");
    auto *internetStatus = child<QComboBox>(&dialog, "conditionInternetConnectionStatus");
    QVERIFY(!internet->isChecked());
    QCOMPARE(internetStatus->currentText(), QStringLiteral("Connected"));
    QVERIFY(!internetStatus->isEnabled());

    QVERIFY(child<QRadioButton>(&dialog, "conditionStatusRunning")->isChecked());
    auto *state = child<QComboBox>(&dialog, "conditionStatusRunningState");
    QCOMPARE(state->currentText(), QStringLiteral("Anyhow"));
    QVERIFY(state->isEnabled());

    QCOMPARE(child<QListView>(&dialog, "conditionSelectedProcessesList")->model()->rowCount(), 0);
    QCOMPARE(child<QListView>(&dialog, "targetSelectedProcessesList")->model()->rowCount(), 0);
    QVERIFY(!child<QPushButton>(&dialog, "conditionProcessRemove")->isEnabled());
    QVERIFY(!child<QPushButton>(&dialog, "targetProcessRemove")->isEnabled());

    QVERIFY(child<QRadioButton>(&dialog, "targetActionLimitCPU")->isChecked());
    auto *limit = child<QSpinBox>(&dialog, "tagetCPULimit");
    QCOMPARE(limit->value(), 3);
    QCOMPARE(limit->minimum(), 1);
    QCOMPARE(limit->maximum(), 99);
    QCOMPARE(limit->suffix(), QStringLiteral(" %"));

    QVERIFY(!child<QCheckBox>(&dialog, "targetApplyDelay")->isChecked());
    auto *delay = child<QSpinBox>(&dialog, "targetApplyDelayValue");
    QCOMPARE(delay->value(), 1);
    QCOMPARE(delay->minimum(), 1);
    QCOMPARE(delay->maximum(), 99);
    QCOMPARE(delay->suffix(), QStringLiteral("s"));
    QVERIFY(!delay->isEnabled());

    // Opening the dialog alone writes nothing.
    QVERIFY(storedRule().isEmpty());

    QTest::keyClicks(child<QLineEdit>(&dialog, "name"), QStringLiteral("Quiet builds"));
    QVERIFY(okButton(dialog)->isEnabled());
    okButton(dialog)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));

    const QMap<QString, QString> expected{
        {QStringLiteral("name"), QStringLiteral("Quiet builds")},
        {QStringLiteral("enabled"), QStringLiteral("2")},
        {QStringLiteral("condition/selectedProcesses/size"), QStringLiteral("0")},
        {QStringLiteral("condition/internetConnection"), QStringLiteral("0")},
        {QStringLiteral("condition/internetConnectionStatus"), QStringLiteral("1")},
        {QStringLiteral("condition/status"), QStringLiteral("0")},
        {QStringLiteral("condition/state"), QStringLiteral("0")},
        {QStringLiteral("target/selectedProcesses/size"), QStringLiteral("0")},
        {QStringLiteral("target/action"), QStringLiteral("0")},
        {QStringLiteral("target/cpuLimit"), QStringLiteral("3")},
        {QStringLiteral("target/applyDelay"), QStringLiteral("0")},
        {QStringLiteral("target/applyDelayValue"), QStringLiteral("1")},
    };
    QCOMPARE(storedRule(), expected);

    // The rule is stored where the rules model looks for it.
    QSettings settings;
    settings.beginGroup(QStringLiteral("rules"));
    QCOMPARE(settings.childGroups(), QStringList{QStringLiteral("{beef}")});
}

void TestRuleDialog::okFollowsTheName()
{
    storeRule({{QStringLiteral("name"), QStringLiteral("Named")}});
    RuleDialog dialog(ruleId);
    auto *name = child<QLineEdit>(&dialog, "name");
    QCOMPARE(name->text(), QStringLiteral("Named"));
    QVERIFY(okButton(dialog)->isEnabled());

    name->selectAll();
    QTest::keyClick(name, Qt::Key_Delete);
    QVERIFY(name->text().isEmpty());
    QVERIFY(!okButton(dialog)->isEnabled());

    QTest::keyClick(name, Qt::Key_X);
    QVERIFY(okButton(dialog)->isEnabled());
}

void TestRuleDialog::loadsEveryStoredValueAndWritesItBackUnchanged()
{
    storeRule({
        {QStringLiteral("name"), QStringLiteral("Offline renders")},
        {QStringLiteral("enabled"), 0},
        {QStringLiteral("condition/internetConnection"), 2},
        {QStringLiteral("condition/internetConnectionStatus"), 0u},
        {QStringLiteral("condition/status"), 0},
        {QStringLiteral("condition/state"), 2u},
        {QStringLiteral("target/action"), 1},
        {QStringLiteral("target/cpuLimit"), 42},
        {QStringLiteral("target/applyDelay"), 2},
        {QStringLiteral("target/applyDelayValue"), 17},
    });
    const QStringList conditions{QStringLiteral("C:\\Games\\game.exe"),
                                 QStringLiteral("steam*.exe")};
    const QStringList targets{QStringLiteral("blender"), QStringLiteral("ffmpeg"),
                              QStringLiteral("/usr/bin/make")};
    storeList(QStringLiteral("condition/selectedProcesses"), conditions);
    storeList(QStringLiteral("target/selectedProcesses"), targets);
    const QMap<QString, QString> before = storedRule();

    RuleDialog dialog(ruleId);
    QCOMPARE(child<QLineEdit>(&dialog, "name")->text(), QStringLiteral("Offline renders"));
    QVERIFY(!child<QCheckBox>(&dialog, "enabled")->isChecked());
    QVERIFY(child<QCheckBox>(&dialog, "conditionInternetConnection")->isChecked());
    auto *internetStatus = child<QComboBox>(&dialog, "conditionInternetConnectionStatus");
    QCOMPARE(internetStatus->currentText(), QStringLiteral("Disconnected"));
    QVERIFY(internetStatus->isEnabled());
    auto *state = child<QComboBox>(&dialog, "conditionStatusRunningState");
    QCOMPARE(state->currentText(), QStringLiteral("Background"));
    QVERIFY(state->isEnabled());
    QCOMPARE(rows(child<QListView>(&dialog, "conditionSelectedProcessesList")), conditions);
    QCOMPARE(rows(child<QListView>(&dialog, "targetSelectedProcessesList")), targets);
    QVERIFY(child<QRadioButton>(&dialog, "targetActionSuspend")->isChecked());
    QVERIFY(!child<QRadioButton>(&dialog, "targetActionLimitCPU")->isChecked());
    QCOMPARE(child<QSpinBox>(&dialog, "tagetCPULimit")->value(), 42);
    QVERIFY(child<QCheckBox>(&dialog, "targetApplyDelay")->isChecked());
    auto *delay = child<QSpinBox>(&dialog, "targetApplyDelayValue");
    QCOMPARE(delay->value(), 17);
    QVERIFY(delay->isEnabled());

    okButton(dialog)->click();
    QCOMPARE(storedRule(), before);

    // The enabling slots follow later changes as well.
    child<QCheckBox>(&dialog, "conditionInternetConnection")->click();
    QVERIFY(!internetStatus->isEnabled());
    child<QCheckBox>(&dialog, "targetApplyDelay")->click();
    QVERIFY(!delay->isEnabled());
}

void TestRuleDialog::notRunningDisablesTheStateChoice()
{
    storeRule({{QStringLiteral("name"), QStringLiteral("Not while gaming")},
               {QStringLiteral("condition/status"), 1}});
    RuleDialog dialog(ruleId);
    auto *running = child<QRadioButton>(&dialog, "conditionStatusRunning");
    auto *notRunning = child<QRadioButton>(&dialog, "conditionStatusNotRunning");
    auto *state = child<QComboBox>(&dialog, "conditionStatusRunningState");
    QVERIFY(notRunning->isChecked());
    QVERIFY(!running->isChecked());
    QVERIFY(!state->isEnabled());

    running->click();
    QVERIFY(state->isEnabled());
    QVERIFY(!notRunning->isChecked());
    notRunning->click();
    QVERIFY(!state->isEnabled());
}

void TestRuleDialog::cancelWritesNothing()
{
    // A new rule: cancelling leaves no group behind.
    {
        RuleDialog dialog(ruleId);
        QTest::keyClicks(child<QLineEdit>(&dialog, "name"), QStringLiteral("Abandoned"));
        cancelButton(dialog)->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QSettings settings;
        QVERIFY(!settings.childGroups().contains(QStringLiteral("rules")));
    }

    // An existing rule: every key keeps its value, whatever was changed.
    storeRule({{QStringLiteral("name"), QStringLiteral("Keep me")},
               {QStringLiteral("enabled"), 2},
               {QStringLiteral("target/cpuLimit"), 10}});
    storeList(QStringLiteral("target/selectedProcesses"), {QStringLiteral("a.exe")});
    const QMap<QString, QString> before = storedRule();

    RuleDialog dialog(ruleId);
    child<QLineEdit>(&dialog, "name")->setText(QStringLiteral("Changed"));
    child<QCheckBox>(&dialog, "enabled")->click();
    child<QSpinBox>(&dialog, "tagetCPULimit")->setValue(80);
    child<QRadioButton>(&dialog, "targetActionSuspend")->click();
    auto *targets = child<QListView>(&dialog, "targetSelectedProcessesList");
    targets->selectionModel()->select(targets->model()->index(0, 0), QItemSelectionModel::Select);
    child<QPushButton>(&dialog, "targetProcessRemove")->click();
    QCOMPARE(targets->model()->rowCount(), 0);

    cancelButton(dialog)->click();
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(storedRule(), before);
}

void TestRuleDialog::removeTakesEverySelectedPattern()
{
    storeRule({{QStringLiteral("name"), QStringLiteral("Lists")}});
    storeList(QStringLiteral("target/selectedProcesses"),
              {QStringLiteral("p0"), QStringLiteral("p1"), QStringLiteral("p2"),
               QStringLiteral("p3"), QStringLiteral("p4")});
    storeList(QStringLiteral("condition/selectedProcesses"),
              {QStringLiteral("c0"), QStringLiteral("c1")});

    RuleDialog dialog(ruleId);
    auto *targets = child<QListView>(&dialog, "targetSelectedProcessesList");
    auto *remove = child<QPushButton>(&dialog, "targetProcessRemove");
    QVERIFY(!remove->isEnabled());

    // Selected out of order, so that removing by the first selected row
    // renumbers rows that are still selected.
    QItemSelectionModel *selection = targets->selectionModel();
    for (int row : {4, 0, 2})
        selection->select(targets->model()->index(row, 0), QItemSelectionModel::Select);
    QVERIFY(remove->isEnabled());

    remove->click();
    QCOMPARE(rows(targets), (QStringList{QStringLiteral("p1"), QStringLiteral("p3")}));
    QVERIFY(!remove->isEnabled());

    // The other list is untouched, and its Remove follows its own selection.
    auto *conditions = child<QListView>(&dialog, "conditionSelectedProcessesList");
    auto *conditionRemove = child<QPushButton>(&dialog, "conditionProcessRemove");
    QCOMPARE(rows(conditions), (QStringList{QStringLiteral("c0"), QStringLiteral("c1")}));
    QVERIFY(!conditionRemove->isEnabled());
    conditions->selectionModel()->select(conditions->model()->index(1, 0),
                                         QItemSelectionModel::Select);
    QVERIFY(conditionRemove->isEnabled());
    QVERIFY(!remove->isEnabled());
    conditionRemove->click();
    QCOMPARE(rows(conditions), QStringList{QStringLiteral("c0")});

    // The shorter lists are what OK stores.
    okButton(dialog)->click();
    const QMap<QString, QString> stored = storedRule();
    QCOMPARE(stored.value(QStringLiteral("target/selectedProcesses/size")), QStringLiteral("2"));
    QCOMPARE(stored.value(QStringLiteral("target/selectedProcesses/1/value")),
             QStringLiteral("p1"));
    QCOMPARE(stored.value(QStringLiteral("target/selectedProcesses/2/value")),
             QStringLiteral("p3"));
    QCOMPARE(stored.value(QStringLiteral("condition/selectedProcesses/size")), QStringLiteral("1"));
}

void TestRuleDialog::addAppendsThePickedPatternAndCancelAddsNothing()
{
    storeRule({{QStringLiteral("name"), QStringLiteral("Adds")}});
    storeList(QStringLiteral("condition/selectedProcesses"), {QStringLiteral("first")});
    InstalledMachine machine;
    machine.addProcess(QStringLiteral("C:/Windows/explorer.exe"));
    RuleDialog dialog(ruleId);
    auto *conditions = child<QListView>(&dialog, "conditionSelectedProcessesList");
    auto *targets = child<QListView>(&dialog, "targetSelectedProcessesList");

    QObject scope;
    bool picked = false;
    onNextModal<SelectProcessDialog>(&scope, [&](SelectProcessDialog *select) {
        picked = true;
        QTest::keyClicks(child<QLineEdit>(select, "process"), QStringLiteral(" notepad.exe"));
        child<QPushButton>(select, "okButton")->click();
    });
    child<QPushButton>(&dialog, "conditionProcessAdd")->click();
    QVERIFY(picked);
    // Appended last, exactly as typed (nothing trims it).
    QCOMPARE(rows(conditions),
             (QStringList{QStringLiteral("first"), QStringLiteral(" notepad.exe")}));
    QCOMPARE(rows(targets), QStringList());

    bool cancelled = false;
    onNextModal<SelectProcessDialog>(&scope, [&](SelectProcessDialog *select) {
        cancelled = true;
        QTest::keyClicks(child<QLineEdit>(select, "process"), QStringLiteral("ignored.exe"));
        child<QPushButton>(select, "cancelButton")->click();
    });
    child<QPushButton>(&dialog, "targetProcessAdd")->click();
    QVERIFY(cancelled);
    QCOMPARE(rows(targets), QStringList());

    onNextModal<SelectProcessDialog>(&scope, [&](SelectProcessDialog *select) {
        QTest::keyClicks(child<QLineEdit>(select, "process"), QStringLiteral("*.tmp"));
        child<QPushButton>(select, "okButton")->click();
    });
    child<QPushButton>(&dialog, "targetProcessAdd")->click();
    QCOMPARE(rows(targets), QStringList{QStringLiteral("*.tmp")});
    QCOMPARE(conditions->model()->rowCount(), 2);
}

void TestRuleDialog::patternNamingAnExistingFileShowsItsIcon()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("tool.exe"));
    QFile file(program);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    ProcessListModel model;
    model.setStringList({QDir::toNativeSeparators(program), QStringLiteral("tool.exe"),
                         dir.filePath(QStringLiteral("missing.exe"))});

    const QVariant existing = model.index(0, 0).data(Qt::DecorationRole);
    QVERIFY(existing.canConvert<QIcon>());
    QVERIFY(!existing.value<QIcon>().isNull());
    QCOMPARE(model.index(0, 0).data(Qt::DisplayRole).toString(), QDir::toNativeSeparators(program));

    // A bare name is looked for in the current directory only.
    if (!QFile::exists(QStringLiteral("tool.exe")))
        QVERIFY(model.index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    const bool iconInItsDirectory =
        !model.index(1, 0).data(Qt::DecorationRole).value<QIcon>().isNull();
    QDir::setCurrent(oldCurrent);
    QVERIFY(iconInItsDirectory);

    QVERIFY(model.index(2, 0).data(Qt::DecorationRole).value<QIcon>().isNull());

    // The file going away takes the icon with it: nothing is cached.
    QVERIFY(QFile::remove(program));
    QVERIFY(model.index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
}
