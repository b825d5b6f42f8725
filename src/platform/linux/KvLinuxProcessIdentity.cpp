#include "platform/linux/KvLinuxProcessIdentity.h"

#include "platform/linux/KvLinuxProcFs.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace {

// The inode the kernel gives the initial PID namespace (PROC_PID_INIT_INO).
constexpr quint64 initialPidNamespace = 0xEFFFFFFCu;

quint64 pidNamespaceOf(const char *link)
{
    struct stat status;
    return ::stat(link, &status) == 0 ? quint64(status.st_ino) : 0;
}

} // namespace

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

QString KvLinuxProcessIdentity::ownRunId()
{
    quint64 stamp = 0;
    if (!creationStamp(quint32(::getpid()), stamp))
        return QString();
    QString id = QStringLiteral("%1-%2").arg(::getpid()).arg(stamp);
    if (!inInitialPidNamespace())
        id += QStringLiteral("-ns%1").arg(ownPidNamespace());
    return id;
}

QString KvLinuxProcessIdentity::ownRunName()
{
    const QString id = ownRunId();
    return id.isEmpty() ? id : QStringLiteral("run-") + id;
}

bool KvLinuxProcessIdentity::isRunning(const QString &runName)
{
    return runName.startsWith(QLatin1String("run-")) && !hasEnded(runName.mid(4));
}

bool KvLinuxProcessIdentity::parseRunId(const QString &runId, quint32 &processId,
                                        quint64 &pidNamespace)
{
    const QStringList parts = runId.split(QLatin1Char('-'));
    bool idRead = false;
    processId = parts.value(0).toUInt(&idRead);
    const QString runNamespace = parts.value(2);
    pidNamespace = runNamespace.isEmpty() ? initialPidNamespace : runNamespace.mid(2).toULongLong();
    return idRead && parts.size() >= 2 && parts.size() <= 3;
}

quint64 KvLinuxProcessIdentity::ownRunNamespace()
{
    return inInitialPidNamespace() ? initialPidNamespace : ownPidNamespace();
}

quint32 KvLinuxProcessIdentity::localProcessId(const QString &runId)
{
    quint32 processId = 0;
    quint64 pidNamespace = 0;
    return parseRunId(runId, processId, pidNamespace) && pidNamespace == ownRunNamespace()
               ? processId
               : 0;
}

bool KvLinuxProcessIdentity::hasEnded(const QString &runId)
{
    quint32 processId = 0;
    quint64 namespaceOfRun = 0;
    if (!parseRunId(runId, processId, namespaceOfRun))
        return true;
    if (namespaceOfRun != ownRunNamespace()) {
        // Ids of another PID namespace name other processes here, or none:
        // such a run has ended only once no process is left in its
        // namespace, which only the initial namespace sees.
        return inInitialPidNamespace() && !pidNamespaceInUse(namespaceOfRun);
    }
    const QStringList parts = runId.split(QLatin1Char('-'));
    KvLinuxProcFs::Stat stat;
    // A zombie has ended: the copy that waits for it may never reap it.
    return !KvLinuxProcFs::readStat(processId, stat) || stat.state == 'Z' || stat.state == 'X' ||
           QString::number(stampOf(stat.startTime)) != parts[1];
}

bool KvLinuxProcessIdentity::inInitialPidNamespace()
{
    const quint64 own = ownPidNamespace();
    return own == 0 || own == initialPidNamespace;
}

quint64 KvLinuxProcessIdentity::ownPidNamespace()
{
    static const quint64 inode = pidNamespaceOf("/proc/self/ns/pid");
    return inode;
}

bool KvLinuxProcessIdentity::pidNamespaceInUse(quint64 inode)
{
    // Asked at every look at the hold records: one look at every process
    // serves for two seconds, as a namespace seen gone that much later
    // changes nothing anyone sees.
    static QSet<quint64> inUse;
    static QElapsedTimer looked;
    if (!looked.isValid() || looked.elapsed() > 2000) {
        inUse.clear();
        for (const quint32 processId : KvLinuxProcFs::processIds()) {
            char link[48];
            std::snprintf(link, sizeof link, "/proc/%u/ns/pid", processId);
            inUse.insert(pidNamespaceOf(link));
        }
        looked.start();
    }
    return inUse.contains(inode);
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
