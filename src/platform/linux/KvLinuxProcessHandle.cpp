#include "platform/linux/KvLinuxProcessHandle.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

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
    return ::syscall(SYS_pidfd_send_signal, fd, signal, nullptr, 0) == 0 ? 0 : errno;
}
