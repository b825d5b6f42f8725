// The rules list over the simulated machine: rows read from the store, the
// check box, removal, and the restrictions lifted whenever rules go.

#include "RulesFixture.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"
#include "rules/RulesModel.h"

#include <QtTest>

const unsigned gamesId = 0x1a, idleId = 0x2b;
const QString gamePath = QStringLiteral("/opt/games/bin/game.exe");

// Changes the store as another process does, unknown to this process's store:
// a copy of the file is edited outside its folder and moved over it, or
// written into it as editors that write in place do; in the registry a
// handle of Qt's own writes the keys.
void writeFromOutside(const std::function<void(QSettings &)> &edit, bool inPlace = false)
{
    if (!QSettings().fileName().endsWith(".conf")) {
        QSettings other;
        edit(other);
        return;
    }
    QSettings().sync();
    const QString path = QSettings().fileName(), edited = QFileInfo(path).path() + "/../e.conf";
    QFile::remove(edited);
    QFile::copy(path, edited);
    QSettings other(edited, QSettings::IniFormat);
    edit(other);
    other.sync();
    QFile from(edited), into(path);
    QVERIFY(inPlace ? from.open(QIODevice::ReadOnly) && into.open(QIODevice::ReadWrite) &&
                          into.resize(0) && into.write(from.readAll()) > 0
                    : std::rename(qPrintable(edited), qPrintable(path)) == 0);
}

// Whether the status cell of the rules list shows the named image.
bool isStatusIcon(const QModelIndex &cell, const QString &name)
{
    const QIcon icon = cell.data(Qt::DecorationRole).value<QIcon>();
    const QImage image(QStringLiteral(":/resources/images/status/%1.png").arg(name));
    const auto format = QImage::Format_ARGB32_Premultiplied;
    return icon.pixmap(16, 16).toImage().convertToFormat(format) == image.convertToFormat(format);
}

class TestRulesModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(fixture.isValid()); }
    void init() { RulesFixture::clearStore(); }
    void cleanup()
    {
        tester.reset();
        model.reset();
        engine.reset();
        fixture.removeOtherProcesses();
    }
    void startUpActivatesTheRulesThatHold()
    {
        const quint32 game = fixture.machine.addProcess(gamePath);
        storeRule(gamesId, {QStringLiteral("Games"), true, {"game.exe"}});
        storeRule(idleId, {QStringLiteral("Idle"), false, {"game.exe"}});
        makeModel();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(ruleOf(gamesId)->state(), RuleState::Active);
        QCOMPARE(ruleOf(idleId)->state(), RuleState::Inactive);
        QCOMPARE(fixture.machine.cpuRateOf(game), quint32(3000));
        // Rows in the store's order of groups.
        QCOMPARE(model->idAt(1), idleId);
        QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("Idle"));
        QCOMPARE(model->index(0, 0).data(Qt::CheckStateRole), QVariant(Qt::Checked));
        QCOMPARE(model->index(1, 0).data(Qt::CheckStateRole), QVariant(Qt::Unchecked));
        QVERIFY(isStatusIcon(model->index(0, 1), "activerestricting"));
        QVERIFY(isStatusIcon(model->index(1, 1), "inactive"));
        QVERIFY(model->flags(model->index(0, 0)) & Qt::ItemIsUserCheckable);
        // The last target ends: the rule stays active, restricting nothing, and
        // the view hears that its icon changed.
        QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);
        fixture.machine.endProcess(game);
        QCOMPARE(ruleOf(gamesId)->state(), RuleState::Active);
        QVERIFY(isStatusIcon(model->index(0, 1), "activenotrestricting"));
        QCOMPARE(changes.size(), 1);
        // Nor does a target that no cap could reach make it restricting.
        fixture.machine.capsUnavailable = QStringLiteral("no cpu controller");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("failed to assign"));
        fixture.machine.startProcess(gamePath);
        fixture.machine.capsUnavailable = QString();
        QVERIFY(isStatusIcon(model->index(0, 1), "activenotrestricting"));
        fixture.machine.startProcess(gamePath);
        QCOMPARE(changes.size(), 2);
    }
    void checkBoxSwitchesTheRuleAtOnce_data()
    {
        QTest::addColumn<unsigned>("delay");
        QTest::addColumn<QString>("icon");
        QTest::newRow("at once") << 0u << QStringLiteral("activerestricting");
        QTest::newRow("delayed") << 60u << QStringLiteral("delayed");
    }
    void checkBoxSwitchesTheRuleAtOnce()
    {
        QFETCH(unsigned, delay);
        QFETCH(QString, icon);
        const quint32 game = fixture.machine.addProcess(gamePath);
        StoredRule stored{QStringLiteral("Games"), true, {"game.exe"}};
        stored.delaySeconds = delay;
        storeRule(gamesId, stored);
        makeModel();
        Rule *rule = ruleOf(gamesId);
        const RuleState on = delay ? RuleState::Delayed : RuleState::Active;
        const quint32 rate = delay ? 10000 : 3000;
        QCOMPARE(rule->state(), on);
        QSignalSpy changes(model.get(), &QAbstractItemModel::dataChanged);
        // Checking a running rule again applies nothing twice, so that one
        // uncheck lifts everything.
        QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
        const auto groups = engine->governor().restrictionGroups();
        QCOMPARE(groups.isEmpty() ? 0 : groups.begin()->size(), delay ? 0 : 1);
        QVERIFY(model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(rule->state(), RuleState::Inactive);
        QCOMPARE(fixture.machine.cpuRateOf(game), quint32(10000));
        QVERIFY(isStatusIcon(model->index(0, 1), "inactive"));
        QCOMPARE(changes.last().at(0).toModelIndex().row(), 0);
        QVERIFY(model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(rule->state(), on);
        QVERIFY(isStatusIcon(model->index(0, 1), icon));
        QCOMPARE(fixture.machine.cpuRateOf(game), rate);
        QCOMPARE(QSettings().value(QStringLiteral("rules/{1a}/enabled")).toInt(), 2);
    }
    void removalAndDestructionLiftEveryRestriction()
    {
        const quint32 game = fixture.machine.addProcess(gamePath);
        const quint32 idle = fixture.machine.addProcess(QStringLiteral("/usr/bin/idle.exe"));
        StoredRule suspend{QStringLiteral("Freeze"), true, {"game.exe"}};
        suspend.action = 1;
        storeRule(0x1, suspend);
        storeRule(0x2, {QStringLiteral("Idle"), false, {"idle.exe"}});
        storeRule(0x3, {QStringLiteral("Helper"), false, {"helper.exe"}});
        storeRule(0x4, {QStringLiteral("Games"), true, {"idle.exe"}});
        makeModel();
        QVERIFY(fixture.machine.isSuspended(game));
        QCOMPARE(fixture.machine.cpuRateOf(idle), quint32(3000));
        // A rule removed lifts what it holds.
        QVERIFY(model->removeRow(0));
        QVERIFY(!fixture.machine.isSuspended(game));
        QCOMPARE(model->idAt(0), 0x2u);
        // A range goes as a whole, not just its first row.
        QVERIFY(model->removeRows(0, 2));
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->idAt(0), 0x4u);
        QVERIFY(!model->removeRows(0, 2));
        tester.reset();
        model.reset();
        // The end of the run lifts everything first; nothing that comes after restrains.
        engine->stop();
        QCOMPARE(fixture.machine.cpuRateOf(idle), 10000u);
        const quint32 late = fixture.machine.startProcess(QStringLiteral("/usr/bin/idle.exe"));
        QCOMPARE(fixture.machine.cpuRateOf(late), 10000u);
        engine.reset();
        // The store keeps the rules for the next run.
        QCOMPARE(QSettings().value("rules/{4}/name").toString(), "Games");
    }
    void writesOfOtherProcessesAreFollowed()
    {
        const quint32 game = fixture.machine.addProcess(gamePath);
        const quint32 idle = fixture.machine.addProcess(QStringLiteral("/usr/bin/idle"));
        StoredRule games{QStringLiteral("Games"), true, {"game.exe"}};
        games.action = 1;
        storeRule(gamesId, games);
        makeModel();
        QVERIFY(fixture.machine.isSuspended(game));
        // Added: shown and acting.
        writeFromOutside([](QSettings &store) {
            store.setValue("rules/{2b}/name", "Idle");
            store.setValue("rules/{2b}/enabled", 2);
            store.setValue("rules/{2b}/target/selectedProcesses/1/value", "idle");
            store.setValue("rules/{2b}/target/selectedProcesses/size", 1);
            store.setValue("rules/{2b}/target/cpuLimit", 40);
        });
        QTRY_COMPARE(fixture.machine.cpuRateOf(idle), quint32(4000));
        QCOMPARE(model->rowCount(), 2);
        // Changed: the new cap holds.
        writeFromOutside(
            [](QSettings &store) { store.setValue("rules/{2b}/target/cpuLimit", 20); });
        QTRY_COMPARE(fixture.machine.cpuRateOf(idle), quint32(2000));
        // Switched off in place: lifted.
        writeFromOutside([](QSettings &store) { store.setValue("rules/{1a}/enabled", 0); }, true);
        QTRY_VERIFY(!fixture.machine.isSuspended(game));
        QCOMPARE(model->index(0, 0).data(Qt::CheckStateRole), QVariant(Qt::Unchecked));
        // Removed: lifted and gone from the list.
        writeFromOutside([](QSettings &store) { store.remove("rules/{2b}"); });
        QTRY_COMPARE(fixture.machine.cpuRateOf(idle), quint32(10000));
        QCOMPARE(model->rowCount(), 1);
    }

private:
    void makeModel()
    {
        engine = std::make_unique<RulesEngine>();
        model = std::make_unique<RulesModel>(*engine);
        tester = std::make_unique<QAbstractItemModelTester>(
            model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }
    Rule *ruleOf(unsigned id) const { return engine->rule(id); }
    RulesFixture fixture;
    std::unique_ptr<RulesEngine> engine;
    std::unique_ptr<RulesModel> model;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

QTEST_MAIN(TestRulesModel)
#include "tst_rulesmodel.moc"
