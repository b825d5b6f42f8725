// The main window over the simulated machine: the sorted rules and their commands.

#include "DialogTestSupport.h"
#include "RulesFixture.h"

#include "rules/Rule.h"
#include "rules/RulesEngine.h"
#include "ui/KvAboutBox.h"
#include "ui/MainWindow.h"
#include "ui/RuleDialog.h"

#include <QtTest>
#include <QtWidgets>

const quint32 unrestricted = KvCpuGroup::unlimited;

Q_DECLARE_METATYPE(RuleState)

class TestMainWindow : public QObject
{
    Q_OBJECT

    RulesFixture fixture;
    std::unique_ptr<RulesEngine> engine;
    std::unique_ptr<MainWindow> window;
    quint32 blender = 0;
    QList<QUrl> links; // that the window handed to the desktop

    QTreeView *view() const { return child<QTreeView>(window.get(), "rules"); }

    bool openWindow()
    {
        engine = std::make_unique<RulesEngine>();
        window = std::make_unique<MainWindow>(*engine);
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }

    QStringList shownNames() const
    {
        QStringList names;
        for (int row = 0; row < view()->model()->rowCount(); ++row)
            names << view()->model()->index(row, 2).data().toString();
        return names;
    }

    // The live rule that a row shows.
    Rule *rule(int row) const
    {
        auto *proxy = qobject_cast<QSortFilterProxyModel *>(view()->model());
        return engine->rule(unsigned(proxy->mapToSource(proxy->index(row, 0)).internalId()));
    }

    // Clicks the window's button, lets change fill in the rule dialog that
    // it opens, and presses OK.
    void runDialog(const char *name, const std::function<void(RuleDialog *)> &change)
    {
        QObject scope;
        onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
            change(dialog);
            button(dialog, QDialogButtonBox::Ok)->click();
        });
        child<QPushButton>(window.get(), name)->click();
    }

    // Edits the rule of the first row.
    void edit(const std::function<void(RuleDialog *)> &change)
    {
        view()->setCurrentIndex(view()->model()->index(0, 2));
        runDialog("ruleEdit", change);
    }

public slots:
    void openLink(const QUrl &url) { links << url; }

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationVersion("1.0.148");
        QVERIFY(fixture.isValid());
    }

    void init()
    {
        RulesFixture::clearStore();
        blender = fixture.machine.addProcess("/opt/blender/blender");
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
        fixture.removeOtherProcesses();
    }

    void removeTakesTheCurrentRowOnlyAndLiftsItsRestrictions()
    {
        // Stored out of name order, so that the sorted rows are not the store's.
        storeRule(0x11, {"Charlie", true, {"blender"}});
        storeRule(0x22, {"Alpha", false, {}});
        storeRule(0x33, {"Bravo", false, {}});
        QVERIFY(openWindow());
        QCOMPARE(shownNames(), (QStringList{"Alpha", "Bravo", "Charlie"}));
        QCOMPARE(fixture.machine.cpuRateOf(blender), quint32(3000));
        // Alpha and Charlie selected, Charlie current.
        const auto rows = QItemSelectionModel::Select | QItemSelectionModel::Rows;
        view()->selectionModel()->select(view()->model()->index(0, 2), rows);
        view()->selectionModel()->setCurrentIndex(view()->model()->index(2, 2), rows);
        QVERIFY(child<QPushButton>(window.get(), "ruleEdit")->isEnabled());
        child<QPushButton>(window.get(), "ruleRemove")->click();
        QVERIFY(!engine->rule(0x11) && fixture.machine.cpuRateOf(blender) == unrestricted);
        QCOMPARE(shownNames(), (QStringList{"Alpha", "Bravo"}));
        // A current row alone selects nothing to edit or remove.
        view()->clearSelection();
        QVERIFY(!child<QPushButton>(window.get(), "ruleEdit")->isEnabled() &&
                !child<QPushButton>(window.get(), "ruleRemove")->isEnabled());
    }

    void doubleClickOpensTheRuleOfThatRowWhateverTheOrder()
    {
        storeRule(0x1, {"bravo", false, {}});
        storeRule(0x2, {"charlie", false, {}});
        storeRule(0x3, {"alpha", false, {}});
        QVERIFY(openWindow());
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            view()->sortByColumn(2, order);
            const QStringList shown = shownNames();
            for (int row = 0; row < shown.size(); ++row) {
                // Any column of the row opens it.
                auto point = view()->visualRect(view()->model()->index(row, row % 3)).center();
                QString opened;
                QObject scope;
                onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
                    opened = child<QLineEdit>(dialog, "name")->text();
                    button(dialog, QDialogButtonBox::Cancel)->click();
                });
                QTest::mouseClick(view()->viewport(), Qt::LeftButton, {}, point);
                QTest::mouseDClick(view()->viewport(), Qt::LeftButton, {}, point);
                QCOMPARE(opened, shown.at(row));
            }
        }
        // A new name takes its sorted place.
        view()->sortByColumn(2, Qt::AscendingOrder);
        edit([](RuleDialog *d) { child<QLineEdit>(d, "name")->setText("zulu"); });
        QCOMPARE(shownNames(), (QStringList{"bravo", "charlie", "zulu"}));
    }

    void addedRuleActivatesWhenItsConditionsHold_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("delay");
        QTest::addColumn<RuleState>("state");
        QTest::newRow("at once") << true << 0 << RuleState::Active;
        QTest::newRow("after its delay") << true << 1 << RuleState::Delayed;
        QTest::newRow("disabled") << false << 0 << RuleState::Inactive;
    }

    void addedRuleActivatesWhenItsConditionsHold()
    {
        QFETCH(bool, enabled);
        QFETCH(int, delay);
        QFETCH(RuleState, state);
        QVERIFY(openWindow());
        runDialog("ruleAdd", [&](RuleDialog *dialog) {
            QTest::keyClicks(child<QLineEdit>(dialog, "name"), "renders");
            auto *targets = child<QListView>(dialog, "targetSelectedProcessesList")->model();
            qobject_cast<QStringListModel *>(targets)->setStringList({"blender"});
            if (!enabled)
                child<QCheckBox>(dialog, "enabled")->click();
            if (delay) {
                child<QCheckBox>(dialog, "targetApplyDelay")->click();
                child<QSpinBox>(dialog, "targetApplyDelayValue")->setValue(delay);
            }
        });
        QCOMPARE(shownNames(), QStringList{"renders"});
        Rule *added = rule(0);
        QCOMPARE(added->state(), state);
        QCOMPARE(fixture.machine.cpuRateOf(blender),
                 state == RuleState::Active ? 300u : unrestricted);
        if (state == RuleState::Delayed) {
            // The generous bound only keeps a broken timer from hanging the test.
            QTRY_COMPARE_WITH_TIMEOUT(added->state(), RuleState::Active, 10000);
            QCOMPARE(fixture.machine.cpuRateOf(blender), quint32(300));
        }
    }

    void editReevaluatesAnActiveRuleOnly()
    {
        // Waits for a program that does not run.
        storeRule(0x30, {"while gaming", true, {"blender"}, {"game"}});
        QVERIFY(openWindow());
        // Dropping the condition makes the conditions hold: the edit reaches
        // the rule through the store, as any write does, and the rule acts.
        edit([](RuleDialog *dialog) {
            auto *conditions = child<QListView>(dialog, "conditionSelectedProcessesList")->model();
            qobject_cast<QStringListModel *>(conditions)->setStringList({});
        });
        QCOMPARE(rule(0)->state(), RuleState::Active);
        QCOMPARE(fixture.machine.cpuRateOf(blender), quint32(3000));
        // A new limit of an active rule applies at once: the rule is lifted
        // and applied again.
        edit([](RuleDialog *d) { child<QSpinBox>(d, "tagetCPULimit")->setValue(55); });
        QCOMPARE(fixture.machine.cpuRateOf(blender), quint32(5500));
        edit([](RuleDialog *d) { child<QCheckBox>(d, "enabled")->click(); });
        QCOMPARE(fixture.machine.cpuRateOf(blender), unrestricted);
    }

    void helpMenuOpensTheAboutBoxAndAFeedbackMail()
    {
        QVERIFY(openWindow());
        QObject scope;
        QString about;
        onNextModal<KvAboutBox>(&scope, [&](KvAboutBox *box) {
            about = box->parentWidget() == window.get() ? child<QLabel>(box, "name")->text() : "";
            box->accept();
        });
        child<QAction>(window.get(), "actionAbout")->trigger();
        QVERIFY(about.contains("Corvane") && about.contains("1.0.148"));
        QDesktopServices::setUrlHandler("mailto", this, "openLink");
        child<QAction>(window.get(), "actionSendFeedback")->trigger();
        QDesktopServices::unsetUrlHandler("mailto");
        QCOMPARE(links.size(), 1);
        QVERIFY(links.first().path().contains('@'));
        QCOMPARE(QUrlQuery(links.first()).queryItemValue("subject"), "Feedback for Corvane");
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
