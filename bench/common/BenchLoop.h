#pragma once

#include <QEventLoop>
#include <QTimer>
#include <QtGlobal>

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
