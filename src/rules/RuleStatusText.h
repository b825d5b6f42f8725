#pragma once

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

class Rule;
class RulesEngine;
struct RuleDefinition;

// What a rule is doing now, in the window's words: the status icon's
// tooltip, and what the details say while the rule holds nothing.
class RuleStatusText
{
    Q_DECLARE_TR_FUNCTIONS(RuleStatusText)

public:
    // The state in a sentence ("Limiting ux-capme to 25 %", "Suspends
    // ux-capme in 9 s", "Switched off"), then the processes held.
    static QString tooltip(RulesEngine &engine, unsigned id);
    // Why the rule holds nothing ("ux-absent is not running").
    static QString idle(RulesEngine &engine, unsigned id);
    static QString waiting(int seconds);

private:
    // The state of an enabled rule in a sentence; held: what it holds.
    static QString state(RulesEngine &engine, const Rule &rule, const QList<quint32> &held);
    // What must hold for the rule to act ("game is in the foreground").
    static QString conditions(const RuleDefinition &rule);
    // "a", "a and b", "a, b and c", "a, b, c and 2 more".
    static QString listed(const QStringList &names);
    // The programs of patterns or processes, by file name.
    static QStringList programs(const QStringList &paths);
};
