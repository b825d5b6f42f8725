// Executable patterns against process paths: bare names, directories, the
// wildcards, and the characters that must stay literal.

#include "rules/RulePattern.h"

#include <QtTest>

class TestRulePattern : public QObject
{
    Q_OBJECT

private slots:
    void matching_data();
    void matching();
};

void TestRulePattern::matching_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("matches");
    const QChar win = QLatin1Char('\\');
    const QChar posix = QLatin1Char('/');

    QTest::newRow("bare name") << "notepad.exe" << win << "D:/x/NOTEPAD.EXE" << true;
    QTest::newRow("bare name, suffix") << "notepad.exe" << win << "C:/mynotepad.exe" << false;
    QTest::newRow("slash, windows") << "a/b.exe" << win << "C:/a/b.exe" << true;
    QTest::newRow("directory") << "C:\\Tools\\*" << win << "c:/tools/sub/b.exe" << true;
    QTest::newRow("directory elsewhere") << "C:\\Tools\\*" << win << "D:/C:/Tools/a" << false;
    QTest::newRow("full path") << "C:\\Games\\x.exe" << win << "c:/games/X.EXE" << true;
    QTest::newRow("linux bare name") << "firefox" << posix << "/usr/lib/firefox/firefox" << true;
    QTest::newRow("linux bare name, longer") << "firefox" << posix << "/usr/firefox-bin" << false;
    QTest::newRow("linux directory") << "/opt/game/*" << posix << "/opt/game/bin/run" << true;
    QTest::newRow("linux sibling") << "/opt/game/*" << posix << "/opt/games/run" << false;
    QTest::newRow("question mark") << "game?.exe" << win << "C:/game7.exe" << true;
    QTest::newRow("question mark, two") << "game?.exe" << win << "C:/game77.exe" << false;
    QTest::newRow("set") << "game[12].exe" << win << "C:/game2.exe" << true;
    QTest::newRow("set, outside") << "game[12].exe" << win << "C:/game3.exe" << false;
    QTest::newRow("negated set") << "v[!0-9].exe" << win << "C:/vx.exe" << true;
    QTest::newRow("unclosed bracket") << "a[b.exe" << win << "C:/a[b.exe" << true;
    QTest::newRow("plus") << "c++.exe" << win << "C:/c++.exe" << true;
    QTest::newRow("dot") << "a.exe" << win << "C:/abexe" << false;
    QTest::newRow("parentheses") << "C:\\P (x)\\*\\app.exe" << win << "c:/p (x)/V/App.exe" << true;
    QTest::newRow("no group") << "C:\\P (x)\\*\\app.exe" << win << "C:/P x/V/app.exe" << false;
    QTest::newRow("unknown path") << "*" << win << "" << false;
}

void TestRulePattern::matching()
{
    QFETCH(QString, pattern);
    QFETCH(QChar, separator);
    QFETCH(QString, path);
    QFETCH(bool, matches);
    QCOMPARE(RulePattern(pattern, separator).matches(path), matches);
}

QTEST_APPLESS_MAIN(TestRulePattern)
#include "tst_rulepattern.moc"
