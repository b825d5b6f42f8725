// The stored form of a rule: group names, incomplete or hand-edited values,
// the array form of the pattern lists, and the binder's stored choices.

#include "TestStore.h"
#include "rules/KvSettingsBinder.h"
#include "rules/RuleStore.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QtTest>

// The test's own settings store, made before anything reads the store.
static TestStore store;

class TestRuleStore : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().remove(QLatin1String(RuleStore::rulesGroup)); }

    void groupNames()
    {
        QCOMPARE(RuleStore::groupName(0xbeef), QStringLiteral("{beef}"));
        for (unsigned id : {15u, 0u, 0xffffffffu})
            QCOMPARE(RuleStore::idOf(RuleStore::groupName(id)), id);
        // Names that are no braced hexadecimal number read as id 0.
        for (const char *invalid : {"{xyz}", "{}", "{123456789}"})
            QCOMPARE(RuleStore::idOf(QLatin1String(invalid)), 0u);
    }
    void missingAndHandEditedValues()
    {
        QSettings stored;
        stored.setValue(QStringLiteral("rules/{7}/name"), QStringLiteral("seven"));
        RuleDefinition missing = *RuleStore().definition(7);
        QVERIFY(!missing.enabled && !missing.internetConnection && !missing.applyDelay);
        QCOMPARE(missing.conditionStatus, RuleDefinition::ConditionStatus::Running);
        QCOMPARE(missing.cpuLimit, 1u);
        stored.beginGroup(QStringLiteral("rules/{7}"));
        stored.setValue(QLatin1String(RuleStore::enabledKey), QStringLiteral("abc"));
        stored.setValue(QLatin1String(RuleStore::applyDelayKey), QStringLiteral("true"));
        stored.setValue(QLatin1String(RuleStore::conditionStatusKey), QStringLiteral("-1"));
        const RuleDefinition edited = *RuleStore().definition(7);
        QVERIFY(!edited.enabled && edited.applyDelay);
        // An out-of-range status must stay out of range, not become Running.
        QCOMPARE(edited.conditionStatus, RuleDefinition::ConditionStatus::Unknown);
    }
    void corruptedArraySizeIsBounded()
    {
        KvSettings options;
        options.beginGroup(QStringLiteral("rules/{77}"));
        const QString targets = QLatin1String(RuleStore::targetProcessesKey);
        options.writeStringArray(targets, {"a.exe", "b.exe", "c.exe"});
        options.writeStringArray(targets, {"a.exe", "b.exe"});
        // The store's array form: a shorter list leaves the old tail, but the count governs.
        QSettings plain;
        plain.beginGroup(QStringLiteral("rules/{77}/target/selectedProcesses"));
        QCOMPARE(plain.value(QStringLiteral("size")).toInt(), 2);
        QCOMPARE(plain.value(QStringLiteral("1/value")).toString(), QStringLiteral("a.exe"));
        QCOMPARE(options.readStringArray(targets), (QStringList{"a.exe", "b.exe"}));
        // A modest count is taken as written; a corrupted one is bounded by the
        // elements stored, instead of walking two billion missing ones.
        const QStringList three = {"a.exe", "b.exe", "c.exe"};
        plain.setValue(QStringLiteral("size"), 3);
        QCOMPARE(options.readStringArray(targets), three);
        plain.setValue(QStringLiteral("size"), 2000000000);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("2000000000")));
        QCOMPARE(options.readStringArray(targets), three);
        QCOMPARE(options.group(), QStringLiteral("rules/{77}"));
    }
    void binderChoices_data()
    {
        QTest::addColumn<QVariant>("choice");
        QTest::newRow("missing") << QVariant();
        QTest::newRow("in the group") << QVariant(1);
        QTest::newRow("beyond the group") << QVariant(2);
        QTest::newRow("negative") << QVariant(-1);
    }
    void binderChoices()
    {
        QFETCH(QVariant, choice);
        KvSettings options;
        options.beginGroup(QStringLiteral("rules/{5}"));
        if (choice.isValid())
            options.setValue(QLatin1String(RuleStore::targetActionKey), choice);
        QWidget form;
        auto *enabled = new QCheckBox(&form);
        auto *limitCpu = new QRadioButton(&form);
        auto *suspend = new QRadioButton(&form);
        enabled->setChecked(true);
        limitCpu->setChecked(true);
        KvSettingsBinder binder(&options);
        binder.bind(QLatin1String(RuleStore::enabledKey), enabled);
        binder.bindGroup(QLatin1String(RuleStore::targetActionKey), {limitCpu, suspend});
        const bool inGroup = choice == QVariant(1);
        if (choice.isValid() && !inGroup)
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("target/action"));
        QSignalSpy clicks(suspend, &QAbstractButton::clicked);
        binder.sync(false);
        // A missing key leaves its widget as the form set it up; a stored choice clicks its button,
        // so that the dialog's handlers run, and one that names no button leaves the form's own.
        QVERIFY(enabled->isChecked());
        QCOMPARE(clicks.count(), inGroup ? 1 : 0);
        QCOMPARE(suspend->isChecked(), inGroup);
        // Saved: the check state and the index of the checked button.
        binder.sync(true);
        QCOMPARE(options.value(QLatin1String(RuleStore::enabledKey)).toInt(), 2);
        QCOMPARE(options.value(RuleStore::targetActionKey).toUInt(), inGroup ? 1u : 0u);
    }
};

QTEST_MAIN(TestRuleStore)
#include "tst_rulestore.moc"
