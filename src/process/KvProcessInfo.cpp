#include "process/KvProcessInfo.h"

#include "platform/KvPlatformProcesses.h"

KvProcessInfo::KvProcessInfo(const KvProcessEntry &entry)
    : processId(entry.processId)
    , parentProcessId(entry.parentProcessId)
    , fileInfo(entry.path.isEmpty() ? entry.name : entry.path)
{}

QList<KvProcessInfo> KvProcessInfo::running()
{
    QList<KvProcessInfo> processes;
    const KvResult<QList<KvProcessEntry>> listed = KvPlatformProcesses::current().list();
    for (const KvProcessEntry &entry : listed.value())
        processes.append(KvProcessInfo(entry));
    return processes;
}

void KvProcessInfo::resolveFilePath()
{
    if (hasResolvedPath())
        return;
    const KvResult<QString> path = KvPlatformProcesses::current().imagePath(processId);
    if (path)
        fileInfo.setFile(path.value());
}

bool KvProcessInfo::hasResolvedPath() const
{
    const QString directory = fileInfo.path();
    return !directory.isEmpty() && directory != QLatin1String(".");
}
