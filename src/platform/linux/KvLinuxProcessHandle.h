#pragma once

#include "platform/linux/KvLinuxHandleTable.h"

// An open process: a pidfd, which keeps referring to this process even after
// its id has been given to another one. Other Linux backends resolve process
// handles to this class to signal the process or to find its id.
class KvLinuxProcessHandle : public KvLinuxHandleObject
{
public:
    // Takes ownership of pidfd (-1 for the pseudo handle of this process).
    KvLinuxProcessHandle(int pidfd, DWORD processId, DWORD access);
    ~KvLinuxProcessHandle() override;

    int pidfd() const { return fd; }
    DWORD processId() const { return id; }
    DWORD access() const { return accessMask; }

    // True once the process has ended (it may still be a zombie). While
    // this is false, processId() names this process and no other.
    bool hasExited() const;

    // pidfd_send_signal: 0 or the errno.
    int sendSignal(int signal) const;

private:
    int fd;
    DWORD id;
    DWORD accessMask;
};
