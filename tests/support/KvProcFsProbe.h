#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <thread>
#include <vector>

// What system tests and benchmarks read about a process from /proc, to see
// for themselves what the program did to it.
class KvProcFsProbe
{
public:
    // The fields of /proc/PID/stat after the command name, so that field 0
    // is the state; empty when the process is gone.
    static QList<QByteArray> statFields(qint64 pid)
    {
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray content = file.readAll();
        const int end = content.lastIndexOf(')');
        return end < 0 ? QList<QByteArray>() : content.mid(end + 2).split(' ');
    }

    // The scheduler state letter: 'R' running, 'S' sleeping, 'T' stopped;
    // '?' when the process is gone.
    static char processState(qint64 pid)
    {
        const QList<QByteArray> fields = statFields(pid);
        return fields.isEmpty() || fields.first().isEmpty() ? '?' : fields.first().at(0);
    }

    // utime + stime in clock ticks, or -1.
    static qint64 cpuTicks(qint64 pid)
    {
        const QList<QByteArray> fields = statFields(pid);
        return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
    }

    // The cgroup that holds the process's cpu controller (v1), or its
    // unified cgroup (v2).
    static QByteArray cpuCgroupOf(qint64 pid)
    {
        QFile file(QStringLiteral("/proc/%1/cgroup").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        QByteArray unified;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> parts = line.split(':');
            if (parts.size() < 3)
                continue;
            if (parts.at(1).split(',').contains("cpu"))
                return parts.at(2);
            if (parts.at(0) == "0")
                unified = parts.at(2);
        }
        return unified;
    }

    // Spins on every given thread until killed: the load that caps are
    // measured against.
    [[noreturn]] static void runBusy(int threads)
    {
        std::vector<std::thread> workers;
        for (int i = 1; i < threads; ++i)
            workers.emplace_back(spin);
        spin();
    }

private:
    [[noreturn]] static void spin()
    {
        volatile unsigned long counter = 0;
        for (;;)
            counter = counter + 1;
    }
};
