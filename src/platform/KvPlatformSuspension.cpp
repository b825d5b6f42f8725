#include "platform/KvPlatformSuspension.h"

QList<KvStatus> KvPlatformSuspension::suspendAll(const QList<quint32> &processIds)
{
    QList<KvStatus> suspended;
    suspended.reserve(processIds.size());
    for (const quint32 processId : processIds)
        suspended.append(suspend(processId));
    return suspended;
}

void KvPlatformSuspension::resumeAll(const QList<quint32> &processIds)
{
    for (const quint32 processId : processIds)
        resume(processId);
}
