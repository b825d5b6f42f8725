#pragma once

#include "platform/KvPlatformSuspension.h"
#include "platform/linux/KvLinuxHoldRecords.h"
#include "platform/linux/KvUniqueFd.h"

#include <map>
#include <vector>

// Suspension as SIGSTOP and SIGCONT through pidfds: a process is stopped by
// its first suspension and continued when its last one is undone, unless
// another running copy of the program holds it stopped too (SIGCONT is not
// counted by the kernel, so the copies keep what they stop in the hold
// records). Processes are keyed by id and start time, so a later process
// with the same id starts from nothing; the pidfd kept for each never
// reaches another. At the end of the program every process still stopped
// here is continued.
class KvLinuxSuspension : public KvPlatformSuspension
{
public:
    KvLinuxSuspension();
    ~KvLinuxSuspension() override;

    KvStatus suspend(quint32 processId) override;
    KvStatus resume(quint32 processId) override;
    QList<KvStatus> suspendAll(const QList<quint32> &processIds) override;
    void resumeAll(const QList<quint32> &processIds) override;
    KvResult<LeftoverResume> resumeLeftover(quint32 processId, quint64 startTime,
                                            int count) override;
    void processEnded(quint32 processId) override;

private:
    using Key = KvLinuxHoldRecords::Process;
    struct Held
    {
        KvUniqueFd pidfd;
        int count = 0;
    };

    // Lets go of a process: continued unless another copy holds it too.
    // Under the records' lock.
    void release(const Key &key, const Held &held);
    // Logs each thread of a process that could not be reached, as the
    // suspension of a thread at a time would have met it.
    static void reportUnreached(quint32 processId, const char *purpose, int error);

    KvLinuxHoldRecords &records;
    std::map<Key, Held> held;
};
