#include "RulesFixture.h"

#include "rules/Rule.h"
#include "rules/RulesModel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

const unsigned gamesId = 0x1a;
const unsigned idleId = 0x2b;
const unsigned helperId = 0x3c;
const QString gamePath = QStringLiteral("/opt/games/bin/game.exe");

// Outlives the application object, and with it the process notifier that
// subscribed to the simulated events.
RulesFixture fixture;

// Every status cell that a dataChanged signal covered.
QList<int> statusRowsIn(const QSignalSpy &spy)
{
    QList<int> rows;
    for (const QList<QVariant> &arguments : spy) {
        const QModelIndex from = arguments.at(0).toModelIndex();
        const QModelIndex to = arguments.at(1).toModelIndex();
        if (from.column() <= 1 && to.column() >= 1) {
            for (int row = from.row(); row <= to.row(); ++row)
                rows << row;
        }
    }
    return rows;
}

} // namespace

// The rules model over the simulated machine, with its store in a temporary
// place.
class TestRulesModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyStoreGivesNoRowsButHooksTheForeground();
    void startUpLoadsEveryRuleAndActivatesTheMetOnes();
    void governorSeesAStartedProcessBeforeTheRules();
    void dataBringsAnUnknownRuleToLifeUnevaluated();
    void checkBoxSwitchesTheRuleAtOnce();
    void checkingADelayedRuleDelaysItAgain();
    void removingRowsDeletesTheirGroups();
    void removingAnActiveRuleLiftsItsRestrictions();
    void statusChangeOfAVanishedGroupIsNotAnnounced();
    void destructionLiftsEveryRestriction();

private:
    std::unique_ptr<RulesModel> makeModel();

    std::unique_ptr<QAbstractItemModelTester> tester;
};

void TestRulesModel::initTestCase()
{
    QVERIFY(fixture.setUp());
}

void TestRulesModel::init()
{
    RulesFixture::clearStore();
}

void TestRulesModel::cleanup()
{
    tester.reset();
    fixture.removeOtherProcesses();
}

std::unique_ptr<RulesModel> TestRulesModel::makeModel()
{
    auto model = std::make_unique<RulesModel>();
    tester = std::make_unique<QAbstractItemModelTester>(
        model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    return model;
}

void TestRulesModel::emptyStoreGivesNoRowsButHooksTheForeground()
{
    {
        auto model = makeModel();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(fixture.winEvents.hookCount(KvPlatformWinEvents::EventSystemForeground), 1);
        // Only the name column has a title.
        QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QString());
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QString());
        QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Name"));
        tester.reset();
    }
    QCOMPARE(fixture.winEvents.hookCount(), 0);
}

void TestRulesModel::startUpLoadsEveryRuleAndActivatesTheMetOnes()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    RulesFixture::storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    RulesFixture::storeRule(idleId, {QStringLiteral("Idle"), false, {"game.exe"}});
    RulesFixture::storeRule(helperId,
                            {QStringLiteral("Helper"), true, {"game.exe"}, {"helper.exe"}});

    auto model = makeModel();
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Active);
    QCOMPARE(model->ruleFor(idleId)->state(), RuleState::Inactive);
    QCOMPARE(model->ruleFor(helperId)->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));

    const int games = model->rowOf(gamesId);
    const int idle = model->rowOf(idleId);
    QCOMPARE(model->idAt(games), gamesId);
    QCOMPARE(model->index(games, 0).internalId(), quintptr(gamesId));
    QCOMPARE(model->data(model->index(games, 2)).toString(), QStringLiteral("Games"));
    QCOMPARE(model->data(model->index(games, 0), Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QCOMPARE(model->data(model->index(idle, 0), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QCOMPARE(RulesFixture::imageOf(model->data(model->index(games, 1), Qt::DecorationRole)),
             RulesFixture::statusImage(QStringLiteral("activerestricting")));
    QCOMPARE(RulesFixture::imageOf(model->data(model->index(idle, 1), Qt::DecorationRole)),
             RulesFixture::statusImage(QStringLiteral("inactive")));
    QVERIFY(model->flags(model->index(games, 0)) & Qt::ItemIsUserCheckable);
    QVERIFY(!(model->flags(model->index(games, 2)) & Qt::ItemIsUserCheckable));
    QVERIFY(!(model->flags(model->index(games, 2)) & Qt::ItemIsEditable));

    // The last target ends: the rule stays active, restricting nothing.
    fixture.endProcess(game);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Active);
    QCOMPARE(RulesFixture::imageOf(model->data(model->index(games, 1), Qt::DecorationRole)),
             RulesFixture::statusImage(QStringLiteral("activenotrestricting")));
}

void TestRulesModel::governorSeesAStartedProcessBeforeTheRules()
{
    RulesFixture::storeRule(helperId,
                            {QStringLiteral("Helper"), true, {"game.exe"}, {"helper.exe"}});
    const DWORD game = fixture.machine.addProcess(gamePath);
    auto model = makeModel();
    QCOMPARE(model->ruleFor(helperId)->state(), RuleState::Inactive);

    QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);
    // The rule looks for its condition in the governor's table, so the
    // table must already hold the new process when the rule hears of it.
    const DWORD helper = fixture.startProcess(QStringLiteral("/usr/lib/helper/helper.exe"));
    QVERIFY(model->processGovernor().processes().contains(helper));
    QCOMPARE(model->ruleFor(helperId)->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));
    QCOMPARE(statusRowsIn(changes), QList<int>{model->rowOf(helperId)});

    fixture.endProcess(helper);
    QCOMPARE(model->ruleFor(helperId)->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));
}

void TestRulesModel::dataBringsAnUnknownRuleToLifeUnevaluated()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    auto model = makeModel();
    QCOMPARE(model->rowCount(), 0);

    // Written behind the model's back, as the rule dialog does, and
    // announced the way the main window announces it.
    RulesFixture::storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    tester.reset(); // it counts rows before the announcement; the store already has them
    QVERIFY(model->insertRow(model->rowOf(gamesId)));
    QCOMPARE(model->rowCount(), 1);

    const QModelIndex status = model->index(0, 1);
    QCOMPARE(status.internalId(), quintptr(gamesId));
    // Made on demand and not evaluated, although its conditions hold.
    QCOMPARE(RulesFixture::imageOf(model->data(status, Qt::DecorationRole)),
             RulesFixture::statusImage(QStringLiteral("inactive")));
    QCOMPARE(model->data(model->index(0, 2)).toString(), QStringLiteral("Games"));
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));

    // It is connected to the notifiers like every other rule: the next event
    // evaluates it.
    fixture.connectivity.fireConnectivityChanged(0x40);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));
}

void TestRulesModel::checkBoxSwitchesTheRuleAtOnce()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    RulesFixture::storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    auto model = makeModel();
    const QModelIndex check = model->index(0, 0);
    QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);

    // Checking an active rule again applies nothing twice, so that one
    // uncheck lifts everything.
    QVERIFY(model->setData(check, int(Qt::Checked), Qt::CheckStateRole));
    QCOMPARE(model->processGovernor().restrictionGroups().size(), 1);
    QCOMPARE(model->processGovernor().restrictionGroups().begin().value().size(), 1);
    QVERIFY(model->setData(check, int(Qt::Unchecked), Qt::CheckStateRole));
    QVERIFY(model->processGovernor().restrictionGroups().isEmpty());
    QCOMPARE(RulesFixture::storedValue(gamesId, RuleOptions::enabledKey).toInt(), 0);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));
    QCOMPARE(model->data(check, Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QCOMPARE(RulesFixture::imageOf(model->data(model->index(0, 1), Qt::DecorationRole)),
             RulesFixture::statusImage(QStringLiteral("inactive")));
    QVERIFY(statusRowsIn(changes).contains(0));

    QVERIFY(model->setData(check, int(Qt::Checked), Qt::CheckStateRole));
    QCOMPARE(RulesFixture::storedValue(gamesId, RuleOptions::enabledKey).toInt(), 2);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Active);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));

    // Other roles are not the model's to set.
    QVERIFY(!model->setData(model->index(0, 2), QStringLiteral("Renamed"), Qt::EditRole));
    QCOMPARE(model->data(model->index(0, 2)).toString(), QStringLiteral("Games"));
}

void TestRulesModel::checkingADelayedRuleDelaysItAgain()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    RulesFixture::Stored delayed{QStringLiteral("Later"), true, {"game.exe"}};
    delayed.delaySeconds = 60;
    RulesFixture::storeRule(gamesId, delayed);
    auto model = makeModel();
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Delayed);
    QCOMPARE(RulesFixture::imageOf(model->data(model->index(0, 1), Qt::DecorationRole)),
             RulesFixture::statusImage(QStringLiteral("delayed")));

    QVERIFY(model->setData(model->index(0, 0), int(Qt::Unchecked), Qt::CheckStateRole));
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Inactive);
    QVERIFY(model->setData(model->index(0, 0), int(Qt::Checked), Qt::CheckStateRole));
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Delayed);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));
}

void TestRulesModel::removingRowsDeletesTheirGroups()
{
    RulesFixture::storeRule(gamesId, {QStringLiteral("Games"), false, {"game.exe"}});
    RulesFixture::storeRule(idleId, {QStringLiteral("Idle"), false, {"idle.exe"}});
    RulesFixture::storeRule(helperId, {QStringLiteral("Helper"), false, {"helper.exe"}});
    auto model = makeModel();
    QCOMPARE(model->rowCount(), 3);
    const int first = model->rowOf(gamesId);
    QCOMPARE(first, 0);

    QVERIFY(model->removeRow(first));
    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(model->rowOf(gamesId), -1);
    QVERIFY(!QSettings().childGroups().isEmpty());
    QVERIFY(!QSettings().allKeys().join(',').contains(RuleOptions::groupName(gamesId)));
    // The rows after it moved up by one.
    QCOMPARE(model->idAt(0), idleId);
    QCOMPARE(model->data(model->index(0, 2)).toString(), QStringLiteral("Idle"));

    // A range goes as a whole, not just its first row.
    QVERIFY(model->removeRows(0, 2));
    QCOMPARE(model->rowCount(), 0);
    QSettings settings;
    settings.beginGroup(QLatin1String(RuleOptions::rulesGroup));
    QCOMPARE(settings.childGroups(), QStringList());

    // Rows that are not there are not removed.
    QVERIFY(!model->removeRows(0, 1));
}

void TestRulesModel::removingAnActiveRuleLiftsItsRestrictions()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    RulesFixture::Stored suspend{QStringLiteral("Freeze"), true, {"game.exe"}};
    suspend.action = RuleOptions::Suspend;
    RulesFixture::storeRule(gamesId, suspend);
    auto model = makeModel();
    QVERIFY(fixture.jobs.isSuspended(game));

    // Even a caller that forgets to deactivate first leaves nothing behind.
    QVERIFY(model->removeRow(0));
    QVERIFY(!fixture.jobs.isSuspended(game));
    QVERIFY(model->processGovernor().restrictionGroups().isEmpty());
}

void TestRulesModel::statusChangeOfAVanishedGroupIsNotAnnounced()
{
    RulesFixture::storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    auto model = makeModel();
    const QSharedPointer<Rule> rule = model->ruleFor(gamesId);
    QCOMPARE(rule->state(), RuleState::Active);

    // Edited away outside the program while it runs.
    RuleOptions(gamesId).remove(QString());
    QCOMPARE(model->rowOf(gamesId), -1);
    tester.reset(); // the row disappeared unannounced
    QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);
    model->ruleStatusChanged(model->rowOf(gamesId));
    model->ruleStatusChanged(5);
    QCOMPARE(changes.count(), 0);
}

void TestRulesModel::destructionLiftsEveryRestriction()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    const DWORD idle = fixture.machine.addProcess(QStringLiteral("/usr/bin/idle.exe"));
    RulesFixture::storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    RulesFixture::Stored suspend{QStringLiteral("Freeze"), true, {"idle.exe"}};
    suspend.action = RuleOptions::Suspend;
    RulesFixture::storeRule(idleId, suspend);

    auto model = makeModel();
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));
    QVERIFY(fixture.jobs.isSuspended(idle));
    tester.reset();
    model.reset();

    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));
    QVERIFY(!fixture.jobs.isSuspended(idle));
    QCOMPARE(fixture.winEvents.hookCount(), 0);
    QCOMPARE(fixture.connectivity.adviseCount(), 0);
    // The store keeps the rules for the next run.
    QCOMPARE(RulesFixture::storedValue(gamesId, RuleOptions::enabledKey).toInt(), 2);
}

QTEST_MAIN(TestRulesModel)
#include "tst_rulesmodel.moc"
