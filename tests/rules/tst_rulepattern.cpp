// Executable patterns against process paths: bare names in any directory,
// directories with everything below them, the wildcard syntax, and the
// characters that must stay literal.

#include "rules/RulePattern.h"

#include <QtTest>

class TestRulePattern : public QObject
{
    Q_OBJECT

private slots:
    void matching_data();
    void matching();
    void preparation_data();
    void preparation();
    void compiledFollowsItsText();
};

void TestRulePattern::matching_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("matches");

    const QChar backslash = QLatin1Char('\\');
    const QChar slash = QLatin1Char('/');

    // Windows-style stores: the backslash is the native separator.
    QTest::newRow("bare name") << "notepad.exe" << backslash << "C:/Windows/notepad.exe" << true;
    QTest::newRow("bare name other case")
        << "notepad.exe" << backslash << "D:/x/NOTEPAD.EXE" << true;
    QTest::newRow("bare name is anchored at the end")
        << "notepad.exe" << backslash << "C:/x/notepad.exe.old" << false;
    QTest::newRow("bare name needs a separator before it")
        << "notepad.exe" << backslash << "mynotepad.exe" << false;
    QTest::newRow("bare name against a path of only a name")
        << "notepad.exe" << backslash << "notepad.exe" << false;
    QTest::newRow("directory and star") << "C:\\Tools\\*" << backslash << "C:/Tools/a.exe" << true;
    QTest::newRow("star crosses directories")
        << "C:\\Tools\\*" << backslash << "c:/tools/sub/deeper/b.exe" << true;
    QTest::newRow("directory is anchored at the start")
        << "C:\\Tools\\*" << backslash << "D:/C:/Tools/a.exe" << false;
    QTest::newRow("full path") << "C:\\Games\\x.exe" << backslash << "c:/games/X.EXE" << true;
    QTest::newRow("full path other file")
        << "C:\\Games\\x.exe" << backslash << "C:/Games/y.exe" << false;

    // Linux: the slash is the native separator.
    QTest::newRow("linux bare name") << "firefox" << slash << "/usr/lib/firefox/firefox" << true;
    QTest::newRow("linux bare name is not a directory")
        << "firefox" << slash << "/usr/lib/firefox/firefox-bin" << false;
    QTest::newRow("linux directory") << "/opt/game/*" << slash << "/opt/game/bin/run" << true;
    QTest::newRow("linux directory sibling") << "/opt/game/*" << slash << "/opt/games/run" << false;
    QTest::newRow("linux backslash stays literal") << "a\\b" << slash << "/x/a\\b" << true;

    // Wildcard syntax.
    QTest::newRow("question mark") << "game?.exe" << backslash << "C:/g/game7.exe" << true;
    QTest::newRow("question mark is one character")
        << "game?.exe" << backslash << "C:/g/game77.exe" << false;
    QTest::newRow("star inside a name")
        << "steam*.exe" << backslash << "C:/s/SteamService.exe" << true;
    QTest::newRow("set") << "game[12].exe" << backslash << "C:/g/game2.exe" << true;
    QTest::newRow("set excludes") << "game[12].exe" << backslash << "C:/g/game3.exe" << false;
    QTest::newRow("range") << "v[0-9].exe" << backslash << "C:/v5.exe" << true;
    QTest::newRow("negated set") << "v[!0-9].exe" << backslash << "C:/vx.exe" << true;
    QTest::newRow("negated set excludes") << "v[!0-9].exe" << backslash << "C:/v5.exe" << false;
    QTest::newRow("unclosed bracket is literal") << "a[b.exe" << backslash << "C:/a[b.exe" << true;

    // Characters that mean something to regular expressions are plain here.
    QTest::newRow("plus and dot") << "c++.exe" << backslash << "C:/c++.exe" << true;
    QTest::newRow("dot is not any character") << "a.exe" << backslash << "C:/abexe" << false;
    QTest::newRow("parentheses with star")
        << "C:\\Program Files (x86)\\*" << backslash << "C:/Program Files (x86)/a/b.exe" << true;
    QTest::newRow("parentheses around a star") << "C:\\Program Files (x86)\\*\\app.exe" << backslash
                                               << "c:/program files (x86)/Vendor/App.exe" << true;
    QTest::newRow("parentheses are no group") << "C:\\Program Files (x86)\\*\\app.exe" << backslash
                                              << "C:/Program Files x86/V/app.exe" << false;
    QTest::newRow("dollar and caret with wildcard")
        << "$^*.exe" << backslash << "C:/$^x.exe" << true;

    // Nothing matches an unknown path.
    QTest::newRow("empty path, star") << "*" << backslash << "" << false;
    QTest::newRow("empty path, bare name") << "x.exe" << backslash << "" << false;
    QTest::newRow("star alone") << "*" << slash << "/anything/at/all" << true;
}

void TestRulePattern::matching()
{
    QFETCH(QString, pattern);
    QFETCH(QChar, separator);
    QFETCH(QString, path);
    QFETCH(bool, matches);
    QCOMPARE(RulePattern(pattern, separator).matches(path), matches);
}

void TestRulePattern::preparation_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("prepared");
    QTest::newRow("bare, windows") << "notepad.exe" << QChar('\\') << "*/notepad.exe";
    QTest::newRow("directory, windows") << "C:\\Tools\\*" << QChar('\\') << "C:/Tools/*";
    QTest::newRow("bare, linux") << "firefox" << QChar('/') << "*/firefox";
    QTest::newRow("path, linux") << "/opt/game/*" << QChar('/') << "/opt/game/*";
    QTest::newRow("slash is no windows separator") << "a/b.exe" << QChar('\\') << "*/a/b.exe";
}

void TestRulePattern::preparation()
{
    QFETCH(QString, pattern);
    QFETCH(QChar, separator);
    QFETCH(QString, prepared);
    QCOMPARE(RulePattern::prepare(pattern, separator), prepared);
}

void TestRulePattern::compiledFollowsItsText()
{
    // The platform's own separator is the slash here.
    QVERIFY(RulePattern::compiled(QStringLiteral("firefox")).matches("/usr/lib/firefox/firefox"));
    QVERIFY(!RulePattern::compiled(QStringLiteral("firefox")).matches("/usr/bin/chromium"));
    QVERIFY(RulePattern::compiled(QStringLiteral("chromium")).matches("/usr/bin/chromium"));
    // Many distinct texts (as after long editing) keep every answer right.
    for (int i = 0; i < 3000; ++i) {
        const QString name = QStringLiteral("p%1").arg(i);
        QVERIFY(RulePattern::compiled(name).matches(QStringLiteral("/bin/") + name));
        QVERIFY(!RulePattern::compiled(name).matches(QStringLiteral("/bin/x") + name + "x"));
    }
    QVERIFY(RulePattern::compiled(QStringLiteral("firefox")).matches("/usr/lib/firefox/firefox"));
}

QTEST_APPLESS_MAIN(TestRulePattern)
#include "tst_rulepattern.moc"
