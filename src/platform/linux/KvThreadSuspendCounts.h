#pragma once

#include "platform/KvPlatformTypes.h"
#include "platform/linux/KvLinuxHoldRecords.h"

#include <QHash>
#include <QPair>

// Suspend counts per thread, kept as Windows keeps them in the kernel: the
// process is stopped while any of its threads has a count above 0 and
// continued when all are back at 0, unless another running copy of the
// program holds it stopped too (the hold records say so). Processes are
// keyed by id and creation stamp, so a later process with the same id starts
// from nothing.
class KvThreadSuspendCounts
{
public:
    // Windows' MAXIMUM_SUSPEND_COUNT.
    static constexpr DWORD maximumCount = 127;

    explicit KvThreadSuspendCounts(KvLinuxHoldRecords &records)
        : records(records)
    {}
    ~KvThreadSuspendCounts();
    KvThreadSuspendCounts(const KvThreadSuspendCounts &) = delete;
    KvThreadSuspendCounts &operator=(const KvThreadSuspendCounts &) = delete;

    // Raises the thread's count, stopping the process through pidfd when it
    // was running. The previous count, or (DWORD)-1 with errno set.
    DWORD suspend(DWORD processId, quint64 stamp, int pidfd, DWORD threadId);
    // Lowers the thread's count, if it is above 0, continuing the process
    // when no thread is left suspended. The previous count.
    DWORD resume(DWORD processId, quint64 stamp, DWORD threadId);
    // Whether any thread of the process has a count above 0.
    bool holds(DWORD processId, quint64 stamp) const;

    // Continues every process still stopped by us: nothing we did may
    // outlive the program.
    void releaseAll();
    // Forgets the processes that have ended (a later one with the id keeps
    // its own counts), with their holds in the records: written under the
    // records' lock, or with the next change written.
    void forgetEnded();

private:
    using ProcessKey = QPair<DWORD, quint64>;
    struct Process
    {
        int pidfd = -1; // our own duplicate, for continuing it later
        QHash<DWORD, DWORD> counts;
    };

    // Continues the process (this run no longer holds it) unless another
    // copy holds it stopped; under the records' lock.
    void release(const ProcessKey &key, int pidfd);

    KvLinuxHoldRecords &records;
    QHash<ProcessKey, Process> processes;
};
