#pragma once

#include "platform/linux/KvLinuxHandleTable.h"

// A handle to a job. The job itself belongs to KvLinuxJobs and outlives its
// last handle while processes are in it, as a job object does on Windows;
// closing the handle only tells the backend that nobody refers to it now.
class KvLinuxJobHandle : public KvLinuxHandleObject
{
public:
    explicit KvLinuxJobHandle(int jobNumber)
        : number(jobNumber)
    {}
    ~KvLinuxJobHandle() override;

    int jobNumber() const { return number; }

private:
    int number;
};
