#include "platform/linux/KvLinuxSnapshot.h"

#include "platform/linux/KvLinuxProcFs.h"

#include <cerrno>

KvLinuxSnapshot::KvLinuxSnapshot(DWORD flags, Detail detail, DWORD threadOwner)
{
    const bool wantProcesses = flags & KvPlatformKernel::SnapProcess;
    const bool wantThreads = flags & KvPlatformKernel::SnapThread;
    std::vector<DWORD> ids;
    if (wantThreads && threadOwner && !wantProcesses)
        ids.push_back(threadOwner);
    else
        ids = KvLinuxProcFs::processIds();

    if (wantProcesses && detail == IdsOnly && !wantThreads) {
        for (const DWORD processId : ids) {
            KvProcessEntry entry;
            entry.processId = processId;
            processes.push_back(entry);
        }
        return;
    }

    if (wantProcesses)
        processes.reserve(ids.size());
    for (const DWORD processId : ids) {
        KvLinuxProcFs::Stat stat;
        // A process that ends while the snapshot is taken is simply not in it.
        if (!KvLinuxProcFs::readStat(processId, stat))
            continue;
        if (wantProcesses) {
            KvProcessEntry entry;
            entry.processId = processId;
            entry.parentProcessId = stat.parentProcessId;
            entry.exeFile = KvLinuxProcFs::executableName(processId, stat);
            processes.push_back(entry);
        }
        if (wantThreads && (!threadOwner || threadOwner == processId)) {
            for (const DWORD threadId : KvLinuxProcFs::threadIds(processId)) {
                KvLinuxProcFs::Stat threadStat;
                if (!KvLinuxProcFs::readStat(processId, threadStat, threadId))
                    continue;
                KvThreadEntry entry;
                entry.threadId = threadId;
                entry.ownerProcessId = processId;
                entry.basePriority = KvLinuxProcFs::basePriority(threadStat);
                threads.push_back(entry);
            }
        }
    }
}

bool KvLinuxSnapshot::firstProcess(KvProcessEntry &entry)
{
    processCursor = 0;
    return nextProcess(entry);
}

bool KvLinuxSnapshot::nextProcess(KvProcessEntry &entry)
{
    if (processCursor >= processes.size()) {
        errno = ENOENT;
        return false;
    }
    entry = processes[processCursor++];
    return true;
}

bool KvLinuxSnapshot::firstThread(KvThreadEntry &entry)
{
    threadCursor = 0;
    return nextThread(entry);
}

bool KvLinuxSnapshot::nextThread(KvThreadEntry &entry)
{
    if (threadCursor >= threads.size()) {
        errno = ENOENT;
        return false;
    }
    entry = threads[threadCursor++];
    return true;
}
