// Prints how long listing the processes takes on this machine: with the
// processes that run here, and again with 500 extra sleeping children.
//
//   bench_snapshot [rounds]   (default 20)

#include "platform/KvPlatformProcesses.h"
#include "process/KvProcessInfo.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

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

// Starts count children that sleep, with their output sent nowhere.
std::vector<pid_t> startSleepers(int count)
{
    std::vector<pid_t> children;
    const QByteArray sleep = QStandardPaths::findExecutable(QStringLiteral("sleep")).toLocal8Bit();
    if (sleep.isEmpty())
        return children;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *arguments[] = {const_cast<char *>(sleep.constData()), const_cast<char *>("600"), nullptr};
    for (int i = 0; i < count; ++i) {
        pid_t child = 0;
        if (posix_spawn(&child, sleep.constData(), &actions, nullptr, arguments, environ) != 0)
            break;
        children.push_back(child);
    }
    posix_spawn_file_actions_destroy(&actions);
    return children;
}

void stopSleepers(const std::vector<pid_t> &children)
{
    for (const pid_t child : children)
        ::kill(child, SIGKILL);
    for (const pid_t child : children)
        ::waitpid(child, nullptr, 0);
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
