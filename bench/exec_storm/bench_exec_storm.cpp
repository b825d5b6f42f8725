// What process starts and ends cost the whole program, in its own CPU time.
//
// First, with 0, 20 and 100 stored rules (three patterns each, half of them
// with a condition; see BenchProgram::storeRules), a steady stream of
// processes at a given rate: through the process connector (root; the
// children are /bin/true) and through polling /proc (root without
// CAP_NET_ADMIN, so that the connector cannot be opened; the children live
// 0.3 s so that polling sees them). The program hears of every other process
// started meanwhile as well (a build of someone else's), so the cost per
// start divides its CPU time by this benchmark's starts and the others its
// log shows.
//
// Then a parallel build (make -j2 of 300 small C files, 20 rules), and a
// storm: processes started and ended as fast as this machine can, every
// hundredth of them a target that lives 30 ms, with a rule that suspends
// that name beside 20 others. It counts the targets the program
// stopped and the ones it missed, and its CPU time and memory.
//
//     bench_exec_storm [starts] [per second] [storm size]

#include "BenchProgram.h"

#include <QCoreApplication>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const QString targetName = QStringLiteral("corvane-storm-target");

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

// The children this benchmark started and has not reaped yet (the program is
// a child too, and must not be reaped here).
class Children
{
public:
    void add(pid_t child, bool isTarget)
    {
        if (child > 0)
            running.insert(child, isTarget);
    }
    int size() const { return running.size(); }

    // Reaps what has ended or stopped; with block, waits for at least one
    // when none has. Stopped children are killed.
    void reap(bool block)
    {
        for (;;) {
            for (auto it = running.begin(); it != running.end();) {
                int status = 0;
                if (::waitpid(it.key(), &status, WNOHANG | WUNTRACED) != it.key()) {
                    ++it;
                    continue;
                }
                if (WIFSTOPPED(status)) {
                    ++stopped;
                    ::kill(it.key(), SIGKILL);
                    ++it;
                    continue;
                }
                // A target that ran to its end was not stopped in time.
                if (it.value() && WIFEXITED(status))
                    ++missed;
                it = running.erase(it);
                block = false;
            }
            if (!block || running.isEmpty())
                return;
            ::usleep(200);
        }
    }

    void reapAll()
    {
        while (!running.isEmpty())
            reap(true);
    }

    int stopped = 0;
    int missed = 0;

private:
    QHash<pid_t, bool> running;
};

// The starts the program heard of: all of this benchmark's own (it logs
// none that had ended before it could read them, as /bin/true mostly has),
// and everyone else's that it logged.
int startsHeardOf(const QStringList &lines, int own, const QStringList &ownImages)
{
    int others = 0;
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String(" started (")))
            continue;
        const bool isOwn = std::any_of(ownImages.cbegin(), ownImages.cend(),
                                       [&](const QString &image) { return line.contains(image); });
        others += isOwn ? 0 : 1;
    }
    return own + others;
}

bool startAndSettle(BenchProgram &program, const QStringList &wrapper)
{
    if (!program.start(QString(), wrapper) || !program.waitUntilReady())
        return false;
    ::usleep(1000000);
    return true;
}

// Starts /bin/sleep <lifetime> at the rate, reaps them all and leaves
// settleMs for the last ends to be heard of; the seconds that took.
double stream(int starts, int rate, const QByteArray &lifetime, int settleMs)
{
    QElapsedTimer timer;
    timer.start();
    Children children;
    for (int i = 0; i < starts; ++i) {
        children.add(BenchProgram::spawn({"/bin/sleep", lifetime}), false);
        children.reap(false);
        const qint64 due = qint64(i + 1) * 1000000000 / rate;
        const qint64 early = due - timer.nsecsElapsed();
        if (early > 0)
            ::usleep(useconds_t(early / 1000));
    }
    children.reapAll();
    ::usleep(useconds_t(settleMs) * 1000);
    return seconds(timer);
}

// What only hearing of the same stream costs on this machine, as a floor
// for the rows of the program: a child that does nothing but wait for the
// process connector's messages and read them.
void bareReader(int starts, int rate)
{
    const int socket = ::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    // nlmsghdr, cn_msg and the operation, back to back.
    alignas(nlmsghdr) char listen[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))] = {};
    auto *header = reinterpret_cast<nlmsghdr *>(listen);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    cn_msg message{};
    message.id = {CN_IDX_PROC, CN_VAL_PROC};
    message.len = sizeof(proc_cn_mcast_op);
    const proc_cn_mcast_op operation = PROC_CN_MCAST_LISTEN;
    std::memcpy(NLMSG_DATA(header), &message, sizeof(message));
    std::memcpy(static_cast<char *>(NLMSG_DATA(header)) + sizeof(message), &operation,
                sizeof(operation));
    if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) < 0 ||
        ::send(socket, listen, header->nlmsg_len, 0) != ssize_t(header->nlmsg_len)) {
        std::printf("bare reader: the process connector cannot be opened\n");
        return;
    }
    const pid_t reader = ::fork();
    if (reader == 0) {
        char buffer[4096];
        for (;;) {
            pollfd waiting{socket, POLLIN, 0};
            if (::poll(&waiting, 1, -1) > 0) {
                while (::recv(socket, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
                }
            }
        }
    }
    ::close(socket);
    const double before = BenchProgram::cpuMillisecondsOf(reader);
    const double duration = stream(starts, rate, "0", 1000);
    const double cpu = BenchProgram::cpuMillisecondsOf(reader) - before;
    ::kill(reader, SIGKILL);
    ::waitpid(reader, nullptr, 0);
    std::printf("%-10s %5s %9.0f %8.2f %11.0f %7d   a bare reader of the process connector\n",
                "connector", "-", cpu, 100.0 * cpu / 1000.0 / duration, cpu * 1000.0 / starts,
                starts);
}

void steadyStream(BenchProgram &program, bool connector, int starts, int rate)
{
    const QStringList wrapper =
        connector ? QStringList()
                  : QStringList{QStringLiteral("setpriv"), QStringLiteral("--inh-caps=-net_admin"),
                                QStringLiteral("--bounding-set=-net_admin")};
    const QByteArray lifetime = connector ? "0" : "0.3";
    for (int rules : {0, 20, 100}) {
        program.storeRules(rules);
        if (!startAndSettle(program, wrapper)) {
            std::printf("%-10s %5d   the program did not start\n",
                        connector ? "connector" : "polling", rules);
            continue;
        }
        const QString source = program.logLines()
                                   .filter(QStringLiteral("process events from "))
                                   .value(0)
                                   .section(QStringLiteral("process events from "), 1);

        const qint64 mark = program.logSize();
        const double before = program.cpuMilliseconds();
        const double duration = stream(starts, rate, lifetime, connector ? 1000 : 1500);
        const double cpu = program.cpuMilliseconds() - before;
        const QStringList lines = program.logLines(mark);
        const int seen = startsHeardOf(lines, starts, {QStringLiteral("/sleep)")});
        program.stop();

        std::printf("%-10s %5d %9.0f %8.2f %11.0f %7d   %s\n", connector ? "connector" : "polling",
                    rules, cpu, 100.0 * cpu / 1000.0 / duration, cpu * 1000.0 / qMax(1, seen), seen,
                    qPrintable(source));
        std::fflush(stdout);
    }
}

void storm(BenchProgram &program, int count)
{
    const QString target = QDir(QCoreApplication::applicationDirPath()).filePath(targetName);
    QFile::remove(target);
    if (!QFile::copy(QStringLiteral("/bin/sleep"), target)) {
        std::printf("storm: cannot make %s\n", qPrintable(target));
        return;
    }
    program.storeRules(20, targetName);
    if (!startAndSettle(program, {})) {
        std::printf("storm: the program did not start\n");
        return;
    }
    const qint64 mark = program.logSize();
    const double residentBefore = double(program.residentKilobytes()) / 1024.0;
    const double before = program.cpuMilliseconds();

    Children children;
    int targets = 0;
    QElapsedTimer timer;
    timer.start();
    const QByteArray targetPath = target.toLocal8Bit();
    for (int i = 0; i < count; ++i) {
        const bool isTarget = i % 100 == 50;
        const pid_t child = isTarget ? BenchProgram::spawn({targetPath, "0.03"})
                                     : BenchProgram::spawn({"/bin/true"});
        children.add(child, isTarget);
        targets += isTarget ? 1 : 0;
        // A handful at a time, so that the machine, not this loop, sets the pace.
        children.reap(children.size() >= 8);
    }
    const double spawnSeconds = seconds(timer);
    children.reapAll();
    ::usleep(2000000);
    const double cpu = program.cpuMilliseconds() - before;
    const double residentAfter = double(program.residentKilobytes()) / 1024.0;
    const QStringList lines = program.logLines(mark);
    program.stop();
    QFile::remove(target);

    std::printf("storm: %d processes in %.1f s (%.0f a second); targets (30 ms each): %d, stopped "
                "%d, missed %d\n",
                count, spawnSeconds, count / spawnSeconds, targets, children.stopped,
                children.missed);
    const int seen =
        startsHeardOf(lines, count, {QStringLiteral("/true)"), QStringLiteral("/") + targetName});
    std::printf("       program CPU %.0f ms (%.0f ms per 1000 starts), resident %.1f -> %.1f "
                "MiB, %d starts, %d lines about lost events\n",
                cpu, cpu * 1000.0 / qMax(1, seen), residentBefore, residentAfter, seen,
                BenchProgram::countContaining(lines, QStringLiteral("events were lost")));
}

// A parallel build, the situation the program exists for: make -j2 of 300
// small C files, with 20 rules. The starts are the build's own (make, the
// shell, the compiler's passes, the assembler, the linker), as the log
// shows them.
void parallelBuild(BenchProgram &program)
{
    QTemporaryDir tree;
    for (int i = 0; i < 300; ++i) {
        QFile source(tree.filePath(QStringLiteral("unit%1.c").arg(i)));
        if (!source.open(QIODevice::WriteOnly))
            return;
        source.write(QStringLiteral("int unit%1(int x) { return x * %1 + 1; }\n").arg(i).toUtf8());
    }
    QFile makefile(tree.filePath(QStringLiteral("Makefile")));
    if (!makefile.open(QIODevice::WriteOnly))
        return;
    makefile.write("objects := $(patsubst %.c,%.o,$(wildcard *.c))\n"
                   "all: $(objects)\n"
                   "%.o: %.c\n\tcc -O1 -c $< -o $@\n");
    makefile.close();

    program.storeRules(20);
    if (!startAndSettle(program, {})) {
        std::printf("build: the program did not start\n");
        return;
    }
    const qint64 mark = program.logSize();
    const double before = program.cpuMilliseconds();
    QElapsedTimer timer;
    timer.start();
    QProcess make;
    make.setWorkingDirectory(tree.path());
    make.start(QStringLiteral("make"), {QStringLiteral("-s"), QStringLiteral("-j2")});
    const bool built = make.waitForFinished(600000) && make.exitCode() == 0;
    const double duration = seconds(timer);
    ::usleep(1000000); // the last ends
    const double cpu = program.cpuMilliseconds() - before;
    const int seen = BenchProgram::countContaining(program.logLines(mark), " started (");
    program.stop();
    if (!built) {
        std::printf("build: make -j2 failed (is a C compiler installed?)\n");
        return;
    }
    std::printf("build: make -j2 of 300 C files, 20 rules: %d starts in %.1f s; program CPU %.0f "
                "ms, %.2f ms per start, %.2f %% of one CPU\n",
                seen, duration, cpu, cpu / qMax(1, seen), 100.0 * cpu / 1000.0 / duration);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int starts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int rate = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    const int stormSize = argc > 3 ? std::max(0, std::atoi(argv[3])) : 10000;
    BenchProgram program;

    std::printf(
        "%d process starts at %d a second; CPU in ms, '%% CPU' of one CPU over the stream, "
        "'per 1000' per 1000 starts ('seen': this benchmark's and the others the log shows)\n",
        starts, rate);
    std::printf("%-10s %5s %9s %8s %11s %7s   %s\n", "source", "rules", "CPU", "% CPU", "per 1000",
                "seen", "(as the program says)");
    for (bool connector : {true, false}) {
        if (connector && ::geteuid() != 0) {
            std::printf("connector  needs root\n");
            continue;
        }
        if (connector)
            bareReader(starts, rate);
        steadyStream(program, connector, starts, rate);
    }
    if (::geteuid() == 0)
        parallelBuild(program);
    if (stormSize > 0 && ::geteuid() == 0)
        storm(program, stormSize);
    return 0;
}
