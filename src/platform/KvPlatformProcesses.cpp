#include "platform/KvPlatformProcesses.h"

#include <QStringList>

QString KvPlatformProcesses::runId()
{
    const quint32 id = ownId();
    return QStringLiteral("%1-%2").arg(id).arg(startTime(id).valueOr(0));
}

bool KvPlatformProcesses::hasEnded(const QString &runId)
{
    const QStringList parts = runId.split(QLatin1Char('-'));
    bool idRead = false;
    bool timeRead = false;
    const quint32 id = parts.value(0).toUInt(&idRead);
    const quint64 started = parts.value(1).toULongLong(&timeRead);
    // A run whose start was not known cannot be told from a later process
    // with its id: it is taken for ended, as it was before runs had names.
    return parts.size() != 2 || !idRead || !timeRead || started == 0 ||
           startTime(id).valueOr(0) != started;
}

KvResult<KvProcessTimes> KvPlatformProcesses::timesSince(quint32 processId,
                                                         const KvProcessTimes &last)
{
    const KvResult<quint64> used = cpuTime(processId);
    if (!used)
        return used.error();
    if (last.startTime && used.value() >= last.cpuTime)
        return KvProcessTimes{last.startTime, used.value()};
    const KvResult<quint64> started = startTime(processId);
    if (!started)
        return started.error();
    return KvProcessTimes{started.value(), used.value()};
}

KvResult<quint64> KvPlatformProcesses::cpuTime(quint32 processId)
{
    const KvResult<KvProcessTimes> read = times(processId);
    if (!read)
        return read.error();
    return read.value().cpuTime;
}
