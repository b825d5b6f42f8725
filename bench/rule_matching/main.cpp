// The cost of one evaluation of N rules against a table of M processes, as
// every process, foreground and connectivity event causes it: each enabled
// rule reads its settings, checks its conditions against the whole process
// table; an Active rule also tests every started process against its targets.
//
// Runs on the simulated machine with a throw-away settings store and prints
// the figures; nothing is asserted.
//
//     bench_rule_matching [repetitions]

#include "platform/simulated/KvSimulatedConnectivity.h"
#include "platform/simulated/KvSimulatedJobs.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "platform/simulated/KvSimulatedWinEvents.h"
#include "process/KvProcessGovernor.h"
#include "rules/Rule.h"
#include "rules/RulePattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <functional>
#include <memory>
#include <vector>

namespace {

const QStringList directories = {QStringLiteral("/usr/bin"), QStringLiteral("/usr/lib/firefox"),
                                 QStringLiteral("/opt/game/bin"),
                                 QStringLiteral("/home/user/.local/share/Steam/steamapps/common")};

QString processPath(int index)
{
    return directories.at(index % directories.size()) + QStringLiteral("/program%1").arg(index);
}

// Rule i waits for a program that does not run (so it stays Inactive and is
// evaluated in full at every event) and targets a few that do.
void writeRule(unsigned id, int index)
{
    RuleOptions options(id);
    options.setValue(QLatin1String(RuleOptions::nameKey), QStringLiteral("rule %1").arg(index));
    options.setEnabled(true);
    options.setSelectedProcesses(RuleOptions::Condition, {QStringLiteral("program%1").arg(index),
                                                          QStringLiteral("/opt/game/*"),
                                                          QStringLiteral("absent%1").arg(index)});
    options.setValue(QLatin1String(RuleOptions::conditionStateKey), RuleOptions::Background);
    options.setSelectedProcesses(RuleOptions::Target,
                                 {QStringLiteral("steam*"), QStringLiteral("program1?"),
                                  QStringLiteral("/usr/lib/firefox/*")});
}

double measure(int repetitions, const std::function<void()> &work)
{
    work(); // warm the pattern cache and the store
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
    QTemporaryDir storeDir;
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, storeDir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("CorvaneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("rule_matching"));

    QTextStream out(stdout);
    out << "one evaluation of N rules (3 condition and 3 target patterns each) against M "
           "processes\n";
    out << qSetFieldWidth(8) << "N"
        << "M" << qSetFieldWidth(16) << "conditions [us]"
        << "one target [us]"
        << "per match [ns]" << qSetFieldWidth(0) << "\n";

    for (int processCount : {100, 400, 1600}) {
        for (int ruleCount : {1, 10, 50}) {
            KvSimulatedMachine machine;
            KvSimulatedJobs jobs(machine);
            KvSimulatedWinEvents winEvents;
            KvSimulatedConnectivity connectivity;
            machine.installAsCurrent();
            jobs.installAsCurrent();
            KvPlatformWinEvents::install(&winEvents);
            KvPlatformConnectivity::install(&connectivity);
            for (int i = 0; i < processCount; ++i)
                machine.addProcess(processPath(i));

            QSettings().remove(QStringLiteral("rules"));
            {
                KvProcessGovernor governor(nullptr, storeDir.filePath(QStringLiteral("journal")));
                std::vector<std::unique_ptr<Rule>> rules;
                for (int i = 0; i < ruleCount; ++i) {
                    writeRule(0x1000 + i, i);
                    rules.push_back(std::make_unique<Rule>(0x1000 + i, &governor));
                }

                // What every event costs an Inactive rule: the conditions.
                const double conditions = measure(repetitions, [&] {
                    for (auto &rule : rules)
                        rule->conditionsMet();
                });
                // What a start event costs an Active rule: one target test.
                KvProcessInfo started;
                started.processId = 99999;
                started.fileInfo = KvFileInfo(QStringLiteral("/usr/games/unlisted"));
                const double targets = measure(repetitions, [&] {
                    for (auto &rule : rules)
                        rule->isTarget(started);
                });
                const double matches = double(ruleCount) * processCount * 3;
                out << qSetFieldWidth(8) << ruleCount << processCount << qSetFieldWidth(16)
                    << QString::number(conditions / 1000, 'f', 1)
                    << QString::number(targets / 1000, 'f', 1)
                    << QString::number(conditions / matches, 'f', 1) << qSetFieldWidth(0) << "\n";
                out.flush();
            }

            KvPlatformConnectivity::install(nullptr);
            KvPlatformWinEvents::install(nullptr);
            jobs.uninstall();
            machine.uninstall();
        }
    }
    return 0;
}
