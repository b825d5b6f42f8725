// How long the whole program takes to bring a program with a big family (a
// shell with N children, 2,000 by default) under one shared cap, and to let
// it go again: at an orderly end (SIGTERM), and when it is killed and its
// lifeline lifts the cap. Needs root (cgroups).
//
//     bench_big_family [members]

#include "BenchProgram.h"
#include "ProcFsProbe.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

namespace {

int inProgramGroups(const QList<qint64> &family)
{
    return int(std::count_if(family.cbegin(), family.cend(), [](qint64 pid) {
        return ProcFsProbe::cpuCgroupOf(pid).contains("/corvane/");
    }));
}

// Milliseconds until count() reaches goal, or -1 after a minute.
qint64 timeUntil(const std::function<int()> &count, int goal)
{
    QElapsedTimer timer;
    timer.start();
    return BenchProgram::waitUntil([&] { return count() == goal; }, 60000) ? timer.elapsed() : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const int members = argc > 1 ? QByteArray(argv[1]).toInt() : 2000;
    if (::geteuid() != 0) {
        std::fputs("bench_big_family needs root (cgroups)\n", stderr);
        return 1;
    }
    BenchProgram program;
    const QString shell = QDir::temp().filePath(QStringLiteral("bench-family"));
    QFile::remove(shell);
    QFile::copy(QStringLiteral("/bin/sh"), shell);
    const pid_t parent =
        BenchProgram::spawn({QFile::encodeName(shell), "-c",
                             QByteArray("i=0; while [ $i -lt ") + QByteArray::number(members) +
                                 " ]; do sleep 600 & i=$((i+1)); done; wait"});
    QList<qint64> family;
    BenchProgram::waitUntil(
        [&] { return (family = ProcFsProbe::childrenOf(parent)).size() == members; }, 60000);
    family.append(parent);
    const auto captured = [&] { return inProgramGroups(family); };
    const auto released = [&] { return int(family.size()) - inProgramGroups(family); };

    StoredRule rule(QStringLiteral("family"), true, {QStringLiteral("bench-family")});
    rule.cpuLimit = 25;
    rule.shareLimit = true;
    program.storeRules(0);
    storeRule(1, rule);
    QSettings().sync();

    std::printf("a family of %d processes under one shared cap of 25 %%\n", int(family.size()));
    for (const char *ending : {"SIGTERM", "SIGKILL (its lifeline lifts)"}) {
        program.start();
        const qint64 capture = timeUntil(captured, int(family.size()));
        const double cpu = program.cpuMilliseconds();
        QElapsedTimer timer;
        timer.start();
        if (ending[4] == 'T')
            program.stop();
        else
            program.kill();
        const qint64 release = timeUntil(released, int(family.size()));
        std::printf("  captured %lld ms after the start (program CPU %.0f ms); ended by %s: "
                    "all let go after %lld ms\n",
                    capture, cpu, ending, release);
    }
    ::kill(-parent, SIGKILL);
    ::kill(parent, SIGKILL);
    for (qint64 pid : qAsConst(family))
        ::kill(pid_t(pid), SIGKILL);
    QFile::remove(shell);
    return 0;
}
