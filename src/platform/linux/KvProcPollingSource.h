#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/linux/KvLinuxProcReader.h"

#include <QHash>
#include <QTimer>

// Process events found by comparing listings of /proc, for where the
// process connector cannot be opened. Processes running when the source is
// created are known but not reported as started.
class KvProcPollingSource : public KvProcessEventSource
{
    Q_OBJECT

public:
    static constexpr int intervalMilliseconds = 200;

    explicit KvProcPollingSource(const QString &reason,
                                 const KvLinuxProcReader &reader = KvLinuxProcReader());

    // One comparison with the last listing; runs on the timer.
    void poll();

private:
    struct Known
    {
        quint64 startTime = 0;
        QString comm;
        QString executablePath;
        // False while a young child may still be about to run a program.
        bool reported = false;
        // Kernel threads are neither reported started nor ended.
        bool kernelThread = false;
    };

    void scan(bool reportChanges);
    void report(quint32 processId, Known &known, quint32 parentId);
    bool hasRunProgram(const KvLinuxProcReader::Stat &stat, const QString &path) const;

    KvLinuxProcReader m_reader;
    QHash<quint32, Known> m_known;
    QTimer m_timer;
};
