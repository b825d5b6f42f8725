#pragma once

#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvLinuxHandleTable.h"

#include <vector>

// A tool-help snapshot: what /proc listed at the moment it was taken.
class KvLinuxSnapshot : public KvLinuxHandleObject
{
public:
    enum Detail {
        Everything,
        // Process entries carry their id only: no per-process reads.
        IdsOnly,
    };

    // threadOwner, when not 0, limits the threads to that process's.
    explicit KvLinuxSnapshot(DWORD flags, Detail detail = Everything, DWORD threadOwner = 0);

    bool firstProcess(KvProcessEntry &entry);
    bool nextProcess(KvProcessEntry &entry);
    bool firstThread(KvThreadEntry &entry);
    bool nextThread(KvThreadEntry &entry);

private:
    std::vector<KvProcessEntry> processes;
    std::vector<KvThreadEntry> threads;
    size_t processCursor = 0;
    size_t threadCursor = 0;
};
