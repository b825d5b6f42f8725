// The live view over the simulated machine: every rule's last minute kept
// whichever is shown, rows that announce only what changed, the chart's
// scale and texts, what the pane and the status icon say in each state, and
// no sampling before the window is up.

#include "RulesFixture.h"
#include "rules/RulesEngine.h"
#include "rules/RulesModel.h"
#include "ui/RuleDetailsPane.h"
#include "ui/RuleShareChart.h"

#include <QtTest>

#include <cmath>

using Column = RuleDetailsModel::Column;

class TestRuleDetails : public QObject
{
    Q_OBJECT

    RulesFixture fixture;
    // Processor time (us) that is a share of the whole machine for a second.
    static quint64 seconds(double share)
    {
        return quint64(share * 1e6 * QThread::idealThreadCount());
    }

private slots:
    void init()
    {
        RulesFixture::clearStore();
        fixture.removeOtherProcesses();
    }
    void historyFollowsEveryRuleWhicheverIsShown()
    {
        SimulatedMachine &machine = fixture.machine;
        const quint32 first = machine.addProcess("/usr/bin/busy");
        const quint32 second = machine.addProcess("/usr/bin/busy");
        machine.addProcess("/usr/bin/other");
        StoredRule busy{"busy", true, {"busy"}};
        busy.cpuLimit = 25;
        storeRule(1, busy);
        storeRule(2, {"other", true, {"other"}});
        RulesEngine engine;
        RuleShareHistory history(engine);
        RuleDetailsModel details(engine, history);
        const auto cell = [&](int row, int column) { return details.index(row, column).data(); };
        details.setRule(2);
        history.sample(0);
        machine.setCpuTime(first, seconds(0.5));
        history.sample(1000);
        // Shown at once, from what was read while another rule was shown.
        details.setRule(1);
        QCOMPARE(details.rowCount(), 2);
        QCOMPARE(cell(0, Column::ProcessIdColumn).toUInt(), first);
        QCOMPARE(cell(1, Column::RestraintColumn).toString(), "limited to 25 %");
        QCOMPARE(cell(0, Column::ShareColumn).toString(), "50.0 %");
        QCOMPARE(details.index(0, 0).data(Qt::DecorationRole),
                 details.index(1, 0).data(Qt::DecorationRole)); // one program, one colour
        // Only the cell that changed is announced.
        QSignalSpy changes(&details, &QAbstractItemModel::dataChanged);
        machine.setCpuTime(first, seconds(1));
        machine.setCpuTime(second, seconds(0.2));
        history.sample(2000);
        details.refresh();
        QCOMPARE(changes.size(), 1);
        QCOMPARE(changes.first().at(0).toModelIndex(), details.index(1, Column::ShareColumn));
        // An ended process leaves the rows, and its line stays for the minute; so do the
        // lines of a rule switched off, with the moment it went off.
        machine.endProcess(second);
        history.sample(3000);
        details.refresh();
        QCOMPARE(details.rowCount(), 1);
        engine.store().setEnabled(1, false);
        history.sample(4000);
        details.refresh();
        QCOMPARE(details.rowCount(), 0);
        QCOMPARE(details.record()->lines.size(), 2);
        QCOMPARE(details.record()->lines.first().points.size(), 4);
        QCOMPARE(details.record()->ticks.last().state, RuleState::Inactive);
        history.sample(65000);
        QVERIFY(!details.record()); // older than a minute
    }
    void scaleBelongsToTheCap_data()
    {
        QTest::addColumn<double>("cap");
        QTest::addColumn<double>("top");
        QTest::addColumn<double>("step");
        QTest::newRow("suspending") << 0.0 << 1.0 << 0.25;
        QTest::newRow("3 %") << 0.03 << 0.05 << 0.01;
        QTest::newRow("25 %") << 0.25 << 0.3 << 0.1;
        QTest::newRow("50 %") << 0.5 << 0.6 << 0.2;
        QTest::newRow("90 %") << 0.9 << 1.0 << 0.25;
    }
    void scaleBelongsToTheCap()
    {
        QFETCH(double, cap);
        QFETCH(double, top);
        QFETCH(double, step);
        QCOMPARE(RuleShareChart::scaleFor(cap).top, top);
        QCOMPARE(RuleShareChart::scaleFor(cap).step, step);
    }
    void chartSaysWhatItShows_data()
    {
        QTest::addColumn<unsigned>("action");
        QTest::addColumn<bool>("shared");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("notShown");
        const QStringList always{"0 %", "last 60 s", RuleDetailsModel::scaleText(), "now", "make"};
        QTest::newRow("capped") << 0u << false << always + QStringList{"30 %", "limit 25 %"}
                                << "suspended";
        QTest::newRow("shared") << 0u << true << always + QStringList{"limit 25 %", "together"}
                                << "100 %";
        QTest::newRow("suspended")
            << 1u << false << always + QStringList{"100 %", "suspended"} << "limit 25 %";
    }
    void chartSaysWhatItShows()
    {
        QFETCH(unsigned, action);
        QFETCH(bool, shared);
        QFETCH(QStringList, shown);
        QFETCH(QString, notShown);
        const quint32 make = fixture.machine.addProcess("/usr/bin/make");
        StoredRule rule{"build", true, {"make"}};
        rule.action = action;
        rule.cpuLimit = 25;
        rule.shareLimit = shared;
        storeRule(3, rule);
        RulesEngine engine;
        RuleShareHistory history(engine);
        RuleDetailsModel details(engine, history);
        RuleShareChart chart;
        chart.setModel(&details);
        chart.resize(420, 200);
        details.setRule(3);
        const auto texts = [&] {
            QStringList found;
            for (const RuleShareChart::Label &label : chart.labels())
                found << label.text;
            return found;
        };
        QVERIFY(texts().contains("Nothing held in the last minute"));
        for (qint64 at = 0; at <= 3000; at += 1000) {
            fixture.machine.setCpuTime(make, seconds(at * 0.0002));
            history.sample(at);
        }
        for (const QString &text : shown)
            QVERIFY2(texts().contains(text),
                     qPrintable(text + " missing from " + texts().join('|')));
        QVERIFY(!texts().contains(notShown));
        engine.store().setEnabled(3, false);
        history.sample(4000);
        QVERIFY(texts().contains("off"));
    }
    void statesAreSaidInWords_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<unsigned>("action");
        QTest::addColumn<unsigned>("delay");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("conditions");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<QString>("empty"); // said in place of the rows
        QTest::newRow("limiting") << true << 0u << 0u << "ux-capme" << QStringList()
                                  << "Limiting ux-capme to 30 %"
                                  << "";
        QTest::newRow("delayed") << true << 1u << 9u << "ux-capme" << QStringList()
                                 << "Suspends ux-capme in 9 s"
                                 << "";
        QTest::newRow("delayed, not running") << true << 1u << 9u << "ux-absent" << QStringList()
                                              << "Acts in 9 s — none of its programs is running"
                                              << "Waiting 9 s for the delay";
        QTest::newRow("not running") << true << 0u << 0u << "ux-absent" << QStringList()
                                     << "Active — none of its programs is running"
                                     << "ux-absent is not running";
        QTest::newRow("conditions") << true << 0u << 0u << "ux-capme" << QStringList{"/opt/game"}
                                    << "Inactive until game is running"
                                    << "Inactive until game is running";
        QTest::newRow("switched off")
            << false << 0u << 0u << "ux-capme" << QStringList() << "Switched off"
            << "Switched off";
        // Action 2: limit, only while busy; ux-capme idles.
        const QString watching = "Active — none of its programs has been busier than 25 % for 10 s";
        QTest::newRow("only while busy, nothing busy")
            << true << 2u << 0u << "ux-capme" << QStringList() << watching << watching;
    }
    void statesAreSaidInWords()
    {
        QFETCH(bool, enabled);
        QFETCH(unsigned, action);
        QFETCH(unsigned, delay);
        QFETCH(QString, target);
        QFETCH(QStringList, conditions);
        QFETCH(QString, tooltip);
        QFETCH(QString, empty);
        fixture.machine.addProcess("/usr/bin/ux-capme");
        StoredRule rule{"rule", enabled, {target}, conditions};
        rule.action = action % 2;
        rule.onlyWhenBusy = action == 2;
        rule.delaySeconds = delay;
        storeRule(4, rule);
        RulesEngine engine;
        RulesModel rules(engine);
        RuleDetailsPane pane(engine);
        QCOMPARE(rules.index(0, 1).data(Qt::ToolTipRole).toString().section('\n', 0, 0), tooltip);
        QCOMPARE(pane.emptyText(), "Select a rule to see what it holds");
        pane.setRule(4);
        QCOMPARE(pane.emptyText(), empty);
        engine.store().remove(4);
        pane.setRule(0);
        QCOMPARE(pane.emptyText(), "No rules yet — Add one to cap or pause a program");
    }
    void nothingIsReadBeforeTheWindowIsUp()
    {
        fixture.machine.addProcess("/usr/bin/idle");
        storeRule(2, {"idle", true, {"idle"}});
        RulesEngine engine;
        QWidget window;
        auto *pane = new RuleDetailsPane(engine, &window);
        pane->setRule(2);
        QVERIFY(!pane->isSampling()); // not shown yet
        window.show();
        QVERIFY(pane->isSampling() && pane->details().latestSample() == 0); // a second later
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(pane->details().latestSample() > 0);
        pane->setRule(0);
        QVERIFY(pane->isSampling()); // every rule's minute, shown or not
        window.showMinimized();
        QTRY_VERIFY(!pane->isSampling());
        window.showNormal();
        QTRY_VERIFY(pane->isSampling());
        window.hide();
        QVERIFY(!pane->isSampling());
    }
};

QTEST_MAIN(TestRuleDetails)
#include "tst_ruledetails.moc"
