// What watching for busy programs costs: 500 sleeping processes beside the
// machine's own, and one rule on "*" that holds what is busy. It prints the
// program's CPU time per second while the rule is switched off (nothing is
// read then) and while it watches (every matching process's processor time
// read once a second). The rule asks for a whole machine's worth for ten
// minutes, so that nothing is held while it runs.
//
//     bench_busy_watch [seconds, 20 by default]

#include "BenchLoop.h"
#include "BenchSleepers.h"
#include "StoredRule.h"
#include "TestStore.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const unsigned ruleId = 1;

std::vector<double> costPerSecond(int seconds)
{
    std::vector<double> costs;
    for (int i = 0; i < seconds; ++i) {
        const double before = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID);
        runEventLoop(1000);
        costs.push_back(cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID) - before);
    }
    return costs;
}

void print(const char *what, const std::vector<double> &costs)
{
    std::printf("%s: CPU per second median %.2f ms, max %.2f ms\n", what, percentile(costs, 0.5),
                *std::max_element(costs.cbegin(), costs.cend()));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(discardMessages);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    TestStore store;
    const QString sleeper = store.path(QStringLiteral("corvane-bench-sleeper"));
    QFile::copy(QStringLiteral("/bin/sleep"), sleeper);
    const std::vector<pid_t> sleepers = startSleepers(500, QFile::encodeName(sleeper));
    StoredRule rule{QStringLiteral("hogs"), false, {QStringLiteral("*")}};
    rule.action = 1; // suspend: no root needed, and nothing reaches the threshold
    rule.onlyWhenBusy = true;
    rule.busyPercent = 100;
    rule.busySeconds = 600;
    storeRule(ruleId, rule);
    RulesEngine engine;
    runEventLoop(2000);
    print("no rule watches", costPerSecond(seconds));
    engine.store().setEnabled(ruleId, true);
    runEventLoop(2000); // the first samples
    std::printf("%d sleepers, %d processes held\n", int(sleepers.size()),
                int(engine.rule(ruleId)->heldProcessIds().size()));
    print("one rule watches \"*\"", costPerSecond(seconds));
    engine.store().setEnabled(ruleId, false);
    stopSleepers(sleepers);
    return 0;
}
