// The stored form of a rule: group names, incomplete or hand-edited values,
// the array form of the pattern lists, and the binder's stored choices; the
// settings file damaged or replaced (real files, FIFOs and inotify).

#include "LogTail.h"
#include "StoredRule.h"
#include "TestStore.h"
#include "rules/KvSettingsBinder.h"
#include "rules/KvSettingsFile.h"
#include "rules/RuleStore.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

// The test's own settings store, made before anything reads the store.
static TestStore store;

class TestRuleStore : public QObject
{
    Q_OBJECT

private slots:
    void init() { QSettings().remove(QLatin1String(RuleStore::rulesGroup)); }
    void cleanup()
    {
        // Whatever stands at the settings file's name goes, and the copies kept of it.
        const QString path = KvSettingsFile::instance().path();
        QDir().rmdir(path);
        QFile::remove(path);
        const QDir folder = QFileInfo(path).dir();
        for (const QString &backup : folder.entryList({"*.bak"}))
            QFile::remove(folder.filePath(backup));
    }

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
        stored.sync();
        RuleDefinition missing = *RuleStore().definition(7);
        QVERIFY(!missing.enabled && !missing.internetConnection && !missing.applyDelay);
        QCOMPARE(missing.conditionStatus, RuleDefinition::ConditionStatus::Running);
        QCOMPARE(missing.cpuLimit, 1u);
        stored.beginGroup(QStringLiteral("rules/{7}"));
        stored.setValue(QLatin1String(RuleStore::enabledKey), QStringLiteral("abc"));
        stored.setValue(QLatin1String(RuleStore::applyDelayKey), QStringLiteral("true"));
        stored.setValue(QLatin1String(RuleStore::conditionStatusKey), QStringLiteral("-1"));
        stored.sync();
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
        KvSettings plain;
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
    void texts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<bool>("clean"); // as Qt writes it again
        QTest::newRow("as Qt writes")
            << QByteArray("[General]\nid={1}\n\n[r]\n1\\n=\"a;b\"\n") << true << true;
        QTest::newRow("comments, blanks, order")
            << QByteArray(";mine\r\n[r]\n size = 1 \n\n1\\n=a\n") << true << true;
        QTest::newRow("a ; in a value") << QByteArray("[r]\nname=a; b\n") << true << false;
        QTest::newRow("a key twice") << QByteArray("[r]\nsize=1\nsize=2\n") << true << false;
        QTest::newRow("an unknown escape") << QByteArray("[r]\np=C:\\Games\n") << true << false;
        QTest::newRow("# comment") << QByteArray("# mine\n[r]\nx=1\n") << true << false;
        QTest::newRow("a line without =") << QByteArray("[r]\nsize=1\nGames\n") << false << false;
        QTest::newRow("a quote left open") << QByteArray("[r]\nn=\"a\nsize=1\n") << false << false;
        QTest::newRow("no key") << QByteArray("[r]\n=1\n") << false << false;
        QTest::newRow("a section not closed") << QByteArray("[r;]\nx=1\n") << false << false;
    }
    void texts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, parses);
        QFETCH(bool, clean);
        QString why;
        QCOMPARE(KvSettingsFile::parses(text, why), parses);
        if (parses)
            QCOMPARE(KvSettingsFile::readsCleanly(text), clean);
    }
    void aStreamOfRewritesIsTakenInWhileItGoesOn()
    {
        if (KvSettingsFile::instance().path().isEmpty())
            QSKIP("the settings are kept in the registry, which has no file");
        storeRule(1, {"switched", true, {"a"}});
        const RuleStore rules;
        const QString path = KvSettingsFile::instance().path();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray off = file.readAll().replace("enabled=2", "enabled=0");
        // Replaced every 10 ms, each time with something new.
        int count = 0;
        QTimer rewrites;
        connect(&rewrites, &QTimer::timeout, [&] {
            QSaveFile next(path);
            const QByteArray text = off + "; " + QByteArray::number(++count) + '\n';
            QVERIFY(next.open(QIODevice::WriteOnly) && next.write(text) > 0 && next.commit());
        });
        rewrites.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(!rules.definition(1)->enabled || count >= 300, 10000);
        QVERIFY2(count < 300, "taken in only once the writes stopped");
    }
    void damagedOrReplacedFileKeepsTheRules_data()
    {
        QTest::addColumn<QString>("what"); // takes the file's place
        QTest::addColumn<QString>("said"); // in its one line
        const char *const rows[][2] = {
            {"binary", "does not parse (line 1 holds a control character"},
            {"cut", "does not parse (line 3 is neither"},
            {"directory", "is a directory"},
            {"fifo", "is a FIFO"},
            {"device", "is a character device"},
            {"dangling", "is a symbolic link to nothing"},
            {"loop", "is a loop of symbolic links"},
            {"deleted", "was deleted"}};
        for (const auto &row : rows)
            QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]);
    }
    void damagedOrReplacedFileKeepsTheRules()
    {
        QFETCH(QString, what);
        QFETCH(QString, said);
#ifdef Q_OS_WIN
        QSKIP("the settings are kept in the registry, which has no file");
#else
        if (what == "device" && ::geteuid() != 0)
            QSKIP("a device node is made by root only");
        storeRule(1, {"kept", true, {"a"}});
        RuleStore rules;
        const QString path = KvSettingsFile::instance().path();
        const QByteArray name = QFile::encodeName(path);
        const QByteArray damaged = what == "binary" ? QByteArray::fromHex("7f454c460001")
                                                    : QByteArray("[rules]\n{1}\\n=a\n{1}\\t");
        const LogTail log;
        cleanup();
        QFile file(path);
        if (what == "binary" || what == "cut")
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(damaged) == damaged.size());
        else if (what != "deleted")
            QVERIFY(what == "directory" ? QDir().mkdir(path)
                    : what == "fifo"    ? ::mkfifo(name, 0600) == 0
                    : what == "device"  ? ::mknod(name, S_IFCHR | 0600, makedev(1, 3)) == 0
                                        : QFile::link(what == "loop" ? path : "none", path));
        file.close();
        QTRY_COMPARE(log.lines().filter(said).size(), 1);
        QVERIFY(rules.definition(1) && rules.definition(1)->enabled);
        // A change in the window writes a damaged (kept first) or deleted file anew, nothing else.
        rules.setEnabled(1, false);
        const bool written = what == "binary" || what == "cut" || what == "deleted";
        QCOMPARE(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink(), written);
        QVERIFY(!written || QSettings(path, QSettings::IniFormat).value("rules/{1}/enabled") == 0);
        const QDir folder = QFileInfo(path).dir();
        const QStringList backups = folder.entryList({"*.bak"});
        QCOMPARE(backups.size(), written && what != "deleted" ? 1 : 0);
        QFile backup(folder.filePath(backups.value(0)));
        QVERIFY(backups.isEmpty() ||
                (backup.open(QIODevice::ReadOnly) && backup.readAll() == damaged));
        // A good file again: followed, and said so.
        cleanup();
        storeRule(2, {"new", true, {"b"}}, QSettings(path, QSettings::IniFormat));
        QTRY_VERIFY(rules.definition(2) && !rules.definition(1));
        QCOMPARE(log.lines().filter(said).size(), 1);
        QCOMPARE(log.lines().filter("is followed again").size(), 1);
#endif
    }
};

QTEST_MAIN(TestRuleStore)
#include "tst_rulestore.moc"
