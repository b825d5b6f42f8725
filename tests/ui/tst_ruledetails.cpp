// The details pane: rows follow the rule's restrictions, shares come from
// the processor times, read only while the pane is on screen.

#include "RulesFixture.h"
#include "rules/RulesEngine.h"
#include "ui/RuleDetailsPane.h"

#include <QtTest>

#include <cmath>

class TestRuleDetails : public QObject
{
    Q_OBJECT

private slots:
    void rowsAndSharesFollowTheRule()
    {
        SimulatedMachine &machine = fixture.machine;
        const quint32 first = machine.addProcess(QStringLiteral("/usr/bin/busy"));
        const quint32 second = machine.addProcess(QStringLiteral("/usr/bin/busy"));
        StoredRule rule{QStringLiteral("busy"), true, {"busy"}};
        rule.cpuLimit = 25;
        storeRule(1, rule);
        RulesEngine engine;
        RuleDetailsModel details(engine);
        const auto cell = [&](int row, int column) { return details.index(row, column).data(); };
        details.setRule(1);
        QCOMPARE(details.rowCount(), 2);
        QCOMPARE(cell(0, RuleDetailsModel::ProcessIdColumn).toUInt(), first);
        QCOMPARE(cell(1, RuleDetailsModel::RestraintColumn).toString(), "limited to 25 %");
        QCOMPARE(details.cap(), 0.25);
        // Half of every CPU over a second: half the machine.
        machine.setCpuTime(first, 500000 * quint64(QThread::idealThreadCount()));
        details.sample(1000);
        QCOMPARE(cell(0, RuleDetailsModel::ShareColumn).toString(), "50.0 %");
        QCOMPARE(cell(1, RuleDetailsModel::ShareColumn).toString(), "0.0 %");
        QCOMPARE(details.history(0).last(), 0.5);
        // An id given to another process starts afresh; one that ended goes.
        machine.endProcess(second);
        machine.addProcessWithId(first, QStringLiteral("/usr/bin/busy"));
        machine.announceStart(first);
        details.sample(2000);
        QCOMPARE(details.rowCount(), 1);
        QVERIFY(std::isnan(details.history(0).last()));
        // Switched off, it holds nothing, and the chart marks when.
        engine.store().setEnabled(1, false);
        details.sample(3000);
        QCOMPARE(details.rowCount(), 0);
        QCOMPARE(details.activations(), (QList<QPair<int, bool>>{{1, false}}));
    }
    void samplingOnlyWhileOnScreen()
    {
        storeRule(2, {QStringLiteral("idle"), true, {"idle"}});
        RulesEngine engine;
        QWidget window;
        auto *pane = new RuleDetailsPane(engine, &window);
        pane->setRule(2);
        QVERIFY(!pane->isSampling()); // not shown yet
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(pane->isSampling());
        pane->setRule(0);
        QVERIFY(!pane->isSampling()); // no rule
        pane->setRule(2);
        window.showMinimized();
        QTRY_VERIFY(!pane->isSampling());
        window.showNormal();
        QTRY_VERIFY(pane->isSampling());
        window.hide();
        QVERIFY(!pane->isSampling());
    }
    void sharedLimitShowsTheTotal()
    {
        SimulatedMachine &machine = fixture.machine;
        const quint32 make = machine.addProcess("/usr/bin/make");
        const quint32 compiler = machine.addProcess("/usr/bin/cc", make);
        StoredRule rule{"build", true, {"make"}};
        rule.shareLimit = true;
        storeRule(3, rule);
        RulesEngine engine;
        RuleDetailsModel details(engine);
        details.setRule(3);
        QCOMPARE(details.rowCount(), 2);
        QVERIFY(!details.total().isEmpty() && std::isnan(details.total().last()));
        machine.setCpuTime(make, 200000);
        machine.setCpuTime(compiler, 300000);
        details.sample(1000);
        QVERIFY(details.total().last() > 0);
        QCOMPARE(details.total().last(), details.history(0).last() + details.history(1).last());
    }

private:
    RulesFixture fixture;
};

QTEST_MAIN(TestRuleDetails)
#include "tst_ruledetails.moc"
