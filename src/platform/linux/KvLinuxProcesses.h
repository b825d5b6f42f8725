#pragma once

#include "platform/KvPlatformProcesses.h"

// The processes as /proc shows them; starts and ends from the kernel's
// process connector where this process may listen to it, else from
// comparing listings of /proc.
class KvLinuxProcesses : public KvPlatformProcesses
{
public:
    KvResult<QList<KvProcessEntry>> list() override;
    KvResult<QSet<quint32>> ids() override;
    KvResult<quint64> startTime(quint32 processId) override;
    KvResult<QString> imagePath(quint32 processId) override;
    KvResult<KvProcessTimes> times(quint32 processId) override;
    KvResult<quint64> cpuTime(quint32 processId) override;
    quint32 ownId() override;
    QString runId() override;
    bool hasEnded(const QString &runId) override;
    std::unique_ptr<KvProcessEventSource> watch() override;

    // Whether watch() tries the process connector first; false makes it
    // poll, as without privilege.
    void setConnectorAllowed(bool allowed) { connectorAllowed = allowed; }

private:
    bool connectorAllowed = true;
};
