// The stored form of a rule: group names, keys read back from a store that
// may be incomplete or hand-edited, the array form of the pattern lists, and
// the binder's round trips between dialog widgets and the store.

#include "rules/KvSettingsBinder.h"
#include "rules/RuleOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The widgets of a rule dialog, set up the way the dialog sets them up
// before it loads, and bound to the twelve keys in table order.
struct RuleForm
{
    QWidget window;
    QLineEdit *name = new QLineEdit(&window);
    QCheckBox *enabled = new QCheckBox(&window);
    QStringListModel conditionModel;
    QListView *conditionList = new QListView(&window);
    QCheckBox *internet = new QCheckBox(&window);
    QComboBox *internetStatus = new QComboBox(&window);
    QWidget *statusBox = new QWidget(&window);
    QRadioButton *running = new QRadioButton(QStringLiteral("&Running"), statusBox);
    QRadioButton *notRunning = new QRadioButton(QStringLiteral("&Not running"), statusBox);
    QComboBox *state = new QComboBox(&window);
    QStringListModel targetModel;
    QListView *targetList = new QListView(&window);
    QWidget *actionBox = new QWidget(&window);
    QRadioButton *limitCpu = new QRadioButton(QStringLiteral("&Limit CPU to"), actionBox);
    QRadioButton *suspend = new QRadioButton(QStringLiteral("&Suspend"), actionBox);
    QSpinBox *cpuLimit = new QSpinBox(&window);
    QCheckBox *applyDelay = new QCheckBox(&window);
    QSpinBox *delay = new QSpinBox(&window);

    KvSettingsBinder binder;

    explicit RuleForm(KvSettings *settings)
        : binder(settings)
    {
        conditionList->setModel(&conditionModel);
        targetList->setModel(&targetModel);
        internetStatus->addItem(QStringLiteral("Connected"), 1u);
        internetStatus->addItem(QStringLiteral("Disconnected"), 0u);
        state->addItem(QStringLiteral("Anyhow"), 0u);
        state->addItem(QStringLiteral("Foreground"), 1u);
        state->addItem(QStringLiteral("Background"), 2u);
        running->setChecked(true);
        limitCpu->setChecked(true);
        cpuLimit->setRange(1, 99);
        cpuLimit->setValue(50);
        delay->setRange(1, 99);
        delay->setValue(10);

        binder.bind(QLatin1String(RuleOptions::nameKey), name);
        binder.bind(QLatin1String(RuleOptions::enabledKey), enabled);
        binder.bind(QLatin1String(RuleOptions::conditionProcessesKey), conditionList);
        binder.bind(QLatin1String(RuleOptions::internetConnectionKey), internet);
        binder.bind(QLatin1String(RuleOptions::internetConnectionStatusKey), internetStatus);
        binder.bindGroup(QLatin1String(RuleOptions::conditionStatusKey), {running, notRunning});
        binder.bind(QLatin1String(RuleOptions::conditionStateKey), state);
        binder.bind(QLatin1String(RuleOptions::targetProcessesKey), targetList);
        binder.bindGroup(QLatin1String(RuleOptions::targetActionKey), {limitCpu, suspend});
        binder.bind(QLatin1String(RuleOptions::cpuLimitKey), cpuLimit);
        binder.bind(QLatin1String(RuleOptions::applyDelayKey), applyDelay);
        binder.bind(QLatin1String(RuleOptions::applyDelayValueKey), delay);
    }
};

} // namespace

class TestRuleOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void groupNames_data();
    void groupNames();
    void groupWithOnlyNameReadsAsEmptyRule();
    void handEditedValues();
    void writesAreSeenByEveryHandleAtOnce();
    void patternListsUseArrayForm();
    void corruptedArraySizeIsBounded();

    void binderRoundTrip();
    void binderLeavesWidgetsForMissingKeys();
    void binderRadioGroups_data();
    void binderRadioGroups();
    void binderUnmatchedComboValue();
    void binderSavesShortenedList();

private:
    QTemporaryDir storeDir;
};

void TestRuleOptions::initTestCase()
{
    QVERIFY(storeDir.isValid());
    // The log goes under the home folder; a home of our own keeps test runs
    // of other checkouts on this machine out of the lines we assert on.
    qputenv("HOME", QFile::encodeName(storeDir.path()));
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, storeDir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("CorvaneTests"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_ruleoptions"));
}

void TestRuleOptions::init()
{
    QSettings().remove(QStringLiteral("rules"));
}

void TestRuleOptions::groupNames_data()
{
    QTest::addColumn<unsigned>("id");
    QTest::addColumn<QString>("name");
    QTest::newRow("15") << 15u << QStringLiteral("{f}");
    QTest::newRow("beef") << 0xbeefu << QStringLiteral("{beef}");
    QTest::newRow("zero") << 0u << QStringLiteral("{0}");
    QTest::newRow("all bits") << 0xffffffffu << QStringLiteral("{ffffffff}");
    QTest::newRow("leading zeros") << 0x00abcdefu << QStringLiteral("{abcdef}");
}

void TestRuleOptions::groupNames()
{
    QFETCH(unsigned, id);
    QFETCH(QString, name);
    QCOMPARE(RuleOptions::groupName(id), name);
    QCOMPARE(RuleOptions::idFromGroupName(name), id);

    // The handle addresses its keys inside that group under "rules".
    RuleOptions options(id);
    options.setValue(QStringLiteral("name"), QStringLiteral("n"));
    QSettings plain;
    QCOMPARE(plain.value(QStringLiteral("rules/") + name + QStringLiteral("/name")).toString(),
             QStringLiteral("n"));
    plain.beginGroup(QStringLiteral("rules"));
    QCOMPARE(plain.childGroups(), QStringList{name});

    // Names that are no braced hexadecimal number read as id 0.
    QCOMPARE(RuleOptions::idFromGroupName(QStringLiteral("{xyz}")), 0u);
    QCOMPARE(RuleOptions::idFromGroupName(QStringLiteral("{}")), 0u);
    QCOMPARE(RuleOptions::idFromGroupName(QStringLiteral("{123456789}")), 0u);
}

void TestRuleOptions::groupWithOnlyNameReadsAsEmptyRule()
{
    QSettings().setValue(QStringLiteral("rules/{2a}/name"), QStringLiteral("Only a name"));

    RuleOptions options(0x2a);
    QCOMPARE(options.id, 0x2au);
    QCOMPARE(options.name(), QStringLiteral("Only a name"));
    QVERIFY(!options.enabled());
    QVERIFY(options.selectedProcesses(RuleOptions::Condition).isEmpty());
    QVERIFY(options.selectedProcesses(RuleOptions::Target).isEmpty());
    QVERIFY(!options.internetConnection());
    QCOMPARE(options.conditionStatus(), unsigned(RuleOptions::Running));
    QCOMPARE(options.conditionState(), unsigned(RuleOptions::Anyhow));
    QCOMPARE(options.targetAction(), unsigned(RuleOptions::LimitCpu));
    QCOMPARE(options.cpuLimit(), 0u);
    QVERIFY(!options.applyDelay());
    QCOMPARE(options.applyDelayValue(), 0u);
    QVERIFY(!options.value(QLatin1String(RuleOptions::cpuLimitKey)).isValid());
}

void TestRuleOptions::handEditedValues()
{
    RuleOptions options(7);
    options.setValue(QLatin1String(RuleOptions::enabledKey), QStringLiteral("abc"));
    options.setValue(QLatin1String(RuleOptions::applyDelayKey), QStringLiteral("true"));
    options.setValue(QLatin1String(RuleOptions::conditionStatusKey), QStringLiteral("-1"));
    options.setValue(QLatin1String(RuleOptions::cpuLimitKey), QStringLiteral("ten"));
    QVERIFY(!options.enabled());
    QVERIFY(options.applyDelay());
    // An out-of-range status must stay out of range, not become Running.
    QCOMPARE(options.conditionStatus(), 0xffffffffu);
    QCOMPARE(options.cpuLimit(), 0u);

    options.setEnabled(true);
    QCOMPARE(QSettings().value(QStringLiteral("rules/{7}/enabled")).toInt(), 2);
    QVERIFY(options.enabled());
    options.setEnabled(false);
    QCOMPARE(QSettings().value(QStringLiteral("rules/{7}/enabled")).toInt(), 0);
    QVERIFY(!options.enabled());
}

void TestRuleOptions::writesAreSeenByEveryHandleAtOnce()
{
    RuleOptions rulesOwn(0x51);
    QCOMPARE(rulesOwn.name(), QString());

    {
        RuleOptions dialogs(0x51);
        dialogs.setValue(QLatin1String(RuleOptions::nameKey), QStringLiteral("Games"));
        dialogs.setEnabled(true);
        dialogs.setSelectedProcesses(RuleOptions::Target, {QStringLiteral("game.exe")});
        // Seen while the writer is still open, without any sync...
        QCOMPARE(rulesOwn.name(), QStringLiteral("Games"));
        QVERIFY(rulesOwn.enabled());
        QCOMPARE(rulesOwn.selectedProcesses(RuleOptions::Target),
                 QStringList{QStringLiteral("game.exe")});
    }
    // ...and after it is gone, by old and new handles alike.
    QCOMPARE(rulesOwn.name(), QStringLiteral("Games"));
    QCOMPARE(RuleOptions(0x51).name(), QStringLiteral("Games"));

    rulesOwn.setValue(QLatin1String(RuleOptions::cpuLimitKey), 30);
    QCOMPARE(QSettings().value(QStringLiteral("rules/{51}/target/cpuLimit")).toInt(), 30);

    // A removal through another handle is seen as missing keys.
    QSettings().remove(QStringLiteral("rules/{51}"));
    QCOMPARE(rulesOwn.name(), QString());
    QVERIFY(!rulesOwn.enabled());
}

void TestRuleOptions::patternListsUseArrayForm()
{
    RuleOptions options(0x99);
    const QStringList three = {QStringLiteral("a.exe"), QStringLiteral("C:\\Tools\\*"),
                               QStringLiteral("c.exe")};
    options.setSelectedProcesses(RuleOptions::Condition, three);
    options.setSelectedProcesses(RuleOptions::Target, {QStringLiteral("t.exe")});

    QSettings plain;
    plain.beginGroup(QStringLiteral("rules/{99}/condition/selectedProcesses"));
    QCOMPARE(plain.value(QStringLiteral("size")).toInt(), 3);
    QCOMPARE(plain.value(QStringLiteral("1/value")).toString(), QStringLiteral("a.exe"));
    QCOMPARE(plain.value(QStringLiteral("3/value")).toString(), QStringLiteral("c.exe"));
    plain.endGroup();

    QCOMPARE(options.selectedProcesses(RuleOptions::Condition), three);
    QCOMPARE(options.selectedProcesses(RuleOptions::Target), QStringList{QStringLiteral("t.exe")});
    QVERIFY(options.selectedProcesses(2).isEmpty());
    QVERIFY(options.selectedProcesses(-1).isEmpty());

    // A shorter list leaves the old tail in the store, but the count governs.
    options.setSelectedProcesses(RuleOptions::Condition,
                                 {QStringLiteral("x.exe"), QStringLiteral("y.exe")});
    QCOMPARE(plain.value(QStringLiteral("rules/{99}/condition/selectedProcesses/size")).toInt(), 2);
    QCOMPARE(
        plain.value(QStringLiteral("rules/{99}/condition/selectedProcesses/3/value")).toString(),
        QStringLiteral("c.exe"));
    QCOMPARE(options.selectedProcesses(RuleOptions::Condition),
             (QStringList{QStringLiteral("x.exe"), QStringLiteral("y.exe")}));

    // Reading leaves the handle in the rule's group.
    QCOMPARE(options.group(), QStringLiteral("rules/{99}"));
}

void TestRuleOptions::corruptedArraySizeIsBounded()
{
    RuleOptions options(0x77);
    options.setSelectedProcesses(RuleOptions::Target,
                                 {QStringLiteral("a.exe"), QStringLiteral("b.exe")});
    options.setValue(QStringLiteral("target/selectedProcesses/size"), 2000000000);
    QTest::ignoreMessage(QtCriticalMsg, "settings list \"rules/{77}/target/selectedProcesses\" "
                                        "claims 2000000000 elements but stores 2; reading only "
                                        "those");
    // Must return promptly with what is stored instead of walking two
    // billion missing elements.
    QCOMPARE(options.selectedProcesses(RuleOptions::Target),
             (QStringList{QStringLiteral("a.exe"), QStringLiteral("b.exe")}));

    // A modest count beyond the stored elements still reads as written.
    options.setValue(QStringLiteral("target/selectedProcesses/size"), 3);
    QCOMPARE(options.selectedProcesses(RuleOptions::Target),
             (QStringList{QStringLiteral("a.exe"), QStringLiteral("b.exe"), QString()}));
}

void TestRuleOptions::binderRoundTrip()
{
    RuleOptions saving(0xabc);
    {
        RuleForm form(&saving);
        form.name->setText(QStringLiteral("Games"));
        form.enabled->setChecked(true);
        form.conditionModel.setStringList({QStringLiteral("steam.exe"), QStringLiteral("x.exe")});
        form.internet->setChecked(true);
        form.internetStatus->setCurrentIndex(1); // Disconnected
        form.notRunning->setChecked(true);
        form.state->setCurrentIndex(2); // Background
        form.targetModel.setStringList({QStringLiteral("C:\\Games\\*")});
        form.suspend->setChecked(true);
        form.cpuLimit->setValue(25);
        form.applyDelay->setChecked(false);
        form.delay->setValue(7);
        form.binder.sync(true);
    }

    // The stored forms the rule reads.
    RuleOptions reading(0xabc);
    QCOMPARE(reading.name(), QStringLiteral("Games"));
    QCOMPARE(reading.value(QLatin1String(RuleOptions::enabledKey)).toInt(), 2);
    QCOMPARE(reading.value(QLatin1String(RuleOptions::applyDelayKey)).toInt(), 0);
    QVERIFY(reading.enabled());
    QVERIFY(reading.internetConnection());
    QCOMPARE(reading.internetConnectionStatus(), unsigned(RuleOptions::Disconnected));
    QCOMPARE(reading.conditionStatus(), unsigned(RuleOptions::NotRunning));
    QCOMPARE(reading.conditionState(), unsigned(RuleOptions::Background));
    QCOMPARE(reading.targetAction(), unsigned(RuleOptions::Suspend));
    QCOMPARE(reading.cpuLimit(), 25u);
    QVERIFY(!reading.applyDelay());
    QCOMPARE(reading.applyDelayValue(), 7u);
    QCOMPARE(reading.selectedProcesses(RuleOptions::Condition),
             (QStringList{QStringLiteral("steam.exe"), QStringLiteral("x.exe")}));
    QCOMPARE(reading.selectedProcesses(RuleOptions::Target),
             QStringList{QStringLiteral("C:\\Games\\*")});

    // A fresh form loads what was saved.
    RuleForm form(&reading);
    form.binder.sync(false);
    QCOMPARE(form.name->text(), QStringLiteral("Games"));
    QCOMPARE(form.enabled->checkState(), Qt::Checked);
    QCOMPARE(form.conditionModel.stringList(),
             (QStringList{QStringLiteral("steam.exe"), QStringLiteral("x.exe")}));
    QVERIFY(form.internet->isChecked());
    QCOMPARE(form.internetStatus->currentData().toUInt(), 0u);
    QVERIFY(form.notRunning->isChecked());
    QVERIFY(!form.running->isChecked());
    QCOMPARE(form.state->currentData().toUInt(), 2u);
    QCOMPARE(form.targetModel.stringList(), QStringList{QStringLiteral("C:\\Games\\*")});
    QVERIFY(form.suspend->isChecked());
    QCOMPARE(form.cpuLimit->value(), 25);
    QCOMPARE(form.applyDelay->checkState(), Qt::Unchecked);
    QCOMPARE(form.delay->value(), 7);
}

void TestRuleOptions::binderLeavesWidgetsForMissingKeys()
{
    QSettings().setValue(QStringLiteral("rules/{5}/name"), QStringLiteral("Sparse"));
    RuleOptions options(5);
    RuleForm form(&options);
    form.enabled->setChecked(true);
    form.state->setCurrentIndex(1);
    form.binder.sync(false);

    QCOMPARE(form.name->text(), QStringLiteral("Sparse"));
    QVERIFY(form.enabled->isChecked());
    QCOMPARE(form.state->currentIndex(), 1);
    QVERIFY(form.running->isChecked());
    QVERIFY(form.limitCpu->isChecked());
    QCOMPARE(form.cpuLimit->value(), 50);
    QCOMPARE(form.delay->value(), 10);
    QCOMPARE(form.internetStatus->currentIndex(), 0);
    QVERIFY(form.conditionModel.stringList().isEmpty());
    QVERIFY(form.targetModel.stringList().isEmpty());
}

void TestRuleOptions::binderRadioGroups_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("inGroup");
    QTest::newRow("1") << QVariant(1) << true;
    QTest::newRow("2") << QVariant(2) << false;
    QTest::newRow("large") << QVariant(1000) << false;
    QTest::newRow("negative") << QVariant(-1) << false;
}

void TestRuleOptions::binderRadioGroups()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, inGroup);
    RuleOptions options(8);
    options.setValue(QLatin1String(RuleOptions::conditionStatusKey), stored);
    options.setValue(QLatin1String(RuleOptions::targetActionKey), stored);
    RuleForm form(&options);
    QSignalSpy notRunningClicks(form.notRunning, &QAbstractButton::clicked);
    QSignalSpy suspendClicks(form.suspend, &QAbstractButton::clicked);
    QSignalSpy limitClicks(form.limitCpu, &QAbstractButton::clicked);
    for (const char *key : {RuleOptions::conditionStatusKey, RuleOptions::targetActionKey}) {
        if (inGroup)
            break;
        QTest::ignoreMessage(QtCriticalMsg, QStringLiteral("settings key \"rules/{8}/%1\" holds "
                                                           "choice %2 of 2; the form keeps its own")
                                                .arg(QLatin1String(key), stored.toString())
                                                .toUtf8()
                                                .constData());
    }
    form.binder.sync(false);
    // A stored choice clicks its button; one outside the group leaves the
    // form's own choice.
    QCOMPARE(notRunningClicks.count(), inGroup ? 1 : 0);
    QCOMPARE(suspendClicks.count(), inGroup ? 1 : 0);
    QCOMPARE(limitClicks.count(), 0);
    QCOMPARE(form.notRunning->isChecked(), inGroup);
    QCOMPARE(form.running->isChecked(), !inGroup);
    QCOMPARE(form.suspend->isChecked(), inGroup);
    QCOMPARE(form.limitCpu->isChecked(), !inGroup);

    // Saving with no button checked writes the number of buttons.
    form.limitCpu->setAutoExclusive(false);
    form.suspend->setAutoExclusive(false);
    form.limitCpu->setChecked(false);
    form.suspend->setChecked(false);
    form.binder.sync(true);
    QCOMPARE(options.value(QLatin1String(RuleOptions::targetActionKey)).toInt(), 2);
}

void TestRuleOptions::binderUnmatchedComboValue()
{
    RuleOptions options(9);
    options.setValue(QLatin1String(RuleOptions::conditionStateKey), 9);
    RuleForm form(&options);
    form.binder.sync(false);
    QCOMPARE(form.state->currentIndex(), -1);

    form.binder.sync(true);
    QVERIFY(!options.value(QLatin1String(RuleOptions::conditionStateKey)).isValid());
    QCOMPARE(options.conditionState(), 0u);
}

void TestRuleOptions::binderSavesShortenedList()
{
    RuleOptions options(0x10);
    options.setSelectedProcesses(
        RuleOptions::Target,
        {QStringLiteral("a.exe"), QStringLiteral("b.exe"), QStringLiteral("c.exe")});
    RuleForm form(&options);
    form.binder.sync(false);
    QCOMPARE(form.targetModel.rowCount(), 3);
    form.targetModel.removeRow(1);
    form.binder.sync(true);

    QCOMPARE(options.value(QStringLiteral("target/selectedProcesses/size")).toInt(), 2);
    QCOMPARE(RuleOptions(0x10).selectedProcesses(RuleOptions::Target),
             (QStringList{QStringLiteral("a.exe"), QStringLiteral("c.exe")}));
}

QTEST_MAIN(TestRuleOptions)
#include "tst_ruleoptions.moc"
