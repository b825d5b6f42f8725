#include "platform/linux/KvLinuxThreadHandle.h"

#include <unistd.h>

KvLinuxThreadHandle::KvLinuxThreadHandle(DWORD threadId, DWORD processId, quint64 processStamp,
                                         int pidfd, DWORD access)
    : thread(threadId)
    , process(processId)
    , stamp(processStamp)
    , fd(pidfd)
    , accessMask(access)
{}

KvLinuxThreadHandle::~KvLinuxThreadHandle()
{
    if (fd >= 0)
        ::close(fd);
}
