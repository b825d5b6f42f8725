#include "platform/KvPlatformCpuGroups.h"

#include <cerrno>

QList<KvStatus> KvCpuGroup::addAll(const QList<quint32> &processIds)
{
    QList<KvStatus> added;
    added.reserve(processIds.size());
    for (const quint32 processId : processIds)
        added.append(add(processId));
    return added;
}

KvResult<quint64> KvCpuGroup::timesHeldBack()
{
    return KvError::fromErrno(ENOTSUP);
}
