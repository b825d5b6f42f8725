// How long the whole program takes from its start to the rules loaded and to
// its window shown, and how much memory it then holds, for 0, 100 and 1,000
// stored rules with 0 and 500 extra processes running: without a display (no
// window, no GUI platform) and, where Xvfb is installed, on an X display of
// its own.
//
// "Rules loaded" and "shown" are the log lines that end the loading and the
// first paint of the window; under X the window must also have been mapped.
// Without a display there is no window: the CPU and memory are taken once
// the rules are loaded.
// The times are those at which this benchmark saw the lines (it looks every
// 2 ms). Figures are medians of the repetitions; the CPU column is the
// program's own CPU time until shown, which a loaded machine disturbs less
// than the wall time.
//
//     bench_startup [repetitions]

#include "BenchLoop.h"
#include "BenchProgram.h"
#include "XvfbServer.h"

#include <QCoreApplication>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>

namespace {

const int timeoutMs = 120000;

bool logged(const BenchProgram &program, const char *text)
{
    return BenchProgram::countContaining(program.logLines(), QLatin1String(text)) > 0;
}

// Watches an X display for the first window that a given process maps.
class MapWatch
{
public:
    explicit MapWatch(const QString &display)
        : connection(xcb_connect(display.toLocal8Bit().constData(), nullptr))
    {
        if (xcb_connection_has_error(connection))
            return;
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
        const char name[] = "_NET_WM_PID";
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, sizeof(name) - 1, name), nullptr);
        pidAtom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        xcb_flush(connection);
    }
    ~MapWatch() { xcb_disconnect(connection); }

    // Waits until a window of pid is mapped; false at the deadline.
    bool waitForMap(qint64 pid, const QElapsedTimer &clock, int deadlineMs)
    {
        pollfd item{xcb_get_file_descriptor(connection), POLLIN, 0};
        while (clock.elapsed() < deadlineMs) {
            while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
                const bool mapped =
                    (event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                    ownerOf(reinterpret_cast<xcb_map_notify_event_t *>(event)->window) == pid;
                std::free(event);
                if (mapped)
                    return true;
            }
            if (xcb_connection_has_error(connection))
                return false;
            ::poll(&item, 1, 50);
        }
        return false;
    }

private:
    qint64 ownerOf(xcb_window_t window)
    {
        xcb_get_property_reply_t *reply = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1),
            nullptr);
        qint64 pid = -1;
        if (reply && xcb_get_property_value_length(reply) == 4)
            pid = *static_cast<uint32_t *>(xcb_get_property_value(reply));
        std::free(reply);
        return pid;
    }

    xcb_connection_t *connection;
    xcb_atom_t pidAtom = XCB_ATOM_NONE;
};

struct Run
{
    double rulesMs = -1;
    double shownMs = -1;
    double cpuMs = -1;
    double residentMiB = -1;
};

Run runOnce(BenchProgram &program, const QString &display)
{
    Run run;
    std::unique_ptr<MapWatch> watch;
    if (!display.isEmpty())
        watch = std::make_unique<MapWatch>(display);
    QElapsedTimer clock;
    clock.start();
    if (!program.start(display))
        return run;
    if (!BenchProgram::waitUntil([&] { return logged(program, " rules loaded"); }, timeoutMs))
        return run;
    run.rulesMs = double(clock.elapsed());
    if (watch) {
        if (!watch->waitForMap(program.pid(), clock, timeoutMs) ||
            !BenchProgram::waitUntil([&] { return logged(program, "main window shown"); },
                                     timeoutMs))
            return run;
        run.shownMs = double(clock.elapsed());
    }
    run.cpuMs = program.cpuMilliseconds();
    run.residentMiB = double(program.residentKilobytes()) / 1024.0;
    program.stop();
    return run;
}

QString figure(double value, int decimals = 0)
{
    return value < 0 ? QStringLiteral("-") : QString::number(value, 'f', decimals);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    BenchProgram program;

    XvfbServer server;
    QStringList displays{QString()};
    if (server.start())
        displays << server.display();
    else
        std::printf("no X display: %s\n", qPrintable(server.problem()));

    std::printf("start-up of the whole program, median of %d runs (ms; '-': not within %d s)\n",
                repetitions, timeoutMs / 1000);
    std::printf("%-10s %6s %6s %12s %10s %10s %10s\n", "display", "rules", "extra", "rules loaded",
                "shown", "CPU", "RSS [MiB]");
    for (const QString &display : qAsConst(displays)) {
        for (int rules : {0, 100, 1000}) {
            program.storeRules(rules);
            for (int extra : {0, 500}) {
                std::vector<pid_t> sleepers;
                for (int i = 0; i < extra; ++i)
                    sleepers.push_back(BenchProgram::spawn({"/bin/sleep", "3600"}));
                std::vector<double> loaded, shown, cpu, resident;
                for (int i = 0; i < repetitions; ++i) {
                    const Run run = runOnce(program, display);
                    loaded.push_back(run.rulesMs);
                    shown.push_back(run.shownMs);
                    cpu.push_back(run.cpuMs);
                    resident.push_back(run.residentMiB);
                    program.stop();
                    if (run.cpuMs < 0)
                        break; // one run past the time-out is enough
                }
                for (pid_t sleeper : sleepers) {
                    ::kill(sleeper, SIGKILL);
                    ::waitpid(sleeper, nullptr, 0);
                }
                std::printf("%-10s %6d %6d %12s %10s %10s %10s\n",
                            display.isEmpty() ? "none" : qPrintable(display), rules, extra,
                            qPrintable(figure(median(loaded))), qPrintable(figure(median(shown))),
                            qPrintable(figure(median(cpu))),
                            qPrintable(figure(median(resident), 1)));
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
