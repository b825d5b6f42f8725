// Caps busy processes through the governor at 10, 25 and 50 % of the machine
// and prints the share each really got over a five-second window, and the
// CPU time the governor's own process spent meanwhile.
//
//     cap_accuracy            (as root: caps need a writable cpu cgroup)

#include "BenchLoop.h"
#include "ProcFsProbe.h"
#include "process/KvProcessGovernor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int windowMs = 5000;
const int settleMs = 500;

// Spins on every given thread until killed: the load that caps are measured
// against.
[[noreturn]] void runBusy(int threads)
{
    std::vector<std::thread> workers;
    for (int i = 1; i < threads; ++i)
        workers.emplace_back(runBusy, 1);
    volatile unsigned long counter = 0;
    for (;;)
        counter = counter + 1;
}

int cpuCount()
{
    return std::max(1, QThread::idealThreadCount());
}

double ownCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Window
{
    double share = 0;      // of the whole machine
    double ownSeconds = 0; // CPU time of this process meanwhile
};

Window measure(qint64 pid)
{
    runEventLoop(settleMs);
    const qint64 before = ProcFsProbe::cpuTicks(pid);
    const double ownBefore = ownCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    runEventLoop(windowMs);
    Window window;
    window.share = double(ProcFsProbe::cpuTicks(pid) - before) / double(::sysconf(_SC_CLK_TCK)) /
                   (timer.elapsed() / 1000.0) / cpuCount();
    window.ownSeconds = ownCpuSeconds() - ownBefore;
    return window;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "busy")
        runBusy(std::max(1, std::atoi(argv[2])));

    QCoreApplication application(argc, argv);
    QTemporaryDir journalDir;
    KvProcessGovernor governor(nullptr, journalDir.filePath(QStringLiteral("journal")));

    std::printf("CPUs: %d; each load keeps every CPU busy; window %d ms\n", cpuCount(), windowMs);
    std::printf("%-10s %-10s %-18s\n", "requested", "governor", "governor CPU time");
    for (unsigned int percent : {10u, 25u, 50u}) {
        QProcess busy;
        busy.start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("busy"), QString::number(cpuCount())});
        busy.waitForStarted();
        const qint64 pid = busy.processId();
        const int group =
            governor.hold(-1, KvProcessGovernor::Action::LimitCpu, quint32(pid), percent).groupId;
        const Window capped = measure(pid);
        governor.lift(group);
        busy.kill();
        busy.waitForFinished();
        std::printf("%-10s %-10s %-18s\n", qPrintable(QStringLiteral("%1 %").arg(percent)),
                    qPrintable(QStringLiteral("%1 %").arg(capped.share * 100, 0, 'f', 1)),
                    qPrintable(QStringLiteral("%1 ms").arg(capped.ownSeconds * 1000, 0, 'f', 1)));
        std::fflush(stdout);
    }
    return 0;
}
