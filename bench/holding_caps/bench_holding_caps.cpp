// What holding caps costs the program while nothing else happens: the CPU
// time of this process per minute while the governor caps 0, 1 and 50
// sleeping processes, with the kernel's process connector open (as the
// program has it when run as root) and with no event source at all (where
// the cgroups are looked over by a timer instead). The connector reports
// every process that starts on the machine, and reading those reports costs
// too: each figure says how many came meanwhile, and the 0 caps figure is
// what they cost without any cap.
//
//     bench_holding_caps [seconds per figure, 60 by default]   (as root)

#include "BenchLoop.h"
#include "platform/linux/KvLinuxProcesses.h"
#include "process/KvProcessGovernor.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// CPU milliseconds per minute while `caps` sleepers are held capped.
double measure(KvProcessGovernor &governor, int caps, int seconds, const int &starts,
               int &startsMeanwhile)
{
    std::vector<pid_t> sleepers;
    QList<int> groups;
    for (int i = 0; i < caps; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (;;)
                ::pause();
        }
        sleepers.push_back(child);
        groups.append(
            governor.hold(-1, KvProcessGovernor::Action::LimitCpu, quint32(child), 50).groupId);
    }
    runEventLoop(1000);
    const double before = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID);
    const int startsBefore = starts;
    runEventLoop(seconds * 1000);
    const double spent = cpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID) - before;
    startsMeanwhile = starts - startsBefore;
    for (int group : qAsConst(groups))
        governor.lift(group);
    for (pid_t child : sleepers) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    return spent * 60.0 / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    // The governor's journal and log go to a directory of the benchmark's
    // own, not to the user's data.
    QTemporaryDir journalDir;
    qputenv("XDG_DATA_HOME", journalDir.path().toUtf8());
    QCoreApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    // The governor's log lines are not what is measured.
    qInstallMessageHandler(discardMessages);

    std::printf("CPU time of the program per minute, %d s measured per figure\n", seconds);
    std::printf("%-26s %-20s %-20s %-20s\n", "", "0 caps", "1 cap", "50 caps");
    for (bool connector : {true, false}) {
        KvLinuxProcesses processes;
        KvPlatformProcesses::install(&processes);
        std::unique_ptr<KvProcessEventSource> source;
        int starts = 0;
        if (connector) {
            source = processes.watch();
            if (!source->description().contains(QLatin1String("connector"))) {
                std::printf("%-26s not available: %s\n", "with the process connector",
                            qPrintable(source->description()));
                KvPlatformProcesses::install(nullptr);
                continue;
            }
            QObject::connect(source.get(), &KvProcessEventSource::started, [&starts] { ++starts; });
        }
        std::printf("%-26s", connector ? "with the process connector" : "no event source");
        std::fflush(stdout);
        {
            KvProcessGovernor governor(nullptr, journalDir.path());
            for (int caps : {0, 1, 50}) {
                int startsMeanwhile = 0;
                const double spent = measure(governor, caps, seconds, starts, startsMeanwhile);
                const QString figure = connector ? QStringLiteral("%1 ms (%2 starts)")
                                                       .arg(spent, 0, 'f', 1)
                                                       .arg(startsMeanwhile)
                                                 : QStringLiteral("%1 ms").arg(spent, 0, 'f', 1);
                std::printf(" %-20s", qPrintable(figure));
                std::fflush(stdout);
            }
        }
        std::printf("\n");
        KvPlatformProcesses::install(nullptr);
    }
    return 0;
}
