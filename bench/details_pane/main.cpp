// What the details pane costs while it is open: a rule suspends 50 sleeping
// processes, and once a second the pane's model samples their processor
// times and the chart is drawn, as the pane does; it prints the CPU time of
// each round (offscreen).
//
//     bench_details_pane [seconds, 20 by default]

#include "BenchLoop.h"
#include "StoredRule.h"
#include "TestStore.h"
#include "rules/RulesEngine.h"
#include "ui/RuleDetailsModel.h"
#include "ui/RuleShareChart.h"

#include <QApplication>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

double threadCpuMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    TestStore store;
    const QString sleeper = store.path(QStringLiteral("corvane-bench-held"));
    QFile::copy(QStringLiteral("/bin/sleep"), sleeper);
    std::vector<std::unique_ptr<QProcess>> held;
    for (int i = 0; i < 50; ++i) {
        held.push_back(std::make_unique<QProcess>());
        held.back()->start(sleeper, {QStringLiteral("600")});
        held.back()->waitForStarted();
    }
    StoredRule rule{QStringLiteral("held"), true, {sleeper}};
    rule.action = 1; // suspend: no root needed
    storeRule(1, rule);
    RulesEngine engine;
    RuleDetailsModel details(engine);
    details.setRule(1);
    RuleShareChart chart;
    chart.setModel(&details);
    chart.resize(400, 120);
    std::vector<double> costs;
    for (int i = 0; i < seconds; ++i) {
        runEventLoop(1000);
        const double before = threadCpuMilliseconds();
        details.sample();
        chart.grab();
        costs.push_back(threadCpuMilliseconds() - before);
    }
    std::sort(costs.begin(), costs.end());
    std::printf("details pane, %d held processes: CPU per second (a sample and a drawing of the "
                "chart) median %.2f ms, "
                "max %.2f ms\n",
                details.rowCount(), costs[costs.size() / 2], costs.back());
    engine.store().setEnabled(1, false);
    for (auto &process : held) {
        process->kill();
        process->waitForFinished();
    }
    return 0;
}
