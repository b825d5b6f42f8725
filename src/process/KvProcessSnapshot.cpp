#include "process/KvProcessSnapshot.h"

#include "platform/KvPlatformKernel.h"
#include "process/KvHandle.h"

QList<KvProcessInfo> snapshotProcesses(int flags)
{
    QList<KvProcessInfo> processes;
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    const KvHandle snapshot = KvHandle::createSnapshot(KvPlatformKernel::SnapProcess);
    // Walking no snapshot would replace its error code with one for the handle.
    if (!snapshot.isValid())
        return processes;
    KvProcessEntry entry;
    for (bool more = kernel.process32First(snapshot.get(), entry); more;
         more = kernel.process32Next(snapshot.get(), entry)) {
        KvProcessInfo process;
        process.processId = entry.processId;
        process.parentProcessId = entry.parentProcessId;
        process.fileInfo = KvFileInfo(entry.exeFile);
        process.resolveFilePath();

        if ((flags & SkipUnnamed) && process.fileInfo.fileName().isEmpty())
            continue;
        if ((flags & SkipUnresolved) && !process.hasResolvedPath())
            continue;
        processes.append(process);
    }
    return processes;
}

QSet<DWORD> snapshotProcessIds()
{
    QSet<DWORD> ids;
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    // Ids only: on some platforms the full entries cost a read per process,
    // and this runs once a second.
    const KvHandle snapshot(kernel.createProcessIdSnapshot(), INVALID_HANDLE_VALUE);
    if (!snapshot.isValid())
        return ids;
    KvProcessEntry entry;
    for (bool more = kernel.process32First(snapshot.get(), entry); more;
         more = kernel.process32Next(snapshot.get(), entry))
        ids.insert(entry.processId);
    return ids;
}

QList<KvThreadInfo> snapshotThreads(DWORD processId)
{
    QList<KvThreadInfo> threads;
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    const KvHandle snapshot(kernel.createThreadSnapshot(processId), INVALID_HANDLE_VALUE);
    if (!snapshot.isValid())
        return threads;
    KvThreadEntry entry;
    for (bool more = kernel.thread32First(snapshot.get(), entry); more;
         more = kernel.thread32Next(snapshot.get(), entry)) {
        if (entry.ownerProcessId == processId)
            threads.append(KvThreadInfo{entry.threadId, entry.ownerProcessId, entry.basePriority});
    }
    return threads;
}
