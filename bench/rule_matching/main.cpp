// The cost of evaluating N rules against a table of M processes, as the
// events cause it: building a rule's condition matches anew from the whole
// table (after a change the rule missed), checking its conditions against the
// matches (every event), and testing a started process against its targets
// (an Active rule, at every start).
//
// Rules and table are made in memory; the figures are printed, nothing is
// asserted.
//
//     bench_rule_matching [repetitions]

#include "rules/RuleConditions.h"
#include "rules/RulePattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <functional>
#include <vector>

namespace {

const QStringList directories = {QStringLiteral("/usr/bin"), QStringLiteral("/usr/lib/firefox"),
                                 QStringLiteral("/opt/game/bin"),
                                 QStringLiteral("/home/user/.local/share/Steam/steamapps/common")};

QString processPath(int index)
{
    return directories.at(index % directories.size()) + QStringLiteral("/program%1").arg(index);
}

QList<RulePattern> compile(const QStringList &texts)
{
    QList<RulePattern> patterns;
    for (const QString &text : texts)
        patterns.append(RulePattern::compiled(text));
    return patterns;
}

// Rule i waits for a program that does not run in the background (so it
// stays Inactive and is evaluated in full at every event) and targets a few
// that do.
RuleDefinition makeRule(unsigned id, int index)
{
    RuleDefinition rule;
    rule.id = id;
    rule.name = QStringLiteral("rule %1").arg(index);
    rule.enabled = true;
    rule.conditionPatterns =
        QStringList{QStringLiteral("program%1").arg(index), QStringLiteral("/opt/game/*"),
                    QStringLiteral("absent%1").arg(index)};
    rule.conditionState = RuleDefinition::ConditionState::Background;
    rule.targetPatterns = QStringList{QStringLiteral("steam*"), QStringLiteral("program1?"),
                                      QStringLiteral("/usr/lib/firefox/*")};
    rule.conditions = compile(rule.conditionPatterns);
    rule.targets = compile(rule.targetPatterns);
    return rule;
}

double measure(int repetitions, const std::function<void()> &work)
{
    work(); // warm the pattern cache
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < repetitions; ++i)
        work();
    return double(timer.nsecsElapsed()) / repetitions;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 50;

    QTextStream out(stdout);
    out << "N rules (3 condition and 3 target patterns each) against M processes\n";
    out << qSetFieldWidth(8) << "N"
        << "M" << qSetFieldWidth(16) << "matches [us]"
        << "conditions [us]"
        << "one target [us]"
        << "per match [ns]" << qSetFieldWidth(0) << "\n";

    for (int processCount : {100, 400, 1600}) {
        RuleConditions::Processes table;
        for (int i = 0; i < processCount; ++i) {
            const quint32 id = quint32(1000 + i);
            table.insert(id,
                         QSharedPointer<KvProcessInfo>::create(id, 1, KvFileInfo(processPath(i))));
        }
        KvProcessInfo foreground(999, 1, KvFileInfo(QStringLiteral("/usr/bin/shell")));
        for (int ruleCount : {1, 10, 50}) {
            std::vector<RuleDefinition> rules;
            for (int i = 0; i < ruleCount; ++i)
                rules.push_back(makeRule(0x1000 + i, i));
            std::vector<RuleConditions::Matches> matches(rules.size());

            // After a change a rule missed: its matches anew from the table.
            const double built = measure(repetitions, [&] {
                for (size_t i = 0; i < rules.size(); ++i)
                    matches[i] = RuleConditions::match(rules[i], table);
            });
            // What every event costs an Inactive rule: its conditions.
            const double conditions = measure(repetitions, [&] {
                for (size_t i = 0; i < rules.size(); ++i)
                    RuleConditions::met(rules[i], matches[i], table, foreground, KvConnectivity());
            });
            // What a start event costs an Active rule: one target test.
            KvProcessInfo started(99999, 1, KvFileInfo(QStringLiteral("/usr/games/unlisted")));
            const double targets = measure(repetitions, [&] {
                for (const RuleDefinition &rule : rules)
                    RuleConditions::isTarget(rule, started);
            });
            const double patternMatches = double(ruleCount) * processCount * 3;
            out << qSetFieldWidth(8) << ruleCount << processCount << qSetFieldWidth(16)
                << QString::number(built / 1000, 'f', 1)
                << QString::number(conditions / 1000, 'f', 1)
                << QString::number(targets / 1000, 'f', 1)
                << QString::number(built / patternMatches, 'f', 1) << qSetFieldWidth(0) << "\n";
            out.flush();
        }
    }
    return 0;
}
