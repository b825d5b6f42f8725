#include "platform/linux/KvLinuxProcReader.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

KvLinuxProcReader::KvLinuxProcReader(const QString &procRoot)
    : m_encodedRoot(QFile::encodeName(procRoot))
{}

QByteArray KvLinuxProcReader::processPath(quint32 processId, const char *entry) const
{
    char middle[16];
    const int length = std::snprintf(middle, sizeof middle, "/%u/", processId);
    QByteArray path;
    path.reserve(m_encodedRoot.size() + length + int(std::strlen(entry)));
    return path.append(m_encodedRoot).append(middle, length).append(entry);
}

bool KvLinuxProcReader::isReadable() const
{
    return ::access((m_encodedRoot + "/self/stat").constData(), R_OK) == 0;
}

bool KvLinuxProcReader::readStat(quint32 processId, Stat &stat) const
{
    return KvLinuxProcFs::readStat(processPath(processId, "stat").constData(), stat);
}

QString KvLinuxProcReader::executablePath(quint32 processId) const
{
    QString path;
    KvLinuxProcFs::readImageLink(processPath(processId, "exe").constData(), path);
    return path;
}

QStringList KvLinuxProcReader::arguments(quint32 processId) const
{
    QByteArray text;
    KvLinuxProcFs::readFile(processPath(processId, "cmdline").constData(), text);
    QStringList result;
    if (text.isEmpty())
        return result;
    if (text.endsWith('\0'))
        text.chop(1);
    for (const QByteArray &argument : text.split('\0'))
        result.append(QString::fromLocal8Bit(argument));
    return result;
}

QList<quint32> KvLinuxProcReader::processIds() const
{
    QList<quint32> ids;
    for (const quint32 processId : KvLinuxProcFs::numericEntries(m_encodedRoot.constData()))
        ids.append(processId);
    return ids;
}

bool KvLinuxProcReader::hasOtherLiveThreads(quint32 processId, quint32 exceptThread) const
{
    // Asked at every process end, mostly of a process that is gone already
    // and reaped, which the kernel tells without a walk through /proc (a
    // zombie, or another process with the id by now, is listed).
    if (m_encodedRoot == "/proc" && ::kill(pid_t(processId), 0) != 0 && errno == ESRCH)
        return false;
    const QByteArray taskDirectory = processPath(processId, "task");
    const std::vector<quint32> threads = KvLinuxProcFs::numericEntries(taskDirectory.constData());
    for (const quint32 threadId : threads) {
        if (threadId == processId || threadId == exceptThread)
            continue;
        Stat stat;
        const QByteArray path = taskDirectory + '/' + QByteArray::number(threadId) + "/stat";
        if (KvLinuxProcFs::readStat(path.constData(), stat) && stat.state != 'Z' &&
            stat.state != 'X' && stat.state != 'x')
            return true;
    }
    return false;
}

qint64 KvLinuxProcReader::ageMilliseconds(quint64 startTime)
{
    static const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const qint64 nowMs = qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    const qint64 startMs = ticksPerSecond > 0 ? qint64(startTime * 1000 / ticksPerSecond) : 0;
    return nowMs - startMs;
}

KvProcessEntry KvLinuxProcReader::describe(quint32 processId, quint32 knownParent) const
{
    const QString path = executablePath(processId);
    // Gone already, as short-lived processes often are by the time their
    // start is read (only kernel threads, which run no program, have no
    // image link at all): there is nothing more to read.
    bool gone = path.isEmpty() && errno == ENOENT;
    // The stat only for what nothing else gives: the parent when no fork
    // named the creator, the kernel's name when the image cannot be read.
    Stat stat;
    if (!gone && (knownParent == KvProcessEntry::noProcessId || path.isEmpty())) {
        const bool read = readStat(processId, stat);
        if (read && knownParent == KvProcessEntry::noProcessId)
            knownParent = stat.parentProcessId;
        gone = !read && path.isEmpty();
    }
    if (gone) {
        KvProcessEntry unread;
        unread.processId = processId;
        unread.parentProcessId = knownParent;
        return unread;
    }
    return describe(processId, knownParent, stat.comm, path);
}

KvProcessEntry KvLinuxProcReader::describe(quint32 processId, quint32 parent, const QString &comm,
                                           const QString &path) const
{
    KvProcessEntry entry;
    entry.processId = processId;
    entry.parentProcessId = parent;
    entry.path = path;
    if (!path.isEmpty()) {
        entry.name = path.section(QLatin1Char('/'), -1);
        return entry;
    }
    // The arguments are read only where the kernel cut its name: reading
    // them would be among the dearest parts of every start.
    entry.name = KvLinuxProcFs::nameWithoutImage(
        comm, KvLinuxProcFs::kernelNameCut(comm) ? arguments(processId).value(0) : QString());
    return entry;
}
