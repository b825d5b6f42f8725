// Rules inside the rules engine, driven through the simulated machine's
// events, and the conditions they go by. What a rule did is checked where it
// ends up: the CPU groups and suspensions of the machine and the engine's
// announcements of the rule's status.

#include "RulesFixture.h"
#include "rules/Rule.h"
#include "rules/RuleConditions.h"
#include "rules/RulesEngine.h"

#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(RuleDefinition)

namespace {

const unsigned ruleId = 0x10;

} // namespace

class TestRule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fixture.isValid()); }
    void init() { RulesFixture::clearStore(); }
    void cleanup()
    {
        engine.reset();
        fixture.removeOtherProcesses();
        fixture.machine.setForeground(KvProcessInfo::noProcessId);
        fixture.machine.setConnectivity({});
    }
    void restrictsEveryRunningTargetButItself()
    {
        const quint32 game = addProcess("/opt/games/game");
        const quint32 editor = addProcess("/usr/bin/editor");
        // Whatever a pattern matches, the program never restrains itself; nor
        // the desktop's compositor, nor the shell it was started from, each
        // named once. A process that only bears the compositor's name is
        // restrained, and named once as well.
        const quint32 xwayland = addProcess("/usr/bin/Xwayland");
        const quint32 borrower = addProcess("/home/u/Xwayland");
        fixture.machine.setRole(xwayland, "the display server");
        fixture.machine.setRole(borrower, "the display server", false);
        QTest::ignoreMessage(QtInfoMsg,
                             QRegularExpression(QStringLiteral("#%1 \\(.home.u.Xwayland\\) borrows "
                                                               "the name of the display server")
                                                    .arg(borrower)));
        const quint32 shell = addProcess("/bin/sh");
        const quint32 self = fixture.machine.ownId();
        fixture.machine.addProcessWithId(self, QStringLiteral("/usr/bin/corvane"), shell);
        QTest::ignoreMessage(
            QtInfoMsg, QRegularExpression(
                           QStringLiteral("#%1 .* alone: it is the display server").arg(xwayland)));
        QTest::ignoreMessage(
            QtInfoMsg,
            QRegularExpression(
                QStringLiteral("#%1 .* alone: this program was started from it").arg(shell)));
        Rule *rule = start({{}, true, {"game", "corvane", "Xwayland", "sh"}});
        QCOMPARE(rule->state(), RuleState::Active);
        QVERIFY(cpuRateOf(game) == 3000u && cpuRateOf(borrower) == 3000u);
        for (quint32 spared : {editor, xwayland, shell, self})
            QCOMPARE(cpuRateOf(spared), 10000u);
        QCOMPARE(rule->restrictedProcessIds(), (QSet<quint32>{game, borrower}));
        fixture.machine.endProcess(borrower);
        // A cap lost under the rule no longer counts, and its status says so.
        fixture.machine.takeOutOfGroups(game);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CPU limit lost"));
        engine->governor().checkCaps();
        QVERIFY(rule->restrictedProcessIds().isEmpty());
        QCOMPARE(announced, 1);
        // A target that starts while the rule is Active is restricted at once.
        QCOMPARE(cpuRateOf(startProcess("/home/u/game")), 3000u);
        QCOMPARE(cpuRateOf(startProcess("/home/u/game.sh")), 10000u);
    }
    void conditionsFollowWhatTheyLookAt_data()
    {
        using Definition = RuleDefinition;
        QTest::addColumn<RuleDefinition>("rule");
        QTest::addColumn<bool>("online");
        QTest::addColumn<bool>("playerInFront"); // else the shell is
        QTest::addColumn<bool>("met");
        Definition internet;
        internet.internetConnection = true;
        internet.internetConnectionStatus = Definition::ConnectionStatus::Connected;
        QTest::newRow("connected, online") << internet << true << false << true;
        QTest::newRow("connected, offline") << internet << false << false << false;
        internet.internetConnectionStatus = Definition::ConnectionStatus::Disconnected;
        QTest::newRow("disconnected, online") << internet << true << false << false;
        internet.internetConnectionStatus = Definition::ConnectionStatus::Unknown;
        QTest::newRow("unknown connection status") << internet << false << false << true;
        Definition window;
        window.conditions = {RulePattern::compiled(QStringLiteral("player"))};
        window.conditionState = Definition::ConditionState::Foreground;
        QTest::newRow("player in front") << window << false << true << true;
        QTest::newRow("player behind") << window << false << false << false;
        // No instance of a program is background while one owns the foreground.
        window.conditionState = Definition::ConditionState::Background;
        QTest::newRow("background, player in front") << window << false << true << false;
        QTest::newRow("background, player behind") << window << false << false << true;
        window.conditionState = Definition::ConditionState::Unknown;
        QTest::newRow("unknown state") << window << false << false << false;
        window.conditionState = Definition::ConditionState::Anyhow;
        window.conditionStatus = Definition::ConditionStatus::NotRunning;
        QTest::newRow("not running, but it is") << window << false << false << false;
        window.conditionStatus = Definition::ConditionStatus::Unknown;
        QTest::newRow("unknown status") << window << false << false << false;
    }
    void conditionsFollowWhatTheyLookAt()
    {
        QFETCH(RuleDefinition, rule);
        QFETCH(bool, online);
        QFETCH(bool, playerInFront);
        // Two instances of the player, one of them in front or the shell.
        RuleConditions::Processes processes;
        for (quint32 id : {7u, 8u})
            processes.insert(id, QSharedPointer<KvProcessInfo>::create(
                                     id, 1, KvFileInfo(QStringLiteral("/usr/bin/player"))));
        processes.insert(9, QSharedPointer<KvProcessInfo>::create(
                                9, 1, KvFileInfo(QStringLiteral("/usr/bin/shell"))));
        const KvProcessInfo foreground = *processes.value(playerInFront ? 8 : 9);
        const KvConnectivity connectivity =
            online ? KvConnectivity(KvConnectivityFlag::Ipv6Internet) : KvConnectivity();
        QTEST(RuleConditions::met(rule, RuleConditions::match(rule, processes), processes,
                                  foreground, connectivity),
              "met");
    }
    void processCondition_data()
    {
        QTest::addColumn<unsigned>("status");
        QTest::addColumn<QString>("states"); // after each step: Active or Inactive
        QTest::newRow("running") << 0u << "IIAAIIAII";
        QTest::newRow("not running") << 1u << "AIIIIAIIA";
    }
    void processCondition()
    {
        QFETCH(unsigned, status);
        QFETCH(QString, states);
        const quint32 worker = addProcess("/usr/bin/worker");
        StoredRule stored{{}, true, {"worker"}, {"steam", "/opt/game/*"}};
        stored.conditionStatus = status;
        // Plays no part for NotRunning: a program in the background counts.
        if (status == 1)
            stored.conditionState = 1;
        stored.action = 1;
        Rule *rule = start(stored);
        QString seen;
        auto step = [&] { seen += rule->state() == RuleState::Active ? 'A' : 'I'; };
        SimulatedMachine &machine = fixture.machine;
        step();
        const quint32 steam = startProcess("/usr/games/steam");
        step();
        const quint32 game = startProcess("/opt/game/bin/game");
        step();
        // A second instance of a condition program comes and goes.
        machine.endProcess(startProcess("/usr/games/steam"));
        step();
        const quint32 worker2 = startProcess("/usr/bin/worker");
        machine.endProcess(steam);
        step();
        machine.endProcess(game);
        step();
        // Condition programs that execute other programs leave the condition.
        const quint32 steam2 = startProcess("/usr/games/steam");
        const quint32 game2 = startProcess("/opt/game/bin/game");
        step();
        machine.execute(steam2, QStringLiteral("/usr/bin/sh"));
        step();
        machine.execute(game2, QStringLiteral("/usr/bin/sh"));
        step();
        QCOMPARE(seen, states);
        QCOMPARE(announced, 4);
        // Activation restricts what runs then; deactivation lifts everything.
        const bool active = rule->state() == RuleState::Active;
        QCOMPARE(isSuspended(worker), active);
        QCOMPARE(isSuspended(worker2), active);
    }
    void unknownStatusLetsEndedTargetsGo()
    {
        // A hand-edited status: the rule without conditions holds all the same.
        const quint32 target = addProcess("/usr/bin/run");
        StoredRule stored{{}, true, {"run"}};
        stored.conditionStatus = 7;
        Rule *rule = start(stored);
        QCOMPARE(rule->restrictedProcessIds(), QSet<quint32>{target});
        fixture.machine.endProcess(target);
        QVERIFY(rule->restrictedProcessIds().isEmpty());
    }
    void delay_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("runs out") << false;
        QTest::newRow("cancelled as the conditions fail") << true;
    }
    void delay()
    {
        QFETCH(bool, cancelled);
        const quint32 early = addProcess("/opt/game/early");
        StoredRule stored{{}, true, {"/opt/game/*"}, {"launcher"}};
        stored.delaySeconds = 2;
        Rule *rule = start(stored);
        const quint32 launcher = startProcess("/usr/bin/launcher");
        QCOMPARE(rule->state(), RuleState::Delayed);
        QCOMPARE(announced, 1);
        // A target that starts during the delay waits for its end; a condition
        // process that comes and goes changes nothing.
        const quint32 late = startProcess("/opt/game/late");
        fixture.machine.endProcess(startProcess("/usr/bin/launcher"));
        QCOMPARE(cpuRateOf(late), 10000u);
        if (cancelled)
            fixture.machine.endProcess(launcher);
        // The delay counts in seconds. Its timer keeps whole seconds only: two
        // seconds end 1.5 s to 2.5 s on, two milliseconds within 0.5 s.
        QTest::qWait(500);
        QCOMPARE(rule->state(), cancelled ? RuleState::Inactive : RuleState::Delayed);
        if (cancelled)
            QTest::qWait(2500); // past the latest end of the delay
        else
            QTRY_COMPARE_WITH_TIMEOUT(rule->state(), RuleState::Active, 10000);
        const quint32 rate = cancelled ? 10000 : 3000;
        QCOMPARE(cpuRateOf(early), rate);
        QCOMPARE(cpuRateOf(late), rate);
        QCOMPARE(announced, 2);
    }
    void unusableStoredValues_data()
    {
        // As hand edits leave them: what is stored, what the rule makes of it.
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<quint32>("rate");
        QTest::addColumn<QString>("instead");
        QTest::newRow("word") << "target/cpuLimit" << QVariant("ten") << 100u << "the cap is 1%";
        QTest::newRow("negative") << "target/cpuLimit" << QVariant(-5) << 100u << "the cap is 1%";
        QTest::newRow("high") << "target/cpuLimit" << QVariant(1000) << 10000u << "the cap is 100%";
        QTest::newRow("unknown action")
            << "target/action" << QVariant(7) << 10000u << "the rule restrains nothing";
        QTest::newRow("negative delay")
            << "target/applyDelayValue" << QVariant(-5) << 3000u << "the delay is 0s";
        QTest::newRow("huge delay") << "target/applyDelayValue" << QVariant(3000000000LL) << 10000u
                                    << "the delay is 2147483s";
        // Said of a rule that restrains only what is busy (the target here never is).
        QTest::newRow("busy share high")
            << "target/busyPercent" << QVariant(500) << 10000u << "busy means 100% of the machine";
        QTest::newRow("no busy time")
            << "target/busySeconds" << QVariant(0) << 10000u << "a process is held after 1s busy";
        QTest::newRow("calm time a word") << "target/calmSeconds" << QVariant("long") << 10000u
                                          << "a process is let go after 1s calm";
    }
    void unusableStoredValues()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(quint32, rate);
        QFETCH(QString, instead);
        const quint32 target = addProcess("/usr/bin/run");
        StoredRule rule{QStringLiteral("edited"), true, {"run"}};
        rule.delaySeconds = 1;
        storeRule(ruleId, rule);
        const QString storedKey = QStringLiteral("rules/{10}/") + key;
        QSettings().setValue(storedKey, stored);
        if (key.contains("busy") || key.contains("calm"))
            QSettings().setValue("rules/{10}/target/onlyWhenBusy", 2);
        QTest::ignoreMessage(QtCriticalMsg,
                             QStringLiteral("rule \"edited\": stored %1 \"%2\" cannot be used; %3")
                                 .arg(key, stored.toString(), instead)
                                 .toUtf8()
                                 .constData());
        // The delay the rule uses: the one the critical line names, else the stored one.
        const QString delay = key.endsWith("Value") ? instead.section(' ', -1) : "1s";
        QTest::ignoreMessage(QtInfoMsg, qPrintable("rule \"edited\" delayed for " + delay));
        engine = std::make_unique<RulesEngine>();
        QTRY_COMPARE(cpuRateOf(target), rate);
        QCOMPARE(QSettings().value(storedKey), stored); // left as written
    }
    void disabledRuleKeepsItsBookkeeping()
    {
        const quint32 target = addProcess("/usr/bin/run");
        const quint32 player = addProcess("/usr/bin/player");
        // A process the program may not read: its path is known all the same.
        fixture.machine.hideImage(player);
        StoredRule stored{{}, true, {"run"}, {"player"}};
        stored.enabled = false;
        stored.conditionState = 1;
        stored.internet = true;
        Rule *rule = start(stored);
        fixture.machine.setForeground(player);
        fixture.machine.setConnectivity(KvConnectivityFlag::Ipv4Internet);
        QCOMPARE(rule->state(), RuleState::Inactive);
        QCOMPARE(announced, 0);
        // Switched on, it goes by the foreground and connectivity it kept current.
        engine->store().setEnabled(ruleId, true);
        QCOMPARE(rule->state(), RuleState::Active);
        QCOMPARE(cpuRateOf(target), 3000u);
        // An instance whose start has not been reported yet is looked up: it is
        // no process of the rule's, but its program is in the foreground.
        fixture.machine.setForeground(addProcess("/usr/bin/player"));
        QCOMPARE(rule->state(), RuleState::Inactive);
    }
    void familySharesOneRestraint_data()
    {
        QTest::addColumn<unsigned>("action");
        QTest::addColumn<QString>("held");
        QTest::newRow("limit") << 0u << "under one limit of 25%";
        QTest::newRow("suspend") << 1u << "suspended together";
    }
    void familySharesOneRestraint()
    {
        QFETCH(unsigned, action);
        QFETCH(QString, held);
        SimulatedMachine &machine = fixture.machine;
        const quint32 make = addProcess("/usr/bin/make");
        const quint32 compiler = machine.addProcess("/usr/lib/gcc/cc1", make);
        const quint32 assembler = machine.addProcess("/usr/bin/as", compiler);
        const quint32 editor = addProcess("/usr/bin/editor");
        const auto restrained = [&](quint32 id) {
            return action ? machine.isSuspended(id) && machine.isFrozen(id)
                          : machine.cpuRateOf(id) == 2500;
        };
        const auto free = [&](quint32 id) {
            return machine.cpuRateOf(id) == KvCpuGroup::unlimited && !machine.isSuspended(id) &&
                   !machine.isFrozen(id);
        };
        StoredRule stored{QStringLiteral("build"), true, {"make"}};
        stored.action = action;
        stored.cpuLimit = 25;
        stored.shareLimit = true;
        QTest::ignoreMessage(QtInfoMsg, qPrintable("rule \"build\" holds 3 processes " + held));
        Rule *rule = start(stored);
        QVERIFY(restrained(make) && restrained(compiler) && restrained(assembler) && free(editor));
        QCOMPARE(machine.groupCount(), 1);
        // What the family starts joins it at once; nothing else does.
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression("^process #\\d+ \\(.*ld\\) joins rule "
                                                           "\"build\", now 4 processes " +
                                                           QRegularExpression::escape(held)));
        const quint32 linker = machine.startProcess("/usr/bin/ld", compiler);
        const quint32 shell = startProcess("/bin/sh");
        QVERIFY(restrained(linker) && free(shell));
        QCOMPARE(rule->restrictedProcessIds().size(), 4);
        rule->deactivate();
        for (quint32 id : {make, compiler, assembler, linker})
            QVERIFY(free(id));
        QCOMPARE(machine.groupCount(), 0);
    }
    void busyTargetsAreHeldAfterTheDelayButNotInFront()
    {
        SimulatedMachine &machine = fixture.machine;
        const quint32 hog = addProcess("/usr/bin/hog"), quiet = addProcess("/usr/bin/quiet");
        machine.setBusy(hog, 0.5);
        StoredRule stored{"hogs", true, {"*"}};
        stored.cpuLimit = 10;
        stored.delaySeconds = stored.busySeconds = 1;
        stored.onlyWhenBusy = true;
        const QByteArray process = " process #" + QByteArray::number(hog) + " (hog): ";
        for (int i = 0; i < 2; ++i)
            QTest::ignoreMessage(QtInfoMsg, "rule \"hogs\" holds" + process +
                                                "busy at 50 % of the machine for 1 s");
        // The watch begins once the delay has run out.
        Rule *rule = start(stored);
        QVERIFY(rule->heldProcessIds().isEmpty());
        QTRY_COMPARE(rule->state(), RuleState::Active);
        QCOMPARE(cpuRateOf(hog), 10000u);
        QTRY_COMPARE(cpuRateOf(hog), 1000u);
        QCOMPARE(rule->heldProcessIds(), QList<quint32>{hog});
        // In the foreground it is let go at once; held again once it has left it.
        QTest::ignoreMessage(QtInfoMsg,
                             "rule \"hogs\" lets go of" + process + "it is in the foreground");
        machine.setForeground(hog);
        QCOMPARE(cpuRateOf(hog), 10000u);
        machine.setForeground(quiet);
        QTRY_COMPARE(cpuRateOf(hog), 1000u);
        QCOMPARE(cpuRateOf(quiet), 10000u);
    }

private:
    // Stores the rule and starts the engine over it, which activates the
    // rule if its conditions hold, as at program start.
    Rule *start(const StoredRule &stored)
    {
        engine.reset();
        storeRule(ruleId, stored);
        engine = std::make_unique<RulesEngine>();
        announced = 0;
        connect(engine.get(), &RulesEngine::ruleStatusChanged, this, [this] { ++announced; });
        return engine->rule(ruleId);
    }

    quint32 addProcess(const char *path) { return fixture.machine.addProcess(path); }
    quint32 startProcess(const char *path) { return fixture.machine.startProcess(path); }
    quint32 cpuRateOf(quint32 processId) { return fixture.machine.cpuRateOf(processId); }
    bool isSuspended(quint32 processId) { return fixture.machine.isSuspended(processId); }

    RulesFixture fixture;
    std::unique_ptr<RulesEngine> engine;
    // How often the engine announced a change of the rule's status.
    int announced = 0;
};

QTEST_MAIN(TestRule)
#include "tst_rule.moc"
