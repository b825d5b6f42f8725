#pragma once

#include "platform/linux/KvLinuxHandleTable.h"

#include <QtGlobal>

// An open thread: its id, its process as a pidfd (so that suspending never
// reaches a process that was later given the same id) and that process's
// creation stamp, which keys the suspend counts.
class KvLinuxThreadHandle : public KvLinuxHandleObject
{
public:
    KvLinuxThreadHandle(DWORD threadId, DWORD processId, quint64 processStamp, int pidfd,
                        DWORD access);
    ~KvLinuxThreadHandle() override;

    DWORD threadId() const { return thread; }
    DWORD processId() const { return process; }
    quint64 processStamp() const { return stamp; }
    int pidfd() const { return fd; }
    DWORD access() const { return accessMask; }

private:
    DWORD thread;
    DWORD process;
    quint64 stamp;
    int fd;
    DWORD accessMask;
};
