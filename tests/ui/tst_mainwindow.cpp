// The main window over the simulated machine: the sorted rules and their commands.

#include "DialogTestSupport.h"
#include "RulesFixture.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"
#include "support/KvDebug.h"
#include "ui/KvAboutBox.h"
#include "ui/MainWindow.h"
#include "ui/RuleDialog.h"

#include <QtTest>
#include <QtWidgets>

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
    quint32 rate() const { return fixture.machine.cpuRateOf(blender); }
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
    // Clicks a button of the window (Edit: on the first row), has change fill in the dialog, OK.
    void runDialog(const char *name, const std::function<void(RuleDialog *)> &change)
    {
        if (name == QByteArray("ruleEdit"))
            view()->setCurrentIndex(view()->model()->index(0, 2));
        QObject scope;
        onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
            change(dialog);
            button(dialog, QDialogButtonBox::Ok)->click();
        });
        child<QPushButton>(window.get(), name)->click();
    }
public slots:
    void openLink(const QUrl &url) { links << url; }
private slots:
    void init()
    {
        QCoreApplication::setApplicationVersion("1.0.148");
        QVERIFY(fixture.isValid());
        window.reset();
        engine.reset();
        fixture.removeOtherProcesses();
        RulesFixture::clearStore();
        blender = fixture.machine.addProcess("/opt/blender/blender");
    }
    void removeTakesTheCurrentRowOnlyAndLiftsItsRestrictions()
    {
        // Stored out of name order, so that the sorted rows are not the store's,
        // and the current one last in the store.
        storeRule(0x11, {"Bravo", false, {}});
        storeRule(0x22, {"Alpha", false, {}});
        storeRule(0x33, {"Charlie", true, {"blender"}});
        QSettings().setValue("rules/{33}/later/key", "kept"); // of a later version
        const auto keysOf33 = [] {
            QSettings store;
            store.beginGroup("rules/{33}");
            QVariantMap keys;
            for (const QString &key : store.allKeys())
                keys.insert(key, store.value(key));
            return keys;
        };
        const QVariantMap stored = keysOf33();
        QVERIFY(openWindow());
        QCOMPARE(shownNames(), (QStringList{"Alpha", "Bravo", "Charlie"}));
        QCOMPARE(rate(), quint32(3000));
        // Alpha and Charlie selected, Charlie current.
        const auto rows = QItemSelectionModel::Select | QItemSelectionModel::Rows;
        view()->selectionModel()->select(view()->model()->index(0, 2), rows);
        view()->selectionModel()->setCurrentIndex(view()->model()->index(2, 2), rows);
        QVERIFY(child<QPushButton>(window.get(), "ruleEdit")->isEnabled());
        child<QPushButton>(window.get(), "ruleRemove")->click();
        QVERIFY(!engine->rule(0x33) && rate() == KvCpuGroup::unlimited);
        QCOMPARE(shownNames(), (QStringList{"Alpha", "Bravo"}));
        // The row before takes the place of the last one.
        QCOMPARE(view()->selectionModel()->selectedRows(2), {view()->model()->index(1, 2)});
        // Undone: the same stored rule, every key as it was, acting as one added.
        QVERIFY(child<QWidget>(window.get(), "undoBar")->isVisible());
        child<QAction>(window.get(), "actionUndo")->trigger();
        QCOMPARE(keysOf33(), stored);
        QCOMPARE(rate(), quint32(3000));
        QCOMPARE(view()->selectionModel()->selectedRows(2).value(0).data(), "Charlie");
        // A current row alone selects nothing to edit or remove.
        view()->clearSelection();
        QVERIFY(!child<QPushButton>(window.get(), "ruleEdit")->isEnabled() &&
                !child<QPushButton>(window.get(), "ruleRemove")->isEnabled());
    }
    void keysActOnTheCurrentRule()
    {
        storeRule(0x1, {"alpha", true, {"blender"}});
        storeRule(0x2, {"bravo", false, {}});
        QVERIFY(openWindow());
        view()->setCurrentIndex(view()->model()->index(0, 2));
        QTest::keyClick(view(), Qt::Key_Space); // off
        QCOMPARE(rate(), KvCpuGroup::unlimited);
        QTest::keyClick(view(), Qt::Key_Space);
        QCOMPARE(rate(), quint32(3000));
        QString opened;
        QObject scope;
        onNextModal<RuleDialog>(&scope, [&](RuleDialog *dialog) {
            opened = child<QLineEdit>(dialog, "name")->text();
            button(dialog, QDialogButtonBox::Cancel)->click();
        });
        QTest::keyClick(view(), Qt::Key_Return);
        QCOMPARE(opened, "alpha");
        QTest::keyClick(view(), Qt::Key_Delete);
        QCOMPARE(shownNames(), QStringList{"bravo"});
        QCOMPARE(view()->selectionModel()->selectedRows(2).value(0).data(), "bravo");
    }
    void aNewListKeepsTheCurrentRuleWhileItIsStored()
    {
        storeRule(0x1, {"bravo", false, {}});
        QVERIFY(openWindow());
        view()->setCurrentIndex(view()->model()->index(0, 2));
        runDialog("ruleAdd", [](RuleDialog *d) { child<QLineEdit>(d, "name")->setText("alpha"); });
        QCOMPARE(view()->selectionModel()->selectedRows(2).value(0).data(), "bravo");
        RulesFixture::clearStore(); // as another copy of the program would
        engine->store().reload();
        QVERIFY(!child<QPushButton>(window.get(), "ruleEdit")->isEnabled());
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
        runDialog("ruleEdit", [](RuleDialog *d) { child<QLineEdit>(d, "name")->setText("zulu"); });
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
        Rule *added = engine->rule(engine->store().ids().value(0));
        QCOMPARE(added->state(), state);
        QCOMPARE(rate(), state == RuleState::Active ? 300 : KvCpuGroup::unlimited);
        // The generous bound only keeps a broken timer from hanging the test.
        QTRY_COMPARE_WITH_TIMEOUT(added->state() == RuleState::Delayed, false, 10000);
        QCOMPARE(rate(), state == RuleState::Inactive ? KvCpuGroup::unlimited : 300);
    }
    void editsAreFollowedAtOnce()
    {
        storeRule(0x30, {"while gaming", true, {"blender"}, {"game"}}); // game does not run
        QVERIFY(openWindow());
        // Dropping the condition makes the conditions hold: the edit reaches the
        // rule through the store, as any write does, and the rule acts.
        runDialog("ruleEdit", [](RuleDialog *dialog) {
            auto *conditions = child<QListView>(dialog, "conditionSelectedProcessesList")->model();
            qobject_cast<QStringListModel *>(conditions)->setStringList({});
        });
        QCOMPARE(engine->rule(0x30)->state(), RuleState::Active);
        QCOMPARE(rate(), quint32(3000));
        // A new limit of an active rule applies at once: lifted and applied again.
        runDialog("ruleEdit",
                  [](RuleDialog *d) { child<QSpinBox>(d, "tagetCPULimit")->setValue(55); });
        QCOMPARE(rate(), quint32(5500));
        runDialog("ruleEdit", [](RuleDialog *d) { child<QCheckBox>(d, "enabled")->click(); });
        QCOMPARE(rate(), KvCpuGroup::unlimited);
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
        QVERIFY(links.size() == 1 && links.first().path().contains('@'));
        QCOMPARE(QUrlQuery(links.first()).queryItemValue("subject"), "Feedback for Corvane");
        QDesktopServices::setUrlHandler("file", this, "openLink");
        child<QAction>(window.get(), "actionShowLog")->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(links.last(), QUrl::fromLocalFile(KvDebug::logFilePath()));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
