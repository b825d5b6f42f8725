// How quickly the process notifier reports a started process, and what it
// costs, for each Linux event source; and how quickly a Suspend rule has a
// started target stopped (through the governor, whose journal lives in a
// temporary directory on the file system /tmp is on).
//
// A separate spawner process (this program in another mode) starts 200
// short-lived processes and notes the moment each exec completed; this
// process only runs the notifier, so its own CPU time is the notifier's
// (with its logging and the event loop). Run as root for the process
// connector; without it the connector row says why it is missing.
//
//     bench_reaction_latency [count]

#include "notifiers/KvProcessNotifier.h"
#include "platform/linux/KvLinuxProcessEvents.h"
#include "process/KvProcessGovernor.h"
#include "rules/Rule.h"

#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <spawn.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const int spawnIntervalMs = 10;
const char *const childLifetime = "0.4";

qint64 nanoseconds(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Spawner mode: starts count processes and writes "pid exec-time" lines.
int spawn(int count, const char *outputPath)
{
    // Children are reaped by the system, so they vanish from /proc at once.
    std::signal(SIGCHLD, SIG_IGN);
    std::vector<std::pair<pid_t, qint64>> started;
    for (int i = 0; i < count; ++i) {
        pid_t child = 0;
        char program[] = "/bin/sleep";
        char lifetime[16];
        std::snprintf(lifetime, sizeof(lifetime), "%s", childLifetime);
        char *arguments[] = {program, lifetime, nullptr};
        // glibc's posix_spawn returns once the child has executed the
        // program, so the time taken here is the exec's, give or take the
        // return.
        if (::posix_spawn(&child, program, nullptr, nullptr, arguments, environ) == 0)
            started.emplace_back(child, nanoseconds(CLOCK_MONOTONIC));
        ::usleep(spawnIntervalMs * 1000);
    }
    FILE *output = std::fopen(outputPath, "w");
    if (!output)
        return 1;
    for (const auto &entry : started)
        std::fprintf(output, "%d %lld\n", static_cast<int>(entry.first),
                     static_cast<long long>(entry.second));
    std::fclose(output);
    return 0;
}

double percentile(std::vector<double> sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()));
    return sorted[index];
}

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// The times from exec to the moment the spawned process was reported (or
// stopped, with a Suspend rule), in milliseconds, sorted; `missed` counts
// those never reported.
std::vector<double> latencies(const QString &outputPath, const QHash<DWORD, qint64> &reportedAt,
                              int &missed)
{
    std::vector<double> found;
    missed = 0;
    QFile spawned(outputPath);
    if (!spawned.open(QIODevice::ReadOnly))
        return found;
    QTextStream lines(&spawned);
    while (!lines.atEnd()) {
        const QStringList fields = lines.readLine().split(QLatin1Char(' '));
        if (fields.size() != 2)
            continue;
        const DWORD pid = fields.at(0).toUInt();
        if (!reportedAt.contains(pid)) {
            ++missed;
            continue;
        }
        found.push_back(double(reportedAt.value(pid) - fields.at(1).toLongLong()) / 1e6);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Runs the spawner, with the event loop going, until a second after it ended.
void runSpawner(int count, const QString &outputPath)
{
    QProcess spawner;
    spawner.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--spawn"), QString::number(count), outputPath});
    QEventLoop loop;
    QObject::connect(&spawner, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     [&] { QTimer::singleShot(1000, &loop, &QEventLoop::quit); });
    loop.exec();
}

// A Suspend rule on /bin/sleep over the process connector: exec to stopped.
void measureSuspendRule(int count)
{
    KvLinuxProcessEvents events;
    KvPlatformProcessEvents::install(&events);
    QTemporaryDir directory;
    const unsigned ruleId = 1;
    {
        RuleOptions options(ruleId);
        options.setValue(QLatin1String(RuleOptions::nameKey), QStringLiteral("sleepers"));
        options.setEnabled(true);
        options.setSelectedProcesses(RuleOptions::Target, {QStringLiteral("sleep")});
        options.setValue(QLatin1String(RuleOptions::targetActionKey),
                         unsigned(RuleOptions::Suspend));
        options.sync();
    }
    QHash<DWORD, qint64> stoppedAt;
    {
        KvProcessGovernor governor(nullptr, directory.filePath(QStringLiteral("journal")));
        Rule rule(ruleId, &governor);
        rule.activateIfApplicable();
        KvProcessNotifier notifier;
        QObject::connect(&notifier, &KvProcessNotifier::started, &governor,
                         &KvProcessGovernor::on_processNotifier_started);
        QObject::connect(&notifier, &KvProcessNotifier::started, &rule,
                         &Rule::on_processNotifier_started);
        QObject::connect(&notifier, &KvProcessNotifier::started, [&](const KvProcessInfo &info) {
            if (rule.restrictedProcessIds().contains(info.processId) &&
                !stoppedAt.contains(info.processId))
                stoppedAt.insert(info.processId, nanoseconds(CLOCK_MONOTONIC));
        });
        QObject::connect(&notifier, &KvProcessNotifier::ended, &governor,
                         &KvProcessGovernor::on_processNotifier_ended);
        QObject::connect(&notifier, &KvProcessNotifier::ended, &rule,
                         &Rule::on_processNotifier_ended);
        runSpawner(count, directory.filePath(QStringLiteral("spawned.txt")));
        // The rule's end lets the sleepers run out.
    }
    int missed = 0;
    const std::vector<double> found =
        latencies(directory.filePath(QStringLiteral("spawned.txt")), stoppedAt, missed);
    std::printf("%-18s %5zu stopped %3d missed   median %7.2f ms   p95 %7.2f ms\n", "Suspend rule",
                found.size(), missed, percentile(found, 0.5), percentile(found, 0.95));
    KvPlatformProcessEvents::install(nullptr);
}

void measure(const QString &label, bool connector, int count)
{
    KvLinuxProcessEvents events;
    events.setConnectorAllowed(connector);
    KvPlatformProcessEvents::install(&events);
    if (connector) {
        const QString description = events.subscribe()->description();
        if (!description.contains(QLatin1String("connector"))) {
            std::printf("%-18s not available: %s\n", qPrintable(label), qPrintable(description));
            KvPlatformProcessEvents::install(nullptr);
            return;
        }
    }

    QTemporaryDir directory;
    const QString outputPath = directory.filePath(QStringLiteral("spawned.txt"));
    QHash<DWORD, qint64> reportedAt;
    int startedSignals = 0;
    {
        KvProcessNotifier notifier;
        QObject::connect(&notifier, &KvProcessNotifier::started, [&](const KvProcessInfo &info) {
            ++startedSignals;
            if (!reportedAt.contains(info.processId))
                reportedAt.insert(info.processId, nanoseconds(CLOCK_MONOTONIC));
        });

        const qint64 cpuBefore = nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
        runSpawner(count, outputPath);
        const qint64 cpu = nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;

        int missed = 0;
        const std::vector<double> found = latencies(outputPath, reportedAt, missed);
        const double cpuPerThousandMs =
            startedSignals ? double(cpu) / 1e6 * 1000.0 / startedSignals : 0.0;
        std::printf("%-18s %5zu seen %3d missed   median %7.2f ms   p95 %7.2f ms   "
                    "CPU %7.1f ms per 1000 started (%d started signals, %.1f ms CPU)\n",
                    qPrintable(label), found.size(), missed, percentile(found, 0.5),
                    percentile(found, 0.95), cpuPerThousandMs, startedSignals, double(cpu) / 1e6);
    }
    KvPlatformProcessEvents::install(nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--spawn") == 0)
        return spawn(std::atoi(argv[2]), argv[3]);

    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    // The notifier's lines still go to its log file; only the console is
    // kept quiet.
    qInstallMessageHandler(discardMessages);

    // The rule's settings, and every log line, go to a store of this run.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());

    std::printf("reaction latency: %d processes (/bin/sleep %s), one every %d ms; "
                "time from exec to the started signal\n",
                count, childLifetime, spawnIntervalMs);
    measure(QStringLiteral("process connector"), true, count);
    measure(QStringLiteral("polling /proc"), false, count);
    measureSuspendRule(count);
    return 0;
}
