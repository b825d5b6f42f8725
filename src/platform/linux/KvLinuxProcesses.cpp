#include "platform/linux/KvLinuxProcesses.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcReader.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvProcPollingSource.h"
#include "platform/linux/KvProcessConnectorSource.h"
#include "platform/linux/KvUniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

KvPlatformProcesses *KvPlatformProcesses::native()
{
    static KvLinuxProcesses backend;
    return &backend;
}

KvResult<QList<KvProcessEntry>> KvLinuxProcesses::list()
{
    const std::vector<quint32> running = KvLinuxProcFs::processIds();
    if (running.empty())
        return KvError::fromErrno(errno ? errno : ENOENT);
    QList<KvProcessEntry> processes;
    processes.reserve(int(running.size()));
    for (const quint32 processId : running) {
        KvLinuxProcFs::Stat stat;
        // One that ends meanwhile is simply not listed; the kernel's own
        // threads are no processes to restrain.
        if (!KvLinuxProcFs::readStat(processId, stat) || stat.kernelThread)
            continue;
        KvProcessEntry entry;
        entry.processId = processId;
        entry.parentProcessId = stat.parentProcessId;
        KvLinuxProcFs::readImagePath(processId, entry.path);
        entry.name = entry.path.isEmpty() ? KvLinuxProcFs::nameWithoutImage(processId, stat)
                                          : entry.path.section(QLatin1Char('/'), -1);
        processes.append(entry);
    }
    return processes;
}

KvResult<QSet<quint32>> KvLinuxProcesses::ids()
{
    const std::vector<quint32> running = KvLinuxProcFs::processIds();
    if (running.empty())
        return KvError::fromErrno(errno ? errno : ENOENT);
    return QSet<quint32>(running.cbegin(), running.cend());
}

KvResult<quint64> KvLinuxProcesses::startTime(quint32 processId)
{
    KvLinuxProcFs::Stat stat;
    if (!KvLinuxProcFs::readStat(processId, stat))
        return KvError::fromErrno(errno == ENOENT ? ESRCH : errno);
    // A zombie has ended, though its parent has not yet said so.
    if (stat.state == 'Z' || stat.state == 'X')
        return KvError::fromErrno(ESRCH);
    return KvLinuxProcessIdentity::stampOf(stat.startTime);
}

KvResult<QString> KvLinuxProcesses::imagePath(quint32 processId)
{
    const KvUniqueFd pidfd(KvLinuxProcessIdentity::openPidfd(processId));
    if (!pidfd.isValid())
        return KvError::fromErrno(errno);
    QString path;
    if (!KvLinuxProcFs::readImagePath(processId, path))
        return KvError::fromErrno(errno);
    // Still running after the read means the id named this process all along.
    if (KvLinuxProcessIdentity::hasExited(pidfd.get()))
        return KvError::fromErrno(ESRCH);
    return path;
}

KvResult<KvProcessTimes> KvLinuxProcesses::times(quint32 processId)
{
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    KvLinuxProcFs::Stat stat;
    if (!KvLinuxProcFs::readStat(processId, stat))
        return KvError::fromErrno(errno == ENOENT ? ESRCH : errno);
    return KvProcessTimes{KvLinuxProcessIdentity::stampOf(stat.startTime),
                          stat.cpuTicks * 1000000 /
                              quint64(ticksPerSecond > 0 ? ticksPerSecond : 100)};
}

KvResult<quint64> KvLinuxProcesses::cpuTime(quint32 processId)
{
    // The scheduler's own count in nanoseconds: a file a third the size of
    // stat's, made for less, where the kernel keeps it.
    static const bool scheduled = ::access("/proc/self/schedstat", R_OK) == 0;
    if (!scheduled)
        return KvPlatformProcesses::cpuTime(processId);
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%u/schedstat", processId);
    char content[64];
    if (KvLinuxProcFs::readLine(path, content, sizeof content) < 0)
        return KvError::fromErrno(errno == ENOENT ? ESRCH : errno);
    char *end = nullptr;
    const unsigned long long nanoseconds = std::strtoull(content, &end, 10);
    if (end == content || *end != ' ')
        return KvError{EIO, QStringLiteral("%1 cannot be read").arg(QLatin1String(path))};
    return quint64(nanoseconds / 1000);
}

quint32 KvLinuxProcesses::ownId()
{
    return quint32(::getpid());
}

QString KvLinuxProcesses::runId()
{
    const QString id = KvLinuxProcessIdentity::ownRunId();
    return id.isEmpty() ? KvPlatformProcesses::runId() : id;
}

bool KvLinuxProcesses::hasEnded(const QString &runId)
{
    return KvLinuxProcessIdentity::hasEnded(runId);
}

std::unique_ptr<KvProcessEventSource> KvLinuxProcesses::watch()
{
    QString reason = QStringLiteral("process connector not tried");
    if (connectorAllowed && !KvLinuxProcessIdentity::inInitialPidNamespace()) {
        reason = QStringLiteral("process connector not used: this copy runs in a PID namespace of "
                                "its own, whose process ids the connector does not report");
    } else if (connectorAllowed) {
        if (std::unique_ptr<KvProcessConnectorSource> connector = KvProcessConnectorSource::open())
            return connector;
        reason = QStringLiteral("process connector unavailable: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    const KvLinuxProcReader reader;
    if (reader.isReadable())
        return std::make_unique<KvProcPollingSource>(reason);
    const KvError error = KvError::fromErrno(errno ? errno : ENOENT);
    return std::make_unique<KvProcessEventSource>(
        false, reason + QStringLiteral("; /proc cannot be read: %1").arg(error.message), error);
}
