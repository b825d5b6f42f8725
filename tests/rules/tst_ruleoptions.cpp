// The stored form of a rule: group names, values read back from a store that
// may be incomplete or hand-edited, the array form of the pattern lists, and
// what the binder makes of stored choices.

#include "TestStore.h"
#include "rules/KvSettingsBinder.h"
#include "rules/RuleOptions.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QtTest>

// The test's own settings store, made before anything reads the store.
static TestStore store;

class TestRuleOptions : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().remove(QLatin1String(RuleOptions::rulesGroup)); }

    void groupNames();
    void missingAndHandEditedValues();
    void corruptedArraySizeIsBounded();
    void binderChoices_data();
    void binderChoices();
};

void TestRuleOptions::groupNames()
{
    QCOMPARE(RuleOptions::groupName(0xbeef), QStringLiteral("{beef}"));
    for (unsigned id : {15u, 0u, 0xffffffffu})
        QCOMPARE(RuleOptions::idFromGroupName(RuleOptions::groupName(id)), id);
    // Names that are no braced hexadecimal number read as id 0.
    for (const char *invalid : {"{xyz}", "{}", "{123456789}"})
        QCOMPARE(RuleOptions::idFromGroupName(QLatin1String(invalid)), 0u);
}

void TestRuleOptions::missingAndHandEditedValues()
{
    RuleOptions options(7);
    QVERIFY(!options.enabled() && !options.internetConnection() && !options.applyDelay());
    QCOMPARE(options.internetConnectionStatus() + options.conditionStatus() +
                 options.conditionState() + options.targetAction() + options.cpuLimit() +
                 options.applyDelayValue(),
             0u);

    options.setValue(QLatin1String(RuleOptions::enabledKey), QStringLiteral("abc"));
    options.setValue(QLatin1String(RuleOptions::applyDelayKey), QStringLiteral("true"));
    options.setValue(QLatin1String(RuleOptions::conditionStatusKey), QStringLiteral("-1"));
    options.setValue(QLatin1String(RuleOptions::cpuLimitKey), QStringLiteral("ten"));
    QVERIFY(!options.enabled());
    QVERIFY(options.applyDelay());
    // An out-of-range status must stay out of range, not become Running.
    QCOMPARE(options.conditionStatus(), 0xffffffffu);
    QCOMPARE(options.cpuLimit(), 0u);
}

void TestRuleOptions::corruptedArraySizeIsBounded()
{
    RuleOptions options(0x77);
    options.setSelectedProcesses(RuleOptions::Target, {"a.exe", "b.exe", "c.exe"});
    options.setSelectedProcesses(RuleOptions::Target, {"a.exe", "b.exe"});
    // The store's array form: a shorter list leaves the old tail, but the
    // count governs.
    QSettings plain;
    plain.beginGroup(QStringLiteral("rules/{77}/target/selectedProcesses"));
    QCOMPARE(plain.value(QStringLiteral("size")).toInt(), 2);
    QCOMPARE(plain.value(QStringLiteral("1/value")).toString(), QStringLiteral("a.exe"));
    QCOMPARE(options.selectedProcesses(RuleOptions::Target), (QStringList{"a.exe", "b.exe"}));
    QVERIFY(options.selectedProcesses(2).isEmpty());

    // A modest count is taken as written; a corrupted one is bounded by the
    // elements stored, instead of walking two billion missing ones.
    const QStringList three = {"a.exe", "b.exe", "c.exe"};
    plain.setValue(QStringLiteral("size"), 3);
    QCOMPARE(options.selectedProcesses(RuleOptions::Target), three);
    plain.setValue(QStringLiteral("size"), 2000000000);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("2000000000")));
    QCOMPARE(options.selectedProcesses(RuleOptions::Target), three);
    QCOMPARE(options.group(), QStringLiteral("rules/{77}"));
}

void TestRuleOptions::binderChoices_data()
{
    QTest::addColumn<QVariant>("choice");
    QTest::newRow("missing") << QVariant();
    QTest::newRow("in the group") << QVariant(1);
    QTest::newRow("beyond the group") << QVariant(2);
    QTest::newRow("negative") << QVariant(-1);
}

void TestRuleOptions::binderChoices()
{
    QFETCH(QVariant, choice);
    RuleOptions options(5);
    if (choice.isValid())
        options.setValue(QLatin1String(RuleOptions::targetActionKey), choice);
    QWidget form;
    auto *enabled = new QCheckBox(&form);
    auto *limitCpu = new QRadioButton(&form);
    auto *suspend = new QRadioButton(&form);
    enabled->setChecked(true);
    limitCpu->setChecked(true);
    KvSettingsBinder binder(&options);
    binder.bind(QLatin1String(RuleOptions::enabledKey), enabled);
    binder.bindGroup(QLatin1String(RuleOptions::targetActionKey), {limitCpu, suspend});
    const bool inGroup = choice == QVariant(1);
    if (choice.isValid() && !inGroup)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("target/action")));
    QSignalSpy clicks(suspend, &QAbstractButton::clicked);
    binder.sync(false);
    // A missing key leaves its widget as the form set it up; a stored choice
    // clicks its button, so that the dialog's handlers run, and one that
    // names no button leaves the form's own.
    QVERIFY(enabled->isChecked());
    QCOMPARE(clicks.count(), inGroup ? 1 : 0);
    QCOMPARE(suspend->isChecked(), inGroup);

    // Saved: the check state and the index of the checked button.
    binder.sync(true);
    QCOMPARE(options.value(QLatin1String(RuleOptions::enabledKey)).toInt(), 2);
    QCOMPARE(options.targetAction(), inGroup ? 1u : 0u);
}

QTEST_MAIN(TestRuleOptions)
#include "tst_ruleoptions.moc"
