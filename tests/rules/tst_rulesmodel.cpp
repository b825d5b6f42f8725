// The rules list over the simulated machine: rows read from the store, the
// check box, removal, and the restrictions lifted whenever rules go.

#include "RulesFixture.h"
#include "rules/Rule.h"
#include "rules/RulesModel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include <cstdio>

namespace {

// Outlives the application object, and with it the process notifier that
// subscribed to the simulated events.
RulesFixture fixture;

const unsigned gamesId = 0x1a, idleId = 0x2b;
const QString gamePath = QStringLiteral("/opt/games/bin/game.exe");

// Changes the store's file as another process does: a copy of the file is
// edited elsewhere and moved over it, unknown to this process's store.
void writeFromOutside(const std::function<void(QSettings &)> &edit)
{
    QSettings().sync();
    const QString path = QSettings().fileName();
    const QString edited = path + QStringLiteral(".outside");
    QFile::remove(edited);
    QFile::copy(path, edited);
    {
        QSettings other(edited, QSettings::IniFormat);
        edit(other);
    }
    QVERIFY(::rename(QFile::encodeName(edited).constData(), QFile::encodeName(path).constData()) ==
            0);
}

} // namespace

class TestRulesModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fixture.setUp()); }
    void init() { RulesFixture::clearStore(); }
    void cleanup();

    void startUpActivatesTheRulesThatHold();
    void checkBoxSwitchesTheRuleAtOnce_data();
    void checkBoxSwitchesTheRuleAtOnce();
    void statusChangeOfAVanishedGroupIsNotAnnounced();
    void removalAndDestructionLiftEveryRestriction();
    void writesOfOtherProcessesAreFollowed();

private:
    void makeModel();
    std::unique_ptr<RulesModel> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

void TestRulesModel::cleanup()
{
    tester.reset();
    model.reset();
    fixture.removeOtherProcesses();
}

void TestRulesModel::makeModel()
{
    model = std::make_unique<RulesModel>();
    tester = std::make_unique<QAbstractItemModelTester>(
        model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
}

void TestRulesModel::startUpActivatesTheRulesThatHold()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    storeRule(idleId, {QStringLiteral("Idle"), false, {"game.exe"}});
    makeModel();
    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Active);
    QCOMPARE(model->ruleFor(idleId)->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));

    // Rows in the store's order of groups.
    QCOMPARE(model->idAt(1), idleId);
    QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("Idle"));
    QCOMPARE(model->index(0, 0).data(Qt::CheckStateRole), QVariant(Qt::Checked));
    QCOMPARE(model->index(1, 0).data(Qt::CheckStateRole), QVariant(Qt::Unchecked));
    QVERIFY(RulesFixture::isStatusIcon(model->index(0, 1), "activerestricting"));
    QVERIFY(RulesFixture::isStatusIcon(model->index(1, 1), "inactive"));
    QVERIFY(model->flags(model->index(0, 0)) & Qt::ItemIsUserCheckable);

    // The last target ends: the rule stays active, restricting nothing.
    fixture.endProcess(game);
    QCOMPARE(model->ruleFor(gamesId)->state(), RuleState::Active);
    QVERIFY(RulesFixture::isStatusIcon(model->index(0, 1), "activenotrestricting"));
    // Nor does a target that no cap could reach make it restricting.
    fixture.jobs.setCpuCapsUnavailable(QStringLiteral("no cpu controller"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("failed to assign"));
    fixture.startProcess(gamePath);
    fixture.jobs.setCpuCapsUnavailable(QString());
    QVERIFY(RulesFixture::isStatusIcon(model->index(0, 1), "activenotrestricting"));
}

void TestRulesModel::checkBoxSwitchesTheRuleAtOnce_data()
{
    QTest::addColumn<unsigned>("delay");
    QTest::addColumn<QString>("icon");
    QTest::newRow("at once") << 0u << QStringLiteral("activerestricting");
    QTest::newRow("delayed") << 60u << QStringLiteral("delayed");
}

void TestRulesModel::checkBoxSwitchesTheRuleAtOnce()
{
    QFETCH(unsigned, delay);
    QFETCH(QString, icon);
    const DWORD game = fixture.machine.addProcess(gamePath);
    StoredRule stored{QStringLiteral("Games"), true, {"game.exe"}};
    stored.delaySeconds = delay;
    storeRule(gamesId, stored);
    makeModel();
    const QSharedPointer<Rule> rule = model->ruleFor(gamesId);
    const RuleState on = delay ? RuleState::Delayed : RuleState::Active;
    const DWORD rate = delay ? 10000 : 3000;
    QCOMPARE(rule->state(), on);
    QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);

    // Checking a running rule again applies nothing twice, so that one
    // uncheck lifts everything.
    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    const auto groups = model->processGovernor().restrictionGroups();
    QCOMPARE(groups.isEmpty() ? 0 : groups.begin()->size(), delay ? 0 : 1);
    QVERIFY(model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(rule->state(), RuleState::Inactive);
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));
    QVERIFY(RulesFixture::isStatusIcon(model->index(0, 1), "inactive"));
    QCOMPARE(changes.last().at(0).toModelIndex(), model->index(0, 1));

    QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(rule->state(), on);
    QVERIFY(RulesFixture::isStatusIcon(model->index(0, 1), icon));
    QCOMPARE(fixture.jobs.cpuRateOf(game), rate);
    QCOMPARE(RuleOptions(gamesId).value(QLatin1String(RuleOptions::enabledKey)).toInt(), 2);
}

void TestRulesModel::statusChangeOfAVanishedGroupIsNotAnnounced()
{
    storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
    makeModel();
    tester.reset(); // the row is to disappear unannounced
    // Edited away outside the program while it runs.
    RuleOptions(gamesId).remove(QString());
    QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);
    model->ruleStatusChanged(model->rowOf(gamesId));
    model->ruleStatusChanged(5);
    QCOMPARE(changes.count(), 0);
}

void TestRulesModel::removalAndDestructionLiftEveryRestriction()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    const DWORD idle = fixture.machine.addProcess(QStringLiteral("/usr/bin/idle.exe"));
    StoredRule suspend{QStringLiteral("Freeze"), true, {"game.exe"}};
    suspend.action = RuleOptions::Suspend;
    storeRule(0x1, suspend);
    storeRule(0x2, {QStringLiteral("Idle"), false, {"idle.exe"}});
    storeRule(0x3, {QStringLiteral("Helper"), false, {"helper.exe"}});
    storeRule(0x4, {QStringLiteral("Games"), true, {"idle.exe"}});
    makeModel();
    QVERIFY(fixture.jobs.isSuspended(game));
    QCOMPARE(fixture.jobs.cpuRateOf(idle), DWORD(3000));

    // Even a caller that forgot to deactivate the rule leaves nothing behind.
    QVERIFY(model->removeRow(0));
    QVERIFY(!fixture.jobs.isSuspended(game));
    QCOMPARE(model->idAt(0), 0x2u);
    // A range goes as a whole, not just its first row.
    QVERIFY(model->removeRows(0, 2));
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(model->idAt(0), 0x4u);
    QVERIFY(!model->removeRows(0, 2));

    tester.reset();
    model.reset();
    QCOMPARE(fixture.jobs.cpuRateOf(idle), DWORD(10000));
    // The store keeps the rules for the next run.
    QCOMPARE(RuleOptions(0x4).name(), QStringLiteral("Games"));
}

void TestRulesModel::writesOfOtherProcessesAreFollowed()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    const DWORD idle = fixture.machine.addProcess(QStringLiteral("/usr/bin/idle"));
    StoredRule games{QStringLiteral("Games"), true, {"game.exe"}};
    games.action = RuleOptions::Suspend;
    storeRule(gamesId, games);
    makeModel();
    QVERIFY(fixture.jobs.isSuspended(game));

    // Added: shown and acting.
    writeFromOutside([](QSettings &store) {
        store.setValue("rules/{2b}/name", "Idle");
        store.setValue("rules/{2b}/enabled", 2);
        store.setValue("rules/{2b}/target/selectedProcesses/1/value", "idle");
        store.setValue("rules/{2b}/target/selectedProcesses/size", 1);
        store.setValue("rules/{2b}/target/cpuLimit", 40);
    });
    QTRY_COMPARE(fixture.jobs.cpuRateOf(idle), DWORD(4000));
    QCOMPARE(model->rowCount(), 2);
    // Changed: the new cap holds.
    writeFromOutside([](QSettings &store) { store.setValue("rules/{2b}/target/cpuLimit", 20); });
    QTRY_COMPARE(fixture.jobs.cpuRateOf(idle), DWORD(2000));
    // Switched off: lifted.
    writeFromOutside([](QSettings &store) { store.setValue("rules/{1a}/enabled", 0); });
    QTRY_VERIFY(!fixture.jobs.isSuspended(game));
    QCOMPARE(model->index(0, 0).data(Qt::CheckStateRole), QVariant(Qt::Unchecked));
    // Removed: lifted and gone from the list.
    writeFromOutside([](QSettings &store) { store.remove("rules/{2b}"); });
    QTRY_COMPARE(fixture.jobs.cpuRateOf(idle), DWORD(10000));
    QCOMPARE(model->rowCount(), 1);
}

QTEST_MAIN(TestRulesModel)
#include "tst_rulesmodel.moc"
