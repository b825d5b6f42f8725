#pragma once

// The whole program as a user starts it, on a settings store and a log of
// the benchmark's own, seen from outside: its CPU time, its memory and its
// log. For the benchmarks that measure the program itself.

#include "ProcFsProbe.h"
#include "ShieldedProgramStart.h"
#include "StoredRule.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

class BenchProgram
{
public:
    BenchProgram()
    {
        // This process writes the very store the program reads.
        qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
        qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
        qputenv("CORVANE_MEASUREMENT_HOST", "127.0.0.1:1");
        QCoreApplication::setOrganizationName(QStringLiteral("Veltrom"));
        QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
    }
    ~BenchProgram() { stop(); }

    // Replaces the stored rules with count rules of three patterns each that
    // match no program here: every second one also waits for a program of its
    // own to run, every fourth is switched off, every third suspends rather
    // than caps. extraTarget, when given, is one more rule: suspend that name.
    void storeRules(int count, const QString &extraTarget = QString())
    {
        QSettings store;
        store.remove(QLatin1String(RuleStore::rulesGroup));
        store.setValue(QStringLiteral("analytics/enabled"), false);
        store.sync();
        for (int i = 0; i < count; ++i) {
            StoredRule rule(QStringLiteral("rule %1").arg(i), i % 4 != 3,
                            {QStringLiteral("bench-%1").arg(i),
                             QStringLiteral("bench-%1.bin").arg(i),
                             QStringLiteral("/opt/bench/%1/*").arg(i)});
            if (i % 2)
                rule.conditions = QStringList{QStringLiteral("bench-condition-%1").arg(i)};
            rule.action = i % 3 ? 0 : 1; // limit the CPU, or suspend
            rule.cpuLimit = 20;
            storeRule(0x10000u + unsigned(i), rule);
        }
        if (!extraTarget.isEmpty()) {
            StoredRule rule(QStringLiteral("stop the target"), true, {extraTarget});
            rule.action = 1; // suspend
            storeRule(0x5eed, rule);
        }
    }

    // Starts the program, without a display (and so without a window or a
    // GUI platform) or on display, through wrapper (a command line that ends
    // with the program's place, e.g. setpriv ...).
    bool start(const QString &display = QString(), const QStringList &wrapper = {})
    {
        stop();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QLatin1String(name));
        readyLine = display.isEmpty() ? " rules loaded" : "main window shown";
        if (!display.isEmpty()) {
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            environment.insert(QStringLiteral("DISPLAY"), display);
        }
        program.setProcessEnvironment(environment);
        // The program also logs to standard error; nobody reads it here.
        program.setStandardOutputFile(QProcess::nullDevice());
        program.setStandardErrorFile(QProcess::nullDevice());
        const QString executable = programPath();
        QString started = executable;
        if (!wrapper.isEmpty()) {
            started = home.filePath(QStringLiteral("run-program"));
            QFile script(started);
            if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return false;
            script.write("#!/bin/sh\nexec " + wrapper.join(QLatin1Char(' ')).toLocal8Bit() + " " +
                         executable.toLocal8Bit() + "\n");
            script.setPermissions(script.permissions() | QFile::ExeOwner);
        }
        logStart = QFile(logPath()).size();
        shield.start(program, started);
        return program.waitForStarted(10000);
    }

    // Whether the program has come up within timeoutMs: its rules loaded, and
    // on a display its window shown.
    bool waitUntilReady(int timeoutMs = 120000) const
    {
        return waitUntil([this] { return countContaining(logLines(), readyLine) > 0; }, timeoutMs);
    }

    // SIGTERM, as a service manager ends it, and a kill after a while.
    void stop()
    {
        if (program.state() == QProcess::NotRunning)
            return;
        program.terminate();
        if (!program.waitForFinished(30000)) {
            program.kill();
            program.waitForFinished();
        }
    }

    // SIGKILL: nothing of the program's own lifts what it held.
    void kill()
    {
        program.kill();
        program.waitForFinished();
    }

    // The program built beside the benchmark, or the one that
    // CORVANE_BENCH_PROGRAM names (to compare with an earlier build).
    static QString programPath()
    {
        const QString chosen = qEnvironmentVariable("CORVANE_BENCH_PROGRAM");
        return chosen.isEmpty() ? QStringLiteral(CORVANE_EXECUTABLE) : chosen;
    }

    qint64 pid() const { return program.processId(); }

    // utime + stime of every thread the program had, in milliseconds.
    double cpuMilliseconds() const { return cpuMillisecondsOf(pid()); }

    // The same of any process.
    static double cpuMillisecondsOf(qint64 processId)
    {
        const qint64 ticks = ProcFsProbe::cpuTicks(processId);
        return ticks < 0 ? -1 : double(ticks) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
    }

    // The resident memory, in KiB.
    qint64 residentKilobytes() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').first().toLongLong();
        }
        return -1;
    }

    QString logPath() const
    {
        return home.filePath(QStringLiteral("data/Veltrom/Corvane/corvane.log"));
    }
    qint64 logSize() const { return QFile(logPath()).size(); }

    // The log lines written since offset (by default: since the start).
    QStringList logLines(qint64 offset = -1) const
    {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text) ||
            !file.seek(offset < 0 ? logStart : offset))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    static int countContaining(const QStringList &lines, const QString &text)
    {
        return int(std::count_if(lines.cbegin(), lines.cend(),
                                 [&](const QString &line) { return line.contains(text); }));
    }

    // Polls condition every 2 ms; false when timeoutMs passed first.
    static bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > timeoutMs)
                return false;
            ::usleep(2000);
        }
        return true;
    }

    // Starts a child of this process; 0 when it could not be started.
    static pid_t spawn(const std::vector<QByteArray> &arguments)
    {
        std::vector<char *> argv;
        for (const QByteArray &argument : arguments)
            argv.push_back(const_cast<char *>(argument.constData()));
        argv.push_back(nullptr);
        pid_t child = 0;
        return ::posix_spawn(&child, argv.front(), nullptr, nullptr, argv.data(), environ) == 0
                   ? child
                   : 0;
    }

private:
    QTemporaryDir home;
    const ShieldedProgramStart shield;
    QProcess program;
    qint64 logStart = 0;
    QString readyLine;
};
