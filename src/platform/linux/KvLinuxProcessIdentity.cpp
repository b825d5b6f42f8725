#include "platform/linux/KvLinuxProcessIdentity.h"

#include "platform/linux/KvLinuxProcFs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

bool KvLinuxProcessIdentity::creationStamp(quint32 processId, quint64 &stamp)
{
    KvLinuxProcFs::Stat stat;
    if (!KvLinuxProcFs::readStat(processId, stat)) {
        if (errno == ENOENT)
            errno = ESRCH;
        return false;
    }
    stamp = stampOf(stat.startTime);
    return true;
}

quint64 KvLinuxProcessIdentity::stampOf(quint64 startTicks)
{
    // 44 bits of clock ticks last thousands of years at 100 Hz.
    return (bootTag() << 44) | (startTicks & ((quint64(1) << 44) - 1));
}

QString KvLinuxProcessIdentity::ownRunName()
{
    quint64 stamp = 0;
    if (!creationStamp(quint32(::getpid()), stamp))
        return QString();
    return QStringLiteral("run-%1-%2").arg(::getpid()).arg(stamp);
}

bool KvLinuxProcessIdentity::isRunning(const QString &runName)
{
    const QStringList parts = runName.split(QLatin1Char('-'));
    quint64 stamp = 0;
    return parts.size() == 3 && parts[0] == QLatin1String("run") &&
           creationStamp(parts[1].toUInt(), stamp) && QString::number(stamp) == parts[2];
}

quint64 KvLinuxProcessIdentity::bootTag()
{
    static const quint64 tag = [] {
        QByteArray bootId;
        KvLinuxProcFs::readFile(QStringLiteral("/proc/sys/kernel/random/boot_id"), bootId);
        quint64 hash = 1469598103934665603ull; // FNV-1a
        for (char c : bootId.trimmed()) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ull;
        }
        return (hash & 0xFFFFF) | 1; // never 0: a stamp of 0 means "unknown"
    }();
    return tag;
}

int KvLinuxProcessIdentity::openPidfd(quint32 processId)
{
    if (processId == 0 || processId > quint32(INT32_MAX)) {
        errno = ESRCH;
        return -1;
    }
    return int(::syscall(SYS_pidfd_open, pid_t(processId), 0));
}

bool KvLinuxProcessIdentity::sendSignal(int pidfd, int signal)
{
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

bool KvLinuxProcessIdentity::hasExited(int pidfd)
{
    // A pidfd is readable once its process has exited.
    pollfd item{pidfd, POLLIN, 0};
    return ::poll(&item, 1, 0) > 0;
}
