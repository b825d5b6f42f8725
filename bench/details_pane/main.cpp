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
#include <memory>
#include <vector>

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
        const double before = cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID);
        details.sample();
        chart.grab();
        costs.push_back(cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) - before);
    }
    std::printf("details pane, %d held processes: CPU per second (a sample and a drawing of the "
                "chart) median %.2f ms, "
                "max %.2f ms\n",
                details.rowCount(), median(costs), *std::max_element(costs.cbegin(), costs.cend()));
    engine.store().setEnabled(1, false);
    for (auto &process : held) {
        process->kill();
        process->waitForFinished();
    }
    return 0;
}
