#pragma once

#include "platform/KvProcessEventSource.h"
#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QList>
#include <QSet>

#include <memory>

// What a process has used of the processor.
struct KvProcessTimes
{
    quint64 startTime = 0;
    // In user and kernel mode together, in microseconds.
    quint64 cpuTime = 0;
};

// The processes of the machine: what runs now, what starts and ends from now
// on, and the program's own process.
//
// Windows: Toolhelp snapshots, QueryFullProcessImageNameW, GetProcessTimes,
// and WMI creation and deletion events. Linux: /proc, and the kernel's
// process connector where this process may listen to it (root), polling
// /proc otherwise.
class KvPlatformProcesses : public KvInstallable<KvPlatformProcesses>
{
public:
    virtual ~KvPlatformProcesses() = default;

    static KvPlatformProcesses *native();

    // The running processes, the system's own threads left out, each with
    // the full path of its executable where it can be read.
    virtual KvResult<QList<KvProcessEntry>> list() = 0;
    // Their ids only: where the rest costs a read per process, this does not.
    virtual KvResult<QSet<quint32>> ids() = 0;
    // When a running process started: with its id, what tells it from a
    // later process that is given the same id. Never 0.
    virtual KvResult<quint64> startTime(quint32 processId) = 0;
    // The full path of a running process's executable.
    virtual KvResult<QString> imagePath(quint32 processId) = 0;
    // When a running process started (as startTime() tells it) and the
    // processor time it has used so far, in one reading.
    virtual KvResult<KvProcessTimes> times(quint32 processId) = 0;
    // The processor time alone, in microseconds, where the system has it
    // for less than times() costs; read once a second for many processes.
    // Values of one process from here keep growing, but need not match
    // times()'s.
    virtual KvResult<quint64> cpuTime(quint32 processId);
    // times() for a process read before (last; a startTime of 0 for none),
    // at the cost of cpuTime() alone while its processor time shows that
    // the id still names the process read then: a time that went back
    // names a new one, whose start time is read. For what is sampled once
    // a second; the times of one process must all come from here.
    KvResult<KvProcessTimes> timesSince(quint32 processId, const KvProcessTimes &last);
    // This program's own process.
    virtual quint32 ownId() = 0;

    // The name of this run of the program where other runs look (its
    // restriction journal, its groups): "<id>-<start time>", with more where
    // the platform needs it to tell runs apart. Its start time is 0 when it
    // cannot be read.
    virtual QString runId();
    // Whether the run of that name has certainly ended. A run that this
    // process cannot see (Linux: one of another PID namespace) has not.
    virtual bool hasEnded(const QString &runId);

    // Starts and ends from now on, on the thread that asks (the GUI thread),
    // until the source is destroyed. Never null: a source that cannot
    // deliver anything says why in its description.
    virtual std::unique_ptr<KvProcessEventSource> watch() = 0;

protected:
    KvPlatformProcesses() = default;
};
