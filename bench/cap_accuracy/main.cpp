// Caps busy processes through the governor at 10, 25 and 50 % of the machine
// and prints the share each really got over a five-second window, and the
// CPU time the governor's own process spent meanwhile; then a shared cap of
// 25 % over three busy programs with a busy child each, and the share the
// six got together.
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
#include <csignal>
#include <cstdio>
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

struct Window
{
    double share = 0; // of the whole machine
    double ownMs = 0; // CPU time of this process meanwhile
};

qint64 cpuTicksOf(const QList<qint64> &pids)
{
    qint64 ticks = 0;
    for (qint64 pid : pids)
        ticks += ProcFsProbe::cpuTicks(pid);
    return ticks;
}

Window measure(const QList<qint64> &pids)
{
    runEventLoop(settleMs);
    const qint64 before = cpuTicksOf(pids);
    const double ownBefore = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID);
    QElapsedTimer timer;
    timer.start();
    runEventLoop(windowMs);
    Window window;
    window.share = double(cpuTicksOf(pids) - before) / double(::sysconf(_SC_CLK_TCK)) /
                   (timer.elapsed() / 1000.0) / cpuCount();
    window.ownMs = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID) - ownBefore;
    return window;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "busy")
        runBusy(std::max(1, std::atoi(argv[2])));
    if (argc > 1 && QByteArray(argv[1]) == "family") {
        const pid_t child = ::fork();
        if (child == 0)
            runBusy(1);
        std::printf("%d\n", int(child));
        std::fflush(stdout);
        runBusy(1);
    }

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
        const Window capped = measure({pid});
        governor.lift(group);
        busy.kill();
        busy.waitForFinished();
        std::printf("%-10s %-10s %-18s\n", qPrintable(QStringLiteral("%1 %").arg(percent)),
                    qPrintable(QStringLiteral("%1 %").arg(capped.share * 100, 0, 'f', 1)),
                    qPrintable(QStringLiteral("%1 ms").arg(capped.ownMs, 0, 'f', 1)));
        std::fflush(stdout);
    }

    // One cap for three programs and their children, as a rule that shares
    // its limit holds them.
    QProcess family[3];
    QList<qint64> members;
    int shared = -1;
    for (QProcess &program : family) {
        program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("family")});
        program.waitForReadyRead();
        members << program.processId() << program.readLine().trimmed().toLongLong();
    }
    for (qint64 pid : qAsConst(members))
        shared = governor.hold(shared, KvProcessGovernor::Action::LimitCpu, quint32(pid), 25, true)
                     .groupId;
    const Window together = measure(members);
    governor.lift(shared);
    for (QProcess &program : family) {
        ::kill(pid_t(members.at(2 * int(&program - family) + 1)), SIGKILL);
        program.kill();
        program.waitForFinished();
    }
    std::printf("%-10s %-10s %-18s (6 processes together)\n", "25 % shared",
                qPrintable(QStringLiteral("%1 %").arg(together.share * 100, 0, 'f', 1)),
                qPrintable(QStringLiteral("%1 ms").arg(together.ownMs, 0, 'f', 1)));
    return 0;
}
