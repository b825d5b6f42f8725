// What the live view costs while it is open: a rule suspends 50 sleeping
// processes, and the details pane shows it in a window (offscreen),
// sampling and drawing on its own timer as in the program. It prints the
// main thread's CPU time per second spent in what the window and the pane
// receive (the samples, the table, the chart and their painting), apart
// from what the rules engine does meanwhile for the rest of the machine.
//
//     bench_details_pane [seconds, 20 by default]

#include "BenchLoop.h"
#include "BenchSleepers.h"
#include "StoredRule.h"
#include "TestStore.h"
#include "rules/RulesEngine.h"
#include "ui/RuleDetailsPane.h"

#include <QApplication>
#include <QFile>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Adds up the CPU time of the events that reach the window or anything in it.
class MeasuringApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        bool counted = depth == 0 && window;
        for (QObject *object = receiver; counted && object != window; object = object->parent())
            counted = object->parent();
        const double before = counted ? cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) : 0;
        ++depth;
        const bool result = QApplication::notify(receiver, event);
        --depth;
        if (counted)
            (event->type() == QEvent::Timer ? sampling : drawing) +=
                cpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) - before;
        return result;
    }

    QObject *window = nullptr;
    // On the pane's timer (the samples and the models following them), and
    // in everything else (the paints and the layouts).
    double sampling = 0, drawing = 0;

private:
    int depth = 0;
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    MeasuringApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    TestStore store;
    const QString sleeper = store.path(QStringLiteral("corvane-bench-held"));
    QFile::copy(QStringLiteral("/bin/sleep"), sleeper);
    const std::vector<pid_t> held = startSleepers(50, QFile::encodeName(sleeper));
    StoredRule rule{QStringLiteral("held"), true, {sleeper}};
    rule.action = 1; // suspend: no root needed
    storeRule(1, rule);
    RulesEngine engine;
    QWidget window;
    auto *pane = new RuleDetailsPane(engine);
    (new QVBoxLayout(&window))->addWidget(pane);
    window.resize(520, 400);
    window.show();
    pane->setRule(1);
    application.window = &window;
    runEventLoop(2000); // the first samples and paints
    std::vector<double> costs, sampling, drawing;
    for (int i = 0; i < seconds; ++i) {
        application.sampling = application.drawing = 0;
        runEventLoop(1000);
        sampling.push_back(application.sampling);
        drawing.push_back(application.drawing);
        costs.push_back(sampling.back() + drawing.back());
    }
    std::printf("details pane shown, %d held processes: CPU per second median %.2f ms (sampling "
                "%.2f ms, drawing %.2f ms), max %.2f ms\n",
                int(held.size()), median(costs), median(sampling), median(drawing),
                *std::max_element(costs.cbegin(), costs.cend()));
    engine.store().setEnabled(1, false);
    stopSleepers(held);
    return 0;
}
