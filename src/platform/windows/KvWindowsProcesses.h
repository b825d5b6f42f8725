#pragma once

#include "platform/KvPlatformProcesses.h"

// The processes through Toolhelp snapshots and process handles, their
// starts and ends through WMI, or through snapshots where WMI delivers none.
class KvWindowsProcesses : public KvPlatformProcesses
{
public:
    KvResult<QList<KvProcessEntry>> list() override;
    KvResult<QSet<quint32>> ids() override;
    KvResult<quint64> startTime(quint32 processId) override;
    KvResult<QString> imagePath(quint32 processId) override;
    KvResult<KvProcessTimes> times(quint32 processId) override;
    quint32 ownId() override;
    std::unique_ptr<KvProcessEventSource> watch() override;

    // Reads what the entry lacks from the running process: its start time,
    // and its path where it needs one. One open of the process for both.
    static void complete(KvProcessEntry &entry);
};
