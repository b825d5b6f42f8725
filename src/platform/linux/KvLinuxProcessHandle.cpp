#include "platform/linux/KvLinuxProcessHandle.h"

#include "platform/linux/KvLinuxProcessIdentity.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

KvLinuxProcessHandle::KvLinuxProcessHandle(int pidfd, DWORD processId, DWORD access)
    : fd(pidfd)
    , id(processId)
    , accessMask(access)
{}

KvLinuxProcessHandle::~KvLinuxProcessHandle()
{
    if (fd >= 0)
        ::close(fd);
}

bool KvLinuxProcessHandle::hasExited() const
{
    if (fd < 0)
        return false; // this process
    pollfd item{fd, POLLIN, 0};
    const int ready = ::poll(&item, 1, 0);
    return ready > 0 && (item.revents & (POLLIN | POLLHUP)) != 0;
}

int KvLinuxProcessHandle::sendSignal(int signal) const
{
    if (fd < 0)
        return ::kill(::getpid(), signal) == 0 ? 0 : errno;
    return KvLinuxProcessIdentity::sendSignal(fd, signal) ? 0 : errno;
}
