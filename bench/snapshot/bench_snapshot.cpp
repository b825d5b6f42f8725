// Prints how long listing the processes takes on this machine: with the
// processes that run here, and again with 500 extra sleeping children.
//
//   bench_snapshot [rounds]   (default 20)

#include "BenchSleepers.h"
#include "platform/KvPlatformProcesses.h"
#include "process/KvProcessInfo.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

template<class Function> void measure(const char *name, int rounds, Function function)
{
    std::vector<double> milliseconds;
    int count = 0;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        count = function();
        milliseconds.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    double total = 0;
    for (const double value : milliseconds)
        total += value;
    std::printf("  %-36s %5d entries  median %8.2f ms  mean %8.2f ms  min %8.2f ms  max %8.2f ms\n",
                name, count, milliseconds[milliseconds.size() / 2], total / milliseconds.size(),
                milliseconds.front(), milliseconds.back());
}

void measureAll(int rounds)
{
    KvPlatformProcesses &processes = KvPlatformProcesses::current();
    measure("list()", rounds, [&] { return processes.list().value().size(); });
    measure("KvProcessInfo::running()", rounds, [] { return KvProcessInfo::running().size(); });
    measure("ids()", rounds, [&] { return processes.ids().value().size(); });
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int rounds = argc > 1 ? qMax(1, atoi(argv[1])) : 20;

    std::printf("Processes running here (%d rounds):\n", rounds);
    measureAll(rounds);

    const std::vector<pid_t> sleepers = startSleepers(500);
    std::printf("With %d extra sleeping children (%d rounds):\n", int(sleepers.size()), rounds);
    measureAll(rounds);
    stopSleepers(sleepers);
    return sleepers.size() == 500 ? 0 : 1;
}
