// How quickly the process notifier reports a started process, and what it
// costs, for each Linux event source; and how soon the whole program stops a
// new target of a Suspend rule. Each is measured on a quiet machine and
// during a storm: another process of this benchmark starting /bin/true as
// fast as it can.
//
// For the notifier, a separate spawner process (this program in another
// mode) starts 200 short-lived processes and notes the moment each exec
// completed; this process only runs the notifier, so its own CPU time is the
// notifier's (with its logging and the event loop). For the program, this
// process starts the targets itself, one every 20 ms, and waits for each to
// stop. Run as root for the process connector; without it the connector row
// says why it is missing.
//
//     bench_reaction_latency [count]

#include "BenchLoop.h"
#include "BenchProgram.h"
#include "notifiers/KvProcessNotifier.h"
#include "platform/linux/KvLinuxProcesses.h"

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
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// Storm mode: /bin/true as fast as it goes, a few at a time, until killed;
// every second it writes how many it started to its standard output.
int storm()
{
    std::vector<pid_t> running;
    qint64 started = 0;
    qint64 reportedAt = nanoseconds(CLOCK_MONOTONIC);
    for (;;) {
        while (running.size() < 4) {
            const pid_t child = BenchProgram::spawn({"/bin/true"});
            if (child > 0)
                running.push_back(child);
            ++started;
        }
        const pid_t ended = ::waitpid(-1, nullptr, 0);
        running.erase(std::remove(running.begin(), running.end(), ended), running.end());
        if (nanoseconds(CLOCK_MONOTONIC) - reportedAt >= 1000000000) {
            std::printf("%lld\n", static_cast<long long>(started));
            std::fflush(stdout);
            reportedAt = nanoseconds(CLOCK_MONOTONIC);
        }
    }
}

// A storm for the lifetime of the object; rate() says how many processes a
// second it started.
class Storm
{
public:
    explicit Storm(bool on)
    {
        if (!on)
            return;
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--storm")});
        process.waitForStarted();
        clock.start();
    }
    ~Storm()
    {
        process.kill();
        process.waitForFinished();
    }
    QString rate()
    {
        if (process.state() == QProcess::NotRunning)
            return QString();
        process.waitForReadyRead(1500);
        const QList<QByteArray> counts = process.readAllStandardOutput().trimmed().split('\n');
        return QStringLiteral(" (storm: %1 starts/s)")
            .arg(counts.last().toDouble() / (clock.elapsed() / 1000.0), 0, 'f', 0);
    }

private:
    QProcess process;
    QElapsedTimer clock;
};

void measure(const QString &label, bool connector, int count, bool withStorm)
{
    KvLinuxProcesses processes;
    processes.setConnectorAllowed(connector);
    KvPlatformProcesses::install(&processes);
    if (connector) {
        const QString description = processes.watch()->description();
        if (!description.contains(QLatin1String("connector"))) {
            std::printf("%-18s not available: %s\n", qPrintable(label), qPrintable(description));
            KvPlatformProcesses::install(nullptr);
            return;
        }
    }

    QTemporaryDir directory;
    const QString outputPath = directory.filePath(QStringLiteral("spawned.txt"));
    QHash<quint32, qint64> reportedAt;
    int startedSignals = 0;
    {
        KvProcessNotifier notifier;
        QObject::connect(&notifier, &KvProcessNotifier::started, [&](const KvProcessInfo &info) {
            ++startedSignals;
            if (!reportedAt.contains(info.processId))
                reportedAt.insert(info.processId, nanoseconds(CLOCK_MONOTONIC));
        });

        Storm storm(withStorm);
        const qint64 cpuBefore = nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
        QProcess spawner;
        spawner.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("--spawn"), QString::number(count), outputPath});
        QEventLoop loop;
        QObject::connect(&spawner, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                         [&] { QTimer::singleShot(1000, &loop, &QEventLoop::quit); });
        loop.exec();
        const qint64 cpu = nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore;

        QFile spawned(outputPath);
        if (!spawned.open(QIODevice::ReadOnly)) {
            std::printf("%-18s spawner failed\n", qPrintable(label));
            KvPlatformProcesses::install(nullptr);
            return;
        }
        std::vector<double> latencies;
        int missed = 0;
        QTextStream lines(&spawned);
        while (!lines.atEnd()) {
            const QStringList fields = lines.readLine().split(QLatin1Char(' '));
            if (fields.size() != 2)
                continue;
            const quint32 pid = fields.at(0).toUInt();
            const qint64 execAt = fields.at(1).toLongLong();
            if (!reportedAt.contains(pid)) {
                ++missed;
                continue;
            }
            latencies.push_back(double(reportedAt.value(pid) - execAt) / 1e6);
        }
        std::sort(latencies.begin(), latencies.end());
        const double cpuPerThousandMs =
            startedSignals ? double(cpu) / 1e6 * 1000.0 / startedSignals : 0.0;
        std::printf("%-18s %5zu seen %3d missed   median %7.2f ms   p95 %7.2f ms   "
                    "CPU %7.1f ms per 1000 started (%d started signals, %.1f ms CPU)%s\n",
                    qPrintable(label), latencies.size(), missed, percentile(latencies, 0.5),
                    percentile(latencies, 0.95), cpuPerThousandMs, startedSignals,
                    double(cpu) / 1e6, qPrintable(storm.rate()));
    }
    KvPlatformProcesses::install(nullptr);
}

// The whole program with 20 rules and one that suspends the target's name:
// from the target's exec to its stop, as its parent (this process) sees it.
void measureProgram(BenchProgram &program, int count, bool withStorm)
{
    const QString label = QStringLiteral("program, Suspend");
    QTemporaryDir directory;
    const QString target = directory.filePath(QStringLiteral("corvane-latency-target"));
    if (!QFile::copy(QStringLiteral("/bin/sleep"), target)) {
        std::printf("%-18s cannot make the target\n", qPrintable(label));
        return;
    }
    program.storeRules(20, QFileInfo(target).fileName());
    if (!program.start() || !program.waitUntilReady()) {
        std::printf("%-18s the program did not start\n", qPrintable(label));
        return;
    }
    const QString source = program.logLines()
                               .filter(QStringLiteral("process events from "))
                               .value(0)
                               .section(QStringLiteral("process events from "), 1);
    Storm storm(withStorm);
    ::usleep(500000);
    std::vector<double> latencies;
    int missed = 0;
    const QByteArray path = target.toLocal8Bit();
    for (int i = 0; i < count; ++i) {
        const pid_t child = BenchProgram::spawn({path, "1"});
        const qint64 execAt = nanoseconds(CLOCK_MONOTONIC);
        int status = 0;
        if (child <= 0 || ::waitpid(child, &status, WUNTRACED) != child)
            continue;
        if (WIFSTOPPED(status)) {
            latencies.push_back(double(nanoseconds(CLOCK_MONOTONIC) - execAt) / 1e6);
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        } else {
            ++missed;
        }
        ::usleep(spawnIntervalMs * 2 * 1000);
    }
    std::printf("%-18s %5zu seen %3d missed   median %7.2f ms   p95 %7.2f ms   exec to stopped, "
                "through %s%s\n",
                qPrintable(label), latencies.size(), missed, percentile(latencies, 0.5),
                percentile(latencies, 0.95), qPrintable(source), qPrintable(storm.rate()));
    program.stop();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--spawn") == 0)
        return spawn(std::atoi(argv[2]), argv[3]);
    if (argc == 2 && std::strcmp(argv[1], "--storm") == 0)
        return storm();

    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    // A store and a log of its own, for the program and for the notifier,
    // whose lines still go to the log file; only the console is kept quiet.
    BenchProgram program;
    qInstallMessageHandler(discardMessages);

    std::printf("reaction latency: %d processes (/bin/sleep %s), one every %d ms; "
                "time from exec to the started signal\n",
                count, childLifetime, spawnIntervalMs);
    for (bool withStorm : {false, true}) {
        std::printf(withStorm ? "during a storm:\n" : "quiet:\n");
        measure(QStringLiteral("process connector"), true, count, withStorm);
        measure(QStringLiteral("polling /proc"), false, count, withStorm);
        measureProgram(program, count, withStorm);
    }
    return 0;
}
