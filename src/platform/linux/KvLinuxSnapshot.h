#pragma once

#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvLinuxHandleTable.h"

#include <vector>

// A tool-help snapshot: what /proc listed at the moment it was taken.
class KvLinuxSnapshot : public KvLinuxHandleObject
{
public:
    explicit KvLinuxSnapshot(DWORD flags);

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
