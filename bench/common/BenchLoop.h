#pragma once

#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <ctime>
#include <vector>

// Lets the event loop run for ms, so that what the measured code does
// meanwhile (timers, socket notifiers) takes place as in the program.
inline void runEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A message handler for benchmarks whose figures the log lines would only
// bury; the log file is still written.
inline void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// The CPU time of this process or thread (CLOCK_PROCESS_CPUTIME_ID,
// CLOCK_THREAD_CPUTIME_ID), in milliseconds.
inline double cpuMilliseconds(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// The value that fraction of the values lie below (0.5: the median); -1 for none.
inline double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

inline double median(const std::vector<double> &values)
{
    return percentile(values, 0.5);
}
