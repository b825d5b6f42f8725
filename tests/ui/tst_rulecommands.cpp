// The main window's commands that run the rule dialog and the about box:
// Add, Edit (button and double-click) and About, over the simulated machine.

#include "DialogTestSupport.h"
#include "RulesFixture.h"

#include "rules/Rule.h"
#include "rules/RulesModel.h"
#include "ui/KvAboutBox.h"
#include "ui/MainWindow.h"
#include "ui/RuleDialog.h"
#include "ui/SelectProcessDialog.h"

#include <QAction>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QTreeView>
#include <QtTest>

#include <memory>

namespace {

// Outlives the application object, and with it the process notifier that
// subscribed to the simulated events.
RulesFixture fixture;

const QString editorPath = QStringLiteral("/usr/bin/editor");
const QString blenderPath = QStringLiteral("/opt/blender/blender");

QStringList storedGroups()
{
    QSettings settings;
    settings.beginGroup(QLatin1String(RuleOptions::rulesGroup));
    return settings.childGroups();
}

void clickOk(RuleDialog *dialog)
{
    child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
}

void clickCancel(RuleDialog *dialog)
{
    child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Cancel)->click();
}

// Fills in a new rule: a name, one target typed into the select dialog, and
// optionally a delay.
void fillNewRule(QObject *scope, RuleDialog *dialog, const QString &name, const QString &target,
                 int delaySeconds)
{
    QTest::keyClicks(child<QLineEdit>(dialog, "name"), name);
    onNextModal<SelectProcessDialog>(scope, [target](SelectProcessDialog *select) {
        QTest::keyClicks(child<QLineEdit>(select, "process"), target);
        child<QPushButton>(select, "okButton")->click();
    });
    child<QPushButton>(dialog, "targetProcessAdd")->click();
    if (delaySeconds > 0) {
        child<QCheckBox>(dialog, "targetApplyDelay")->click();
        child<QSpinBox>(dialog, "targetApplyDelayValue")->setValue(delaySeconds);
    }
}

} // namespace

class TestRuleCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cancelledAddLeavesStoreAndListUnchanged();
    void addedRuleWhoseConditionsHoldActivatesAtOnce();
    void addedRuleHonoursItsDelay();
    void addedDisabledRuleStaysInactive();
    void doubleClickOpensTheRuleOfThatRowWhateverTheOrder();
    void editReevaluatesARuleThatWasActive();
    void editLeavesAnInactiveRuleToItsNextEvent();
    void renamedRuleMovesToItsSortedPlace();
    void aboutOpensTheAboutBox();

private:
    template<class T> T *windowChild(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    RulesModel *rulesModel() const;
    QStringList shownNames() const;
    void openWindow();

    std::unique_ptr<MainWindow> window;
};

void TestRuleCommands::initTestCase()
{
    QVERIFY(fixture.setUp());
}

void TestRuleCommands::init()
{
    RulesFixture::clearStore();
}

void TestRuleCommands::cleanup()
{
    window.reset();
    fixture.removeOtherProcesses();
}

void TestRuleCommands::openWindow()
{
    window = std::make_unique<MainWindow>();
    window->show();
}

RulesModel *TestRuleCommands::rulesModel() const
{
    auto *proxy = qobject_cast<QSortFilterProxyModel *>(windowChild<QTreeView>("rules")->model());
    return proxy ? dynamic_cast<RulesModel *>(proxy->sourceModel()) : nullptr;
}

QStringList TestRuleCommands::shownNames() const
{
    QAbstractItemModel *model = windowChild<QTreeView>("rules")->model();
    QStringList names;
    for (int row = 0; row < model->rowCount(); ++row)
        names << model->index(row, 2).data().toString();
    return names;
}

void TestRuleCommands::cancelledAddLeavesStoreAndListUnchanged()
{
    RulesFixture::storeRule(0x10, {QStringLiteral("existing"), true, {QStringLiteral("none")}});
    openWindow();
    const QStringList groupsBefore = storedGroups();
    QCOMPARE(shownNames(), QStringList{QStringLiteral("existing")});

    QObject scope;
    bool opened = false;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        opened = dialog->parentWidget() == window.get();
        QTest::keyClicks(child<QLineEdit>(dialog, "name"), QStringLiteral("abandoned"));
        clickCancel(dialog);
    });
    windowChild<QPushButton>("ruleAdd")->click();
    QVERIFY(opened);
    QCOMPARE(storedGroups(), groupsBefore);
    QCOMPARE(shownNames(), QStringList{QStringLiteral("existing")});
}

void TestRuleCommands::addedRuleWhoseConditionsHoldActivatesAtOnce()
{
    const DWORD blender = fixture.machine.addProcess(blenderPath);
    const DWORD editor = fixture.machine.addProcess(editorPath);
    openWindow();

    QObject scope;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        fillNewRule(&scope, dialog, QStringLiteral("renders"), QStringLiteral("blender"), 0);
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleAdd")->click();

    const QStringList groups = storedGroups();
    QCOMPARE(groups.size(), 1);
    const unsigned id = RuleOptions::idFromGroupName(groups.first());
    QVERIFY(id != 0);
    QCOMPARE(shownNames(), QStringList{QStringLiteral("renders")});

    const QSharedPointer<Rule> rule = rulesModel()->ruleFor(id);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(rule->restrictedProcessIds(), QSet<DWORD>{blender});
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(3 * 100));
    QCOMPARE(fixture.jobs.cpuRateOf(editor), DWORD(10000));
}

void TestRuleCommands::addedRuleHonoursItsDelay()
{
    const DWORD blender = fixture.machine.addProcess(blenderPath);
    openWindow();

    QObject scope;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        fillNewRule(&scope, dialog, QStringLiteral("later"), blenderPath, 1);
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleAdd")->click();

    const QStringList groups = storedGroups();
    QCOMPARE(groups.size(), 1);
    const QSharedPointer<Rule> rule =
        rulesModel()->ruleFor(RuleOptions::idFromGroupName(groups.first()));
    QCOMPARE(rule->state(), RuleState::Delayed);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(10000));

    // The delay ends by itself; the generous bound only keeps a broken timer
    // from hanging the test.
    QTRY_COMPARE_WITH_TIMEOUT(rule->state(), RuleState::Active, 10000);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(3 * 100));
}

void TestRuleCommands::addedDisabledRuleStaysInactive()
{
    const DWORD blender = fixture.machine.addProcess(blenderPath);
    openWindow();

    QObject scope;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        fillNewRule(&scope, dialog, QStringLiteral("off"), QStringLiteral("blender"), 0);
        child<QCheckBox>(dialog, "enabled")->click();
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleAdd")->click();

    const QStringList groups = storedGroups();
    QCOMPARE(groups.size(), 1);
    const QSharedPointer<Rule> rule =
        rulesModel()->ruleFor(RuleOptions::idFromGroupName(groups.first()));
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(10000));
}

void TestRuleCommands::doubleClickOpensTheRuleOfThatRowWhateverTheOrder()
{
    // Stored in an order that is neither ascending nor descending by name.
    RulesFixture::storeRule(0x1, {QStringLiteral("bravo"), false, {}});
    RulesFixture::storeRule(0x2, {QStringLiteral("charlie"), false, {}});
    RulesFixture::storeRule(0x3, {QStringLiteral("alpha"), false, {}});
    openWindow();
    auto *view = windowChild<QTreeView>("rules");

    for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
        view->sortByColumn(2, order);
        const QStringList shown = shownNames();
        QCOMPARE(shown.size(), 3);
        for (int row = 0; row < shown.size(); ++row) {
            // Any column of the row opens it.
            const QModelIndex index = view->model()->index(row, row % 3);
            QString opened;
            QObject scope;
            onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
                opened = child<QLineEdit>(dialog, "name")->text();
                clickCancel(dialog);
            });
            const QPoint point = view->visualRect(index).center();
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, point);
            QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, point);
            QCOMPARE(opened, shown.at(row));
        }
    }
}

void TestRuleCommands::editReevaluatesARuleThatWasActive()
{
    const DWORD blender = fixture.machine.addProcess(blenderPath);
    RulesFixture::storeRule(0x20, {QStringLiteral("renders"), true, {QStringLiteral("blender")}});
    openWindow();
    const QSharedPointer<Rule> rule = rulesModel()->ruleFor(0x20);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(30 * 100));

    auto *view = windowChild<QTreeView>("rules");
    view->setCurrentIndex(view->model()->index(0, 2));

    // A cancelled edit leaves it as it was.
    QObject scope;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        child<QCheckBox>(dialog, "enabled")->click();
        child<QSpinBox>(dialog, "tagetCPULimit")->setValue(70);
        clickCancel(dialog);
    });
    windowChild<QPushButton>("ruleEdit")->click();
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(30 * 100));

    // A new limit applies at once: the rule is lifted and applied again.
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        child<QSpinBox>(dialog, "tagetCPULimit")->setValue(55);
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleEdit")->click();
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(55 * 100));

    // Disabling it lifts everything.
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        child<QCheckBox>(dialog, "enabled")->click();
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleEdit")->click();
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(10000));
}

void TestRuleCommands::editLeavesAnInactiveRuleToItsNextEvent()
{
    const DWORD blender = fixture.machine.addProcess(blenderPath);
    // Waits for a program that does not run.
    RulesFixture::storeRule(0x30, {QStringLiteral("while gaming"),
                                   true,
                                   {QStringLiteral("blender")},
                                   {QStringLiteral("game.exe")}});
    openWindow();
    const QSharedPointer<Rule> rule = rulesModel()->ruleFor(0x30);
    QCOMPARE(rule->state(), RuleState::Inactive);

    // Dropping the condition makes the conditions hold, but an edit does not
    // evaluate an inactive rule.
    auto *view = windowChild<QTreeView>("rules");
    view->setCurrentIndex(view->model()->index(0, 2));
    QObject scope;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        auto *conditions = child<QListView>(dialog, "conditionSelectedProcessesList");
        conditions->selectionModel()->select(conditions->model()->index(0, 0),
                                             QItemSelectionModel::Select);
        child<QPushButton>(dialog, "conditionProcessRemove")->click();
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleEdit")->click();
    QVERIFY(rule->conditionsMet());
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(10000));

    // The next event does.
    fixture.startProcess(editorPath);
    QTRY_COMPARE(rule->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(blender), DWORD(30 * 100));
}

void TestRuleCommands::renamedRuleMovesToItsSortedPlace()
{
    RulesFixture::storeRule(0x41, {QStringLiteral("alpha"), false, {}});
    RulesFixture::storeRule(0x42, {QStringLiteral("mike"), false, {}});
    openWindow();
    QCOMPARE(shownNames(), (QStringList{QStringLiteral("alpha"), QStringLiteral("mike")}));

    auto *view = windowChild<QTreeView>("rules");
    view->setCurrentIndex(view->model()->index(0, 2));
    QObject scope;
    onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
        auto *name = child<QLineEdit>(dialog, "name");
        name->setText(QStringLiteral("zulu"));
        clickOk(dialog);
    });
    windowChild<QPushButton>("ruleEdit")->click();
    QCOMPARE(shownNames(), (QStringList{QStringLiteral("mike"), QStringLiteral("zulu")}));
}

void TestRuleCommands::aboutOpensTheAboutBox()
{
    openWindow();
    QObject scope;
    QWidget *parent = nullptr;
    onNextModal<KvAboutBox>(&scope, [&](KvAboutBox *about) {
        parent = about->parentWidget();
        child<QPushButton>(about, "okButton")->click();
    });
    windowChild<QAction>("actionAbout")->trigger();
    QCOMPARE(parent, static_cast<QWidget *>(window.get()));
    // The box is gone once the command returns.
    QVERIFY(!window->findChild<KvAboutBox *>());
}

QTEST_MAIN(TestRuleCommands)
#include "tst_rulecommands.moc"
