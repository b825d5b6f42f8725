// A rule driven through events on the simulated machine: process starts and
// ends reach the governor first and then the rule, foreground changes and
// connectivity changes come through the real notifiers. What the rule did is
// checked where it ends up: the jobs and thread suspend counts of the
// simulated machine, the model's notifications and the log file.

#include "LogTail.h"
#include "notifiers/KvNetworkNotifier.h"
#include "notifiers/KvWinEventNotifier.h"
#include "platform/simulated/KvSimulatedConnectivity.h"
#include "platform/simulated/KvSimulatedJobs.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "platform/simulated/KvSimulatedWinEvents.h"
#include "process/KvProcessGovernor.h"
#include "rules/Rule.h"
#include "support/KvDebug.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// The process notifier's two signals, emitted by the test.
class ProcessEvents : public QObject
{
    Q_OBJECT

signals:
    void started(KvProcessInfo processInfo);
    void ended(DWORD id);
};

// The rules model as far as a rule sees it: rows come from the store, and
// every status change a rule announces is noted with its row.
class ModelStandIn
{
public:
    int rowOf(unsigned id) const
    {
        QSettings settings;
        settings.beginGroup(QLatin1String(RuleOptions::rulesGroup));
        return settings.childGroups().indexOf(RuleOptions::groupName(id));
    }
    void watch(Rule *rule)
    {
        const unsigned id = rule->options().id;
        QObject::connect(rule, &Rule::statusChanged, [this, id] { notifiedRows.append(rowOf(id)); });
    }

    QList<int> notifiedRows;
};

struct RuleSpec
{
    QString name = QStringLiteral("Games");
    bool enabled = true;
    QStringList conditions;
    unsigned status = RuleOptions::Running;
    unsigned state = RuleOptions::Anyhow;
    bool internet = false;
    unsigned internetStatus = RuleOptions::Connected;
    QStringList targets;
    unsigned action = RuleOptions::LimitCpu;
    unsigned cpuLimit = 30;
    bool delay = false;
    unsigned delaySeconds = 1;
};

HWND windowOf(DWORD processId)
{
    return reinterpret_cast<HWND>(quintptr(processId) * 16 + 8);
}

} // namespace

class TestRule : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyConditionsAreMetAndRestrictRunningTargets();
    void connectivityChangeReevaluatesEveryRule();
    void internetCondition_data();
    void internetCondition();
    void runningConditionFollowsProcesses();
    void notRunningCondition();
    void foregroundCountsOnlyTheOwningProcess();
    void backgroundWithTwoInstancesOfOneProgram();
    void foregroundProgramIsKnownWithoutOpeningIt();
    void delayEndsInActiveAndRestrictsWhatStartedMeanwhile();
    void delayCancelled_data();
    void delayCancelled();
    void disabledRuleOnlyKeepsItsBookkeeping();
    void unknownPathNeverMatches();
    void unknownStatusOrActionAppliesNothing();
    void editsApplyAtTheNextEvent();
    void destructionLiftsRestrictions();
    void neverRestrainsItself();

private:
    // Writes the rule's group and makes the live rule, connected as the
    // rules model connects it.
    Rule *makeRule(unsigned id, const RuleSpec &spec);
    // Makes the governor; processes added to the machine before this are in
    // its start-up table.
    void makeGovernor();
    DWORD startProcess(const QString &path, int threads = 1);
    void endProcess(DWORD processId);
    void setForeground(DWORD processId);
    DWORD cpuRateOf(DWORD processId) const { return jobs->cpuRateOf(processId); }
    bool isSuspended(DWORD processId) const { return jobs->isSuspended(processId); }
    // Evaluates a rule the way the rules model does at start-up.
    static void evaluate(Rule &rule);

    QTemporaryDir storeDir;
    std::unique_ptr<KvSimulatedMachine> machine;
    std::unique_ptr<KvSimulatedJobs> jobs;
    std::unique_ptr<KvSimulatedWinEvents> winEvents;
    std::unique_ptr<KvSimulatedConnectivity> connectivity;
    std::unique_ptr<KvProcessGovernor> governor;
    std::unique_ptr<KvNetworkNotifier> networkNotifier;
    std::unique_ptr<KvWinEventNotifier> winEventNotifier;
    std::unique_ptr<ProcessEvents> processEvents;
    std::unique_ptr<ModelStandIn> model;
    std::vector<std::unique_ptr<Rule>> rules;
};

void TestRule::initTestCase()
{
    QVERIFY(storeDir.isValid());
    // The log goes under the home folder; a home of our own keeps test runs
    // of other checkouts on this machine out of the lines we assert on.
    qputenv("HOME", QFile::encodeName(storeDir.path()));
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, storeDir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("CorvaneTests"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_rule"));
}

void TestRule::init()
{
    QSettings().remove(QStringLiteral("rules"));
    machine = std::make_unique<KvSimulatedMachine>();
    jobs = std::make_unique<KvSimulatedJobs>(*machine);
    winEvents = std::make_unique<KvSimulatedWinEvents>();
    connectivity = std::make_unique<KvSimulatedConnectivity>();
    machine->installAsCurrent();
    jobs->installAsCurrent();
    KvPlatformWinEvents::install(winEvents.get());
    KvPlatformConnectivity::install(connectivity.get());
    processEvents = std::make_unique<ProcessEvents>();
    model = std::make_unique<ModelStandIn>();
}

void TestRule::cleanup()
{
    rules.clear();
    winEventNotifier.reset();
    networkNotifier.reset();
    governor.reset();
    KvPlatformConnectivity::install(nullptr);
    KvPlatformWinEvents::install(nullptr);
    jobs->uninstall();
    machine->uninstall();
    connectivity.reset();
    winEvents.reset();
    jobs.reset();
    machine.reset();
    processEvents.reset();
    model.reset();
}

void TestRule::makeGovernor()
{
    governor = std::make_unique<KvProcessGovernor>(
        nullptr, storeDir.filePath(QStringLiteral("journal-%1").arg(QTest::currentTestFunction())));
    connect(processEvents.get(), &ProcessEvents::started, governor.get(),
            &KvProcessGovernor::on_processNotifier_started);
    connect(processEvents.get(), &ProcessEvents::ended, governor.get(),
            &KvProcessGovernor::on_processNotifier_ended);
    networkNotifier = std::make_unique<KvNetworkNotifier>();
    winEventNotifier = std::make_unique<KvWinEventNotifier>();
    winEventNotifier->addHook(KvPlatformWinEvents::EventSystemForeground);
}

Rule *TestRule::makeRule(unsigned id, const RuleSpec &spec)
{
    if (!governor)
        makeGovernor();
    {
        RuleOptions options(id);
        options.setValue(QLatin1String(RuleOptions::nameKey), spec.name);
        options.setEnabled(spec.enabled);
        options.setSelectedProcesses(RuleOptions::Condition, spec.conditions);
        options.setValue(QLatin1String(RuleOptions::internetConnectionKey), spec.internet ? 2 : 0);
        options.setValue(QLatin1String(RuleOptions::internetConnectionStatusKey),
                         spec.internetStatus);
        options.setValue(QLatin1String(RuleOptions::conditionStatusKey), spec.status);
        options.setValue(QLatin1String(RuleOptions::conditionStateKey), spec.state);
        options.setSelectedProcesses(RuleOptions::Target, spec.targets);
        options.setValue(QLatin1String(RuleOptions::targetActionKey), spec.action);
        options.setValue(QLatin1String(RuleOptions::cpuLimitKey), spec.cpuLimit);
        options.setValue(QLatin1String(RuleOptions::applyDelayKey), spec.delay ? 2 : 0);
        options.setValue(QLatin1String(RuleOptions::applyDelayValueKey), spec.delaySeconds);
    }
    rules.push_back(std::make_unique<Rule>(id, governor.get()));
    model->watch(rules.back().get());
    Rule *rule = rules.back().get();
    connect(networkNotifier.get(), &KvNetworkNotifier::connectivityChanged, rule,
            &Rule::on_networkNotifier_connectivityChanged);
    connect(processEvents.get(), &ProcessEvents::started, rule, &Rule::on_processNotifier_started);
    connect(processEvents.get(), &ProcessEvents::ended, rule, &Rule::on_processNotifier_ended);
    connect(winEventNotifier.get(), &KvWinEventNotifier::notify, rule,
            &Rule::on_winEventNotifier_notify);
    return rule;
}

DWORD TestRule::startProcess(const QString &path, int threads)
{
    const DWORD processId = machine->addProcess(path, 1, threads);
    KvProcessInfo info;
    info.processId = processId;
    info.parentProcessId = 1;
    info.fileInfo = KvFileInfo(path);
    emit processEvents->started(info);
    return processId;
}

void TestRule::endProcess(DWORD processId)
{
    machine->removeProcess(processId);
    emit processEvents->ended(processId);
}

void TestRule::setForeground(DWORD processId)
{
    winEvents->setWindowProcess(windowOf(processId), processId);
    winEvents->setForegroundWindow(windowOf(processId));
}

void TestRule::evaluate(Rule &rule)
{
    if (rule.options().enabled() && rule.conditionsMet())
        rule.activate(true);
}

void TestRule::emptyConditionsAreMetAndRestrictRunningTargets()
{
    const DWORD game1 = machine->addProcess(QStringLiteral("/opt/games/game"), 1, 2);
    const DWORD game2 = machine->addProcess(QStringLiteral("/usr/local/bin/GAME"), 1, 1);
    const DWORD editor = machine->addProcess(QStringLiteral("/usr/bin/editor"), 1, 1);
    LogTail log;
    RuleSpec spec;
    spec.targets = QStringList{QStringLiteral("game")};
    Rule *rule = makeRule(0x10, spec);
    QCOMPARE(rule->state(), RuleState::Inactive);

    QVERIFY(rule->conditionsMet());
    evaluate(*rule);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(rule->restrictedProcessIds(), (QSet<DWORD>{game1, game2}));
    QCOMPARE(cpuRateOf(game1), DWORD(3000));
    QCOMPARE(cpuRateOf(game2), DWORD(3000));
    QCOMPARE(cpuRateOf(editor), DWORD(10000));
    QCOMPARE(governor->restrictionGroups().size(), 1);
    QCOMPARE(log.rules(), QStringList{QStringLiteral("rule \"Games\" activated")});
    QVERIFY(log.governor().contains(QStringLiteral("process #%1 CPU limited to 30%").arg(game1)));

    // A target that starts while the rule is Active is restricted at once,
    // without a status announcement.
    const DWORD game3 = startProcess(QStringLiteral("/home/u/game"));
    QCOMPARE(cpuRateOf(game3), DWORD(3000));
    QVERIFY(rule->restrictedProcessIds().contains(game3));
    const DWORD other = startProcess(QStringLiteral("/home/u/game.sh"));
    QCOMPARE(cpuRateOf(other), DWORD(10000));
    QVERIFY(!rule->restrictedProcessIds().contains(other));

    // The last restricted targets end: still Active, with an empty set.
    endProcess(game1);
    endProcess(game2);
    endProcess(game3);
    QCOMPARE(rule->state(), RuleState::Active);
    QVERIFY(rule->restrictedProcessIds().isEmpty());
    QVERIFY(model->notifiedRows.isEmpty());

    rule->deactivate();
    QCOMPARE(rule->state(), RuleState::Inactive);
    QVERIFY(governor->restrictionGroups().isEmpty());
    QCOMPARE(log.rules(), (QStringList{QStringLiteral("rule \"Games\" activated"),
                                       QStringLiteral("rule \"Games\" deactivated")}));
}

void TestRule::connectivityChangeReevaluatesEveryRule()
{
    const DWORD game = machine->addProcess(QStringLiteral("/opt/game/bin/run"));
    RuleSpec first;
    first.targets = QStringList{QStringLiteral("/opt/game/*")};
    first.action = RuleOptions::Suspend;
    RuleSpec second;
    second.name = QStringLiteral("Second");
    second.conditions = QStringList{QStringLiteral("absent")};
    makeRule(0x20, first);
    makeRule(0x21, second);
    Rule *withoutInternet = rules[0].get();
    Rule *neverMet = rules[1].get();
    LogTail log;

    // Neither rule asks about the internet; the change still evaluates them.
    connectivity->fireConnectivityChanged(0x1);
    QCOMPARE(withoutInternet->state(), RuleState::Active);
    QVERIFY(isSuspended(game));
    QCOMPARE(neverMet->state(), RuleState::Inactive);
    QCOMPARE(model->notifiedRows, QList<int>{model->rowOf(0x20)});

    // Already met: nothing changes, nothing is announced or applied twice.
    connectivity->fireConnectivityChanged(0x41);
    QCOMPARE(withoutInternet->state(), RuleState::Active);
    QCOMPARE(model->notifiedRows.size(), 1);
    QCOMPARE(log.rules(), QStringList{QStringLiteral("rule \"Games\" activated")});
    QCOMPARE(jobs->suspendCount(machine->threadIdsOf(game).first()), DWORD(1));
}

void TestRule::internetCondition_data()
{
    QTest::addColumn<unsigned>("status");
    QTest::addColumn<NLM_CONNECTIVITY>("value");
    QTest::addColumn<bool>("met");
    QTest::newRow("connected, ipv4") << 1u << NLM_CONNECTIVITY(0x40) << true;
    QTest::newRow("connected, ipv6") << 1u << NLM_CONNECTIVITY(0x400) << true;
    QTest::newRow("connected, local only") << 1u << NLM_CONNECTIVITY(0x1 | 0x10 | 0x100) << false;
    QTest::newRow("connected, none") << 1u << NLM_CONNECTIVITY(0) << false;
    QTest::newRow("disconnected, ipv4") << 0u << NLM_CONNECTIVITY(0x40) << false;
    QTest::newRow("disconnected, both") << 0u << NLM_CONNECTIVITY(0x440) << false;
    QTest::newRow("disconnected, local only") << 0u << NLM_CONNECTIVITY(0x1) << true;
    QTest::newRow("unknown status, online") << 5u << NLM_CONNECTIVITY(0x40) << true;
    QTest::newRow("unknown status, offline") << 5u << NLM_CONNECTIVITY(0) << true;
}

void TestRule::internetCondition()
{
    QFETCH(unsigned, status);
    QFETCH(NLM_CONNECTIVITY, value);
    QFETCH(bool, met);
    RuleSpec spec;
    spec.internet = true;
    spec.internetStatus = status;
    // The opposite of the value to come, so that every row sees a change.
    connectivity->setConnectivity(value & 0x440 ? 0 : 0x40);
    Rule *rule = makeRule(0x30, spec);

    connectivity->fireConnectivityChanged(value);
    QCOMPARE(rule->conditionsMet(), met);
    QCOMPARE(rule->state(), met ? RuleState::Active : RuleState::Inactive);

    // The value a rule starts with is read from the platform when it is made.
    connectivity->setConnectivity(value);
    Rule *fresh = makeRule(0x31, spec);
    QCOMPARE(fresh->conditionsMet(), met);
}

void TestRule::runningConditionFollowsProcesses()
{
    const DWORD worker = machine->addProcess(QStringLiteral("/usr/bin/worker"), 1, 2);
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("steam"), QStringLiteral("/opt/game/*")};
    spec.targets = QStringList{QStringLiteral("worker")};
    spec.cpuLimit = 40;
    Rule *rule = makeRule(0x40, spec);
    LogTail log;

    // Every pattern of the list must be satisfied.
    const DWORD steam = startProcess(QStringLiteral("/usr/games/steam"));
    QCOMPARE(rule->state(), RuleState::Inactive);
    const DWORD game = startProcess(QStringLiteral("/opt/game/bin/game"));
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(cpuRateOf(worker), DWORD(4000));
    QCOMPARE(model->notifiedRows, QList<int>{0});

    // A second instance of a condition program ends: still met, the id is
    // dropped from the set without an announcement.
    const DWORD steam2 = startProcess(QStringLiteral("/usr/games/steam"));
    endProcess(steam2);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(model->notifiedRows.size(), 1);
    QCOMPARE(cpuRateOf(worker), DWORD(4000));

    // The last one ends: the conditions fail and everything is lifted.
    endProcess(steam);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(cpuRateOf(worker), DWORD(10000));
    QVERIFY(rule->restrictedProcessIds().isEmpty());
    QCOMPARE(model->notifiedRows, (QList<int>{0, 0}));
    QCOMPARE(log.rules(), (QStringList{QStringLiteral("rule \"Games\" activated"),
                                       QStringLiteral("rule \"Games\" deactivated")}));
    QVERIFY(log.governor().contains(QStringLiteral("process #%1 CPU limit removed").arg(worker)));

    // Ends while Inactive change nothing.
    endProcess(game);
    QCOMPARE(model->notifiedRows.size(), 2);
}

void TestRule::notRunningCondition()
{
    const DWORD worker = machine->addProcess(QStringLiteral("/usr/bin/worker"), 1, 3);
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("game.exe")};
    spec.status = RuleOptions::NotRunning;
    spec.state = RuleOptions::Foreground; // plays no part for NotRunning
    spec.targets = QStringList{QStringLiteral("worker")};
    spec.action = RuleOptions::Suspend;
    Rule *rule = makeRule(0x50, spec);
    LogTail log;

    // Met while no game.exe runs.
    QVERIFY(rule->conditionsMet());
    evaluate(*rule);
    QCOMPARE(rule->state(), RuleState::Active);
    QVERIFY(isSuspended(worker));

    // A target starting now is not restricted; an unrelated end only drops
    // the id, without an announcement.
    const DWORD worker2 = startProcess(QStringLiteral("/usr/bin/worker"));
    QVERIFY(!isSuspended(worker2));
    QVERIFY(!rule->restrictedProcessIds().contains(worker2));
    endProcess(worker2);
    QCOMPARE(rule->state(), RuleState::Active);
    QVERIFY(model->notifiedRows.isEmpty());

    // Foreground changes never evaluate a NotRunning rule.
    setForeground(worker);
    QCOMPARE(rule->state(), RuleState::Active);
    QVERIFY(model->notifiedRows.isEmpty());

    const DWORD game = startProcess(QStringLiteral("/games/game.exe"));
    QCOMPARE(rule->state(), RuleState::Inactive);
    QVERIFY(!isSuspended(worker));
    for (DWORD thread : machine->threadIdsOf(worker))
        QCOMPARE(jobs->suspendCount(thread), DWORD(0));
    QCOMPARE(model->notifiedRows, QList<int>{0});

    // game.exe ends: the rule activates again, and now restricts both.
    const DWORD worker3 = startProcess(QStringLiteral("/usr/bin/worker"));
    endProcess(game);
    QCOMPARE(rule->state(), RuleState::Active);
    QVERIFY(isSuspended(worker));
    QVERIFY(isSuspended(worker3));
    QCOMPARE(model->notifiedRows, (QList<int>{0, 0}));
    QCOMPARE(log.rules(), (QStringList{QStringLiteral("rule \"Games\" activated"),
                                       QStringLiteral("rule \"Games\" deactivated"),
                                       QStringLiteral("rule \"Games\" activated")}));
}

void TestRule::foregroundCountsOnlyTheOwningProcess()
{
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("player")};
    spec.state = RuleOptions::Foreground;
    spec.targets = QStringList{QStringLiteral("indexer")};
    const DWORD indexer = machine->addProcess(QStringLiteral("/usr/bin/indexer"));
    const DWORD player1 = machine->addProcess(QStringLiteral("/usr/bin/player"));
    const DWORD player2 = machine->addProcess(QStringLiteral("/usr/bin/player"));
    const DWORD shell = machine->addProcess(QStringLiteral("/usr/bin/shell"));
    Rule *rule = makeRule(0x60, spec);

    // Running is not enough; the program must own the foreground window.
    QVERIFY(!rule->conditionsMet());
    setForeground(player2);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(cpuRateOf(indexer), DWORD(3000));
    setForeground(shell);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(cpuRateOf(indexer), DWORD(10000));
    setForeground(player1);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(model->notifiedRows.size(), 3);

    // The foreground window's owner that ends no longer satisfies anything.
    endProcess(player1);
    QCOMPARE(rule->state(), RuleState::Inactive);
}

void TestRule::backgroundWithTwoInstancesOfOneProgram()
{
    const DWORD editor1 = machine->addProcess(QStringLiteral("/usr/bin/editor"));
    const DWORD editor2 = machine->addProcess(QStringLiteral("/usr/bin/editor"));
    const DWORD browser = machine->addProcess(QStringLiteral("/usr/bin/browser"));
    const DWORD builder = machine->addProcess(QStringLiteral("/usr/bin/builder"), 1, 2);
    winEvents->setWindowProcess(windowOf(editor1), editor1);
    winEvents->setForegroundWindow(windowOf(editor1), false);
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("editor")};
    spec.state = RuleOptions::Background;
    spec.targets = QStringList{QStringLiteral("builder")};
    Rule *rule = makeRule(0x70, spec);

    // One instance owns the foreground: neither counts as background.
    QVERIFY(!rule->conditionsMet());
    setForeground(editor2);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QVERIFY(model->notifiedRows.isEmpty());

    // A different program takes the foreground: both now count.
    setForeground(browser);
    QCOMPARE(rule->state(), RuleState::Active);
    QCOMPARE(cpuRateOf(builder), DWORD(3000));
    setForeground(editor1);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(cpuRateOf(builder), DWORD(10000));

    // A foreground window whose process cannot be resolved compares as an
    // empty file: every editor counts as background again.
    winEvents->setForegroundWindow(reinterpret_cast<HWND>(quintptr(0x999)));
    QCOMPARE(rule->state(), RuleState::Active);
}

void TestRule::foregroundProgramIsKnownWithoutOpeningIt()
{
    machine->addProcess(QStringLiteral("/usr/bin/editor"));
    const DWORD elevated = machine->addProcess(QStringLiteral("/usr/bin/editor"));
    const DWORD builder = machine->addProcess(QStringLiteral("/usr/bin/builder"));
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("editor")};
    spec.state = RuleOptions::Background;
    spec.targets = QStringList{QStringLiteral("builder")};
    Rule *rule = makeRule(0x71, spec);

    // An instance this program may not open takes the foreground. The program
    // knows its path all the same, so the other instance is no background.
    machine->failOpenProcess(elevated, 5);
    setForeground(elevated);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(cpuRateOf(builder), DWORD(10000));

    // An instance whose start has not been reported yet is looked up.
    machine->failOpenProcess(elevated, 0);
    setForeground(builder);
    QCOMPARE(rule->state(), RuleState::Active);
    const DWORD unreported = machine->addProcess(QStringLiteral("/usr/bin/editor"));
    setForeground(unreported);
    QCOMPARE(rule->state(), RuleState::Inactive);
}

void TestRule::delayEndsInActiveAndRestrictsWhatStartedMeanwhile()
{
    const DWORD early = machine->addProcess(QStringLiteral("/opt/game/early"));
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("launcher")};
    spec.targets = QStringList{QStringLiteral("/opt/game/*")};
    spec.delay = true;
    spec.delaySeconds = 1;
    Rule *rule = makeRule(0x80, spec);
    LogTail log;

    startProcess(QStringLiteral("/usr/bin/launcher"));
    QCOMPARE(rule->state(), RuleState::Delayed);
    QCOMPARE(log.rules(), QStringList{QStringLiteral("rule \"Games\" delayed for 1s")});
    QCOMPARE(model->notifiedRows, QList<int>{0});
    QCOMPARE(cpuRateOf(early), DWORD(10000));

    // A target that starts during the delay waits for its end.
    const DWORD late = startProcess(QStringLiteral("/opt/game/late"));
    QCOMPARE(cpuRateOf(late), DWORD(10000));
    QVERIFY(rule->restrictedProcessIds().isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(rule->state(), RuleState::Active, 10000);
    QCOMPARE(rule->restrictedProcessIds(), (QSet<DWORD>{early, late}));
    QCOMPARE(cpuRateOf(early), DWORD(3000));
    QCOMPARE(cpuRateOf(late), DWORD(3000));
    QCOMPARE(model->notifiedRows, (QList<int>{0, 0}));
    QCOMPARE(log.rules(), (QStringList{QStringLiteral("rule \"Games\" delayed for 1s"),
                                       QStringLiteral("rule \"Games\" activated")}));

    // Activation through the slots always honours the delay again.
    rule->deactivate();
    rule->activate(true);
    QCOMPARE(rule->state(), RuleState::Delayed);
}

void TestRule::delayCancelled_data()
{
    QTest::addColumn<bool>("byDisabling");
    QTest::newRow("disabled") << true;
    QTest::newRow("conditions fail") << false;
}

void TestRule::delayCancelled()
{
    QFETCH(bool, byDisabling);
    const DWORD target = machine->addProcess(QStringLiteral("/opt/game/run"));
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("launcher")};
    spec.targets = QStringList{QStringLiteral("run")};
    spec.action = RuleOptions::Suspend;
    spec.delay = true;
    Rule *rule = makeRule(0xa0, spec);
    LogTail log;

    const DWORD launcher = startProcess(QStringLiteral("/usr/bin/launcher"));
    QCOMPARE(rule->state(), RuleState::Delayed);
    // Still met while Delayed: nothing happens.
    endProcess(startProcess(QStringLiteral("/usr/bin/launcher")));
    QCOMPARE(rule->state(), RuleState::Delayed);
    QCOMPARE(model->notifiedRows.size(), 1);

    if (byDisabling) {
        // As the rules list does it: store the flag, then deactivate.
        rule->options().setEnabled(false);
        rule->deactivate();
    } else {
        endProcess(launcher);
        QCOMPARE(model->notifiedRows.size(), 2);
    }
    QCOMPARE(rule->state(), RuleState::Inactive);
    QTest::qWait(1500);
    QCOMPARE(rule->state(), RuleState::Inactive);
    QVERIFY(!isSuspended(target));
    QVERIFY(governor->restrictionGroups().isEmpty());
    QCOMPARE(log.rules(), (QStringList{QStringLiteral("rule \"Games\" delayed for 1s"),
                                       QStringLiteral("rule \"Games\" deactivated")}));
    // Nothing was applied, so the governor had nothing to lift.
    QVERIFY(log.governor().filter(QStringLiteral("resumed")).isEmpty());
}

void TestRule::disabledRuleOnlyKeepsItsBookkeeping()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/run"));
    const DWORD player = machine->addProcess(QStringLiteral("/usr/bin/player"));
    RuleSpec spec;
    spec.enabled = false;
    spec.conditions = QStringList{QStringLiteral("player")};
    spec.state = RuleOptions::Foreground;
    spec.internet = true;
    spec.targets = QStringList{QStringLiteral("run")};
    Rule *rule = makeRule(0xb0, spec);

    setForeground(player);
    connectivity->fireConnectivityChanged(0x40);
    startProcess(QStringLiteral("/usr/bin/player"));
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(cpuRateOf(target), DWORD(10000));
    QVERIFY(model->notifiedRows.isEmpty());

    // It kept the foreground and the connectivity current all the same.
    QVERIFY(rule->conditionsMet());
    rule->options().setEnabled(true);
    evaluate(*rule);
    QCOMPARE(rule->state(), RuleState::Active);
}

void TestRule::unknownPathNeverMatches()
{
    // The path patterns themselves are covered with RulePattern; here only
    // that a start whose path is unknown neither meets "*" nor is a target.
    RuleSpec spec;
    spec.conditions = QStringList{QStringLiteral("*")};
    spec.targets = QStringList{QStringLiteral("*")};
    Rule *rule = makeRule(0xc0, spec);
    KvProcessInfo unknown;
    unknown.processId = 4242;
    QVERIFY(!rule->isTarget(unknown));
    emit processEvents->started(unknown);
    QCOMPARE(rule->state(), RuleState::Inactive);
}

void TestRule::unknownStatusOrActionAppliesNothing()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/run"));
    const DWORD anything = machine->addProcess(QStringLiteral("/usr/bin/anything"));
    Q_UNUSED(anything)
    RuleSpec unknownStatus;
    unknownStatus.conditions = QStringList{QStringLiteral("anything")};
    unknownStatus.status = 7;
    unknownStatus.targets = QStringList{QStringLiteral("run")};
    Rule *never = makeRule(0xd0, unknownStatus);
    QVERIFY(!never->conditionsMet());

    RuleSpec unknownAction;
    unknownAction.targets = QStringList{QStringLiteral("run")};
    unknownAction.action = 9;
    Rule *counts = makeRule(0xd1, unknownAction);
    evaluate(*counts);
    QCOMPARE(counts->state(), RuleState::Active);
    QCOMPARE(counts->restrictedProcessIds(), QSet<DWORD>{target});
    QCOMPARE(cpuRateOf(target), DWORD(10000));
    QVERIFY(!isSuspended(target));
    QVERIFY(governor->restrictionGroups().isEmpty());
}

void TestRule::editsApplyAtTheNextEvent()
{
    const DWORD first = machine->addProcess(QStringLiteral("/usr/bin/first"));
    RuleSpec spec;
    spec.targets = QStringList{QStringLiteral("first"), QStringLiteral("second")};
    Rule *rule = makeRule(0xe0, spec);
    evaluate(*rule);
    QCOMPARE(cpuRateOf(first), DWORD(3000));

    // A dialog's handle on the same group writes; the rule reads it next.
    RuleOptions dialog(0xe0);
    dialog.setValue(QLatin1String(RuleOptions::targetActionKey), 1);
    const DWORD second = startProcess(QStringLiteral("/usr/bin/second"));
    QVERIFY(isSuspended(second));
    QCOMPARE(cpuRateOf(second), DWORD(10000));

    // One group holds both kinds; deactivation lifts both.
    rule->deactivate();
    QCOMPARE(cpuRateOf(first), DWORD(10000));
    QVERIFY(!isSuspended(second));
}

void TestRule::destructionLiftsRestrictions()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/run"), 1, 2);
    RuleSpec active;
    active.targets = QStringList{QStringLiteral("run")};
    active.action = RuleOptions::Suspend;
    RuleSpec delayed = active;
    delayed.name = QStringLiteral("Later");
    delayed.delay = true;
    makeRule(0xf0, active);
    makeRule(0xf1, delayed);
    evaluate(*rules[0]);
    evaluate(*rules[1]);
    QVERIFY(isSuspended(target));
    QCOMPARE(rules[1]->state(), RuleState::Delayed);

    LogTail log;
    rules.clear();
    QVERIFY(!isSuspended(target));
    QVERIFY(governor->restrictionGroups().isEmpty());
    // Only the Active rule says goodbye; the delayed timer just ends.
    QCOMPARE(log.rules(), QStringList{QStringLiteral("rule \"Games\" deactivated")});
    QTest::qWait(1200);
    QVERIFY(!isSuspended(target));
}

void TestRule::neverRestrainsItself()
{
    const DWORD self = machine->addProcess(QStringLiteral("/usr/bin/corvane"));
    machine->setCurrentProcessId(self);
    const DWORD other = machine->addProcess(QStringLiteral("/usr/bin/other"));
    RuleSpec spec;
    spec.targets = QStringList{QStringLiteral("*")};
    spec.action = RuleOptions::Suspend;
    Rule *rule = makeRule(0x100, spec);
    evaluate(*rule);
    QVERIFY(isSuspended(other));
    QVERIFY(!isSuspended(self));
    QVERIFY(!rule->restrictedProcessIds().contains(self));
}

QTEST_MAIN(TestRule)
#include "tst_rule.moc"
