// A rule inside the rules model, driven through the simulated machine's
// events. What it did is checked where it ends up: the jobs and suspend
// counts of the machine and the model's announcements of its status cell.

#include "RulesFixture.h"
#include "rules/Rule.h"
#include "rules/RulesModel.h"

#include <QtTest>

#include <memory>

namespace {

// Outlives the application object, and with it the process notifier that
// subscribed to the simulated events.
RulesFixture fixture;

const unsigned ruleId = 0x10;

} // namespace

class TestRule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fixture.setUp()); }
    void init() { RulesFixture::clearStore(); }
    void cleanup();

    void restrictsEveryRunningTargetButItself();
    void internetCondition_data();
    void internetCondition();
    void processCondition_data();
    void processCondition();
    void windowCondition_data();
    void windowCondition();
    void delay_data();
    void delay();
    void unusableStoredValues_data();
    void unusableStoredValues();
    void disabledRuleKeepsItsBookkeeping();
    void editsApplyAtTheNextEvent();

private:
    // Stores the rule and starts the rules model over it, which activates
    // the rule if its conditions hold, as at program start.
    Rule *start(const StoredRule &stored);

    static DWORD addProcess(const char *path) { return fixture.machine.addProcess(path); }
    static DWORD startProcess(const char *path) { return fixture.startProcess(path); }
    static DWORD cpuRateOf(DWORD processId) { return fixture.jobs.cpuRateOf(processId); }
    static bool isSuspended(DWORD processId) { return fixture.jobs.isSuspended(processId); }

    std::unique_ptr<RulesModel> model;
    // How often the model announced a change of a status cell.
    int announced = 0;
};

void TestRule::cleanup()
{
    model.reset();
    fixture.removeOtherProcesses();
    fixture.winEvents.setForegroundWindow(nullptr, false);
}

Rule *TestRule::start(const StoredRule &stored)
{
    model.reset();
    storeRule(ruleId, stored);
    model = std::make_unique<RulesModel>();
    announced = 0;
    connect(model.get(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &cell) { announced += cell.column() == 1 ? 1 : 0; });
    return model->ruleFor(ruleId).data();
}

void TestRule::restrictsEveryRunningTargetButItself()
{
    const DWORD game = addProcess("/opt/games/game");
    const DWORD editor = addProcess("/usr/bin/editor");
    // Whatever a pattern matches, the program never restrains itself.
    // Nor the desktop's compositor, nor the shell it was started from; each
    // is named once.
    const DWORD xwayland = addProcess("/usr/bin/Xwayland");
    const DWORD shell = addProcess("/bin/sh");
    const DWORD self = fixture.machine.currentProcessId();
    fixture.machine.addProcessWithId(self, QStringLiteral("/usr/bin/corvane"), shell);
    QTest::ignoreMessage(
        QtInfoMsg,
        QRegularExpression(QStringLiteral("#%1 .* alone: it is the display server").arg(xwayland)));
    QTest::ignoreMessage(
        QtInfoMsg,
        QRegularExpression(
            QStringLiteral("#%1 .* alone: this program was started from it").arg(shell)));
    Rule *rule = start({{}, true, {"game", "corvane", "Xwayland", "sh"}});
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(cpuRateOf(game), DWORD(3000));
    QCOMPARE(cpuRateOf(editor), DWORD(10000));
    QCOMPARE(cpuRateOf(xwayland), DWORD(10000));
    QCOMPARE(cpuRateOf(shell), DWORD(10000));
    QCOMPARE(rule->restrictedProcessIds(), QSet<DWORD>{game});
    fixture.machine.removeProcess(self);

    // A cap lost under the rule no longer counts, and its row says so.
    fixture.jobs.takeOutOfJob(game);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CPU limit lost"));
    model->processGovernor().checkCaps();
    QVERIFY(rule->restrictedProcessIds().isEmpty());
    QCOMPARE(announced, 1);

    // A target that starts while the rule is Active is restricted at once.
    const DWORD late = startProcess("/home/u/game");
    QCOMPARE(cpuRateOf(late), DWORD(3000));
    QCOMPARE(cpuRateOf(startProcess("/home/u/game.sh")), DWORD(10000));
}

void TestRule::internetCondition_data()
{
    QTest::addColumn<unsigned>("status");
    QTest::addColumn<NLM_CONNECTIVITY>("value");
    QTest::addColumn<bool>("met");
    QTest::newRow("connected, ipv4") << 1u << NLM_CONNECTIVITY(0x40) << true;
    QTest::newRow("connected, ipv6") << 1u << NLM_CONNECTIVITY(0x400) << true;
    QTest::newRow("connected, local only") << 1u << NLM_CONNECTIVITY(0x1 | 0x10 | 0x100) << false;
    QTest::newRow("disconnected, ipv4") << 0u << NLM_CONNECTIVITY(0x40) << false;
    QTest::newRow("disconnected, local only") << 0u << NLM_CONNECTIVITY(0x1) << true;
    QTest::newRow("unknown status") << 5u << NLM_CONNECTIVITY(0) << true;
}

void TestRule::internetCondition()
{
    QFETCH(unsigned, status);
    QFETCH(NLM_CONNECTIVITY, value);
    QFETCH(bool, met);
    const DWORD target = addProcess("/usr/bin/run");
    StoredRule stored{{}, true, {"run"}};
    stored.action = RuleOptions::Suspend;
    stored.internet = true;
    stored.internetStatus = status;
    fixture.connectivity.setConnectivity(value & 0x440 ? 0 : 0x40);
    Rule *rule = start(stored);
    // A repeated value changes nothing and applies nothing twice.
    fixture.connectivity.fireConnectivityChanged(value);
    fixture.connectivity.fireConnectivityChanged(value);
    QCOMPARE(rule->state(), met ? RuleState::Active : RuleState::Inactive);
    const DWORD thread = fixture.machine.threadIdsOf(target).first();
    QCOMPARE(fixture.jobs.suspendCount(thread), DWORD(met ? 1 : 0));
    // A rule starts with the value the platform gives when it is made.
    QCOMPARE(start(stored)->state(), met ? RuleState::Active : RuleState::Inactive);
}

void TestRule::processCondition_data()
{
    QTest::addColumn<unsigned>("status");
    QTest::addColumn<QString>("states"); // after each step: Active or Inactive
    QTest::newRow("running") << unsigned(RuleOptions::Running) << "IIAAIIAII";
    QTest::newRow("not running") << unsigned(RuleOptions::NotRunning) << "AIIIIAIIA";
}

void TestRule::processCondition()
{
    QFETCH(unsigned, status);
    QFETCH(QString, states);
    const DWORD worker = addProcess("/usr/bin/worker");
    StoredRule stored{{}, true, {"worker"}, {"steam", "/opt/game/*"}};
    stored.conditionStatus = status;
    // Plays no part for NotRunning: a program in the background counts.
    if (status == RuleOptions::NotRunning)
        stored.conditionState = RuleOptions::Foreground;
    stored.action = RuleOptions::Suspend;
    Rule *rule = start(stored);
    QString seen;
    auto step = [&] { seen += rule->state() == RuleState::Active ? 'A' : 'I'; };

    step();
    const DWORD steam = startProcess("/usr/games/steam");
    step();
    const DWORD game = startProcess("/opt/game/bin/game");
    step();
    // A second instance of a condition program comes and goes.
    fixture.endProcess(startProcess("/usr/games/steam"));
    step();
    const DWORD worker2 = startProcess("/usr/bin/worker");
    fixture.endProcess(steam);
    step();
    fixture.endProcess(game);
    step();
    // Condition programs that execute other programs leave the condition.
    const DWORD steam2 = startProcess("/usr/games/steam");
    const DWORD game2 = startProcess("/opt/game/bin/game");
    step();
    fixture.announceStart(steam2, "/usr/bin/sh");
    step();
    fixture.announceStart(game2, "/usr/bin/sh");
    step();
    QCOMPARE(seen, states);
    QCOMPARE(announced, 4);
    // Activation restricts what runs then; deactivation lifts everything.
    const bool active = rule->state() == RuleState::Active;
    QCOMPARE(isSuspended(worker), active);
    QCOMPARE(isSuspended(worker2), active);
}

void TestRule::windowCondition_data()
{
    QTest::addColumn<unsigned>("state");
    QTest::addColumn<bool>("metWithPlayer");
    QTest::newRow("foreground") << unsigned(RuleOptions::Foreground) << true;
    // No instance of a program is background while one owns the foreground.
    QTest::newRow("background") << unsigned(RuleOptions::Background) << false;
}

void TestRule::windowCondition()
{
    QFETCH(unsigned, state);
    QFETCH(bool, metWithPlayer);
    const DWORD indexer = addProcess("/usr/bin/indexer");
    addProcess("/usr/bin/player");
    const DWORD player = addProcess("/usr/bin/player");
    const DWORD shell = addProcess("/usr/bin/shell");
    StoredRule stored{{}, true, {"indexer"}, {"player"}};
    stored.conditionState = state;
    Rule *rule = start(stored);
    auto active = [rule] { return rule->state() == RuleState::Active; };
    // No foreground window: nothing is foreground, everything background.
    QCOMPARE(active(), !metWithPlayer);

    // An instance the program may not open: its path is known all the same.
    fixture.machine.failOpenProcess(player, 5);
    fixture.setForeground(player);
    QCOMPARE(active(), metWithPlayer);
    QCOMPARE(cpuRateOf(indexer), DWORD(metWithPlayer ? 3000 : 10000));
    fixture.setForeground(shell);
    QCOMPARE(active(), !metWithPlayer);
    // An instance whose start has not been reported yet is looked up: it is
    // no process of the rule's, but its program is in the foreground.
    fixture.setForeground(addProcess("/usr/bin/player"));
    QVERIFY(!active());
}

void TestRule::delay_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::newRow("runs out") << false;
    QTest::newRow("cancelled as the conditions fail") << true;
}

void TestRule::delay()
{
    QFETCH(bool, cancelled);
    const DWORD early = addProcess("/opt/game/early");
    StoredRule stored{{}, true, {"/opt/game/*"}, {"launcher"}};
    stored.delaySeconds = 2;
    Rule *rule = start(stored);
    const DWORD launcher = startProcess("/usr/bin/launcher");
    QCOMPARE(rule->state(), RuleState::Delayed);
    QCOMPARE(announced, 1);
    // A target that starts during the delay waits for its end; a condition
    // process that comes and goes changes nothing.
    const DWORD late = startProcess("/opt/game/late");
    fixture.endProcess(startProcess("/usr/bin/launcher"));
    QCOMPARE(cpuRateOf(late), DWORD(10000));

    if (cancelled)
        fixture.endProcess(launcher);
    // The delay counts in seconds: a second in it still waits. (Its timer
    // keeps whole seconds only: two of them end between 1.5 s and 2.5 s.)
    QTest::qWait(1000);
    QCOMPARE(rule->state(), cancelled ? RuleState::Inactive : RuleState::Delayed);
    if (cancelled)
        QTest::qWait(2000); // past the latest end of the delay
    else
        QTRY_COMPARE_WITH_TIMEOUT(rule->state(), RuleState::Active, 10000);
    const DWORD rate = cancelled ? 10000 : 3000;
    QCOMPARE(cpuRateOf(early), rate);
    QCOMPARE(cpuRateOf(late), rate);
    QCOMPARE(announced, 2);
}

void TestRule::unusableStoredValues_data()
{
    // As hand edits leave them: what is stored, what the rule makes of it.
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<DWORD>("rate");
    QTest::addColumn<QString>("instead");
    QTest::newRow("no cap") << "target/cpuLimit" << QVariant(0) << DWORD(100) << "the cap is 1%";
    QTest::newRow("negative cap") << "target/cpuLimit" << QVariant(-5) << DWORD(100)
                                  << "the cap is 1%";
    QTest::newRow("huge cap") << "target/cpuLimit" << QVariant(100000) << DWORD(10000)
                              << "the cap is 100%";
    QTest::newRow("unknown action")
        << "target/action" << QVariant(7) << DWORD(10000) << "the rule restrains nothing";
    QTest::newRow("negative delay")
        << "target/applyDelayValue" << QVariant(-5) << DWORD(3000) << "the delay is 0s";
}

void TestRule::unusableStoredValues()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(DWORD, rate);
    QFETCH(QString, instead);
    const DWORD target = addProcess("/usr/bin/run");
    StoredRule rule{QStringLiteral("edited"), true, {"run"}};
    rule.delaySeconds = 1;
    storeRule(ruleId, rule);
    RuleOptions(ruleId).setValue(key, stored);
    QTest::ignoreMessage(QtCriticalMsg,
                         QStringLiteral("rule \"edited\": stored %1 \"%2\" cannot be used; %3")
                             .arg(key, stored.toString(), instead)
                             .toUtf8()
                             .constData());
    model = std::make_unique<RulesModel>();
    QTRY_COMPARE(cpuRateOf(target), rate);
    QCOMPARE(RuleOptions(ruleId).value(key), stored); // left as written
}

void TestRule::disabledRuleKeepsItsBookkeeping()
{
    const DWORD target = addProcess("/usr/bin/run");
    const DWORD player = addProcess("/usr/bin/player");
    StoredRule stored{{}, true, {"run"}, {"player"}};
    stored.enabled = false;
    stored.conditionState = RuleOptions::Foreground;
    stored.internet = true;
    Rule *rule = start(stored);
    fixture.setForeground(player);
    fixture.connectivity.fireConnectivityChanged(0x40);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(announced, 0);
    // Checked, it goes by the foreground and connectivity it kept current.
    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(cpuRateOf(target), DWORD(3000));
}

void TestRule::editsApplyAtTheNextEvent()
{
    const DWORD first = addProcess("/usr/bin/first");
    Rule *rule = start({{}, true, {"first"}});
    QCOMPARE(cpuRateOf(first), DWORD(3000));
    // The rule dialog writes through a handle of its own on the same group.
    RuleOptions dialog(ruleId);
    dialog.setValue(QLatin1String(RuleOptions::targetActionKey), RuleOptions::Suspend);
    dialog.setSelectedProcesses(RuleOptions::Target, {"first", "second"});
    const DWORD second = startProcess("/usr/bin/second");
    QVERIFY(isSuspended(second));
    QCOMPARE(cpuRateOf(second), DWORD(10000));
    // One group holds both kinds; deactivation lifts both.
    rule->deactivate();
    QCOMPARE(cpuRateOf(first), DWORD(10000));
    QVERIFY(!isSuspended(second));
}

QTEST_MAIN(TestRule)
#include "tst_rule.moc"
