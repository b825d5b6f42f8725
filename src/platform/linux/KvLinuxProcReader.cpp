#include "platform/linux/KvLinuxProcReader.h"

#include "platform/common/KvProcessEventProperties.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

KvLinuxProcReader::KvLinuxProcReader(const QString &procRoot)
    : m_encodedRoot(QFile::encodeName(procRoot))
{}

QByteArray KvLinuxProcReader::processPath(DWORD processId, const char *entry) const
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

bool KvLinuxProcReader::readStat(DWORD processId, Stat &stat) const
{
    return KvLinuxProcFs::readStat(processPath(processId, "stat").constData(), stat);
}

QString KvLinuxProcReader::executablePath(DWORD processId) const
{
    QString path;
    KvLinuxProcFs::readImageLink(processPath(processId, "exe").constData(), path);
    return path;
}

QStringList KvLinuxProcReader::arguments(DWORD processId) const
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

QList<DWORD> KvLinuxProcReader::processIds() const
{
    QList<DWORD> ids;
    for (const DWORD processId : KvLinuxProcFs::numericEntries(m_encodedRoot.constData()))
        ids.append(processId);
    return ids;
}

bool KvLinuxProcReader::hasOtherLiveThreads(DWORD processId, DWORD exceptThread) const
{
    // Asked at every process end, mostly of a process that is gone already.
    const QByteArray taskDirectory = processPath(processId, "task");
    const std::vector<DWORD> threads = KvLinuxProcFs::numericEntries(taskDirectory.constData());
    for (const DWORD threadId : threads) {
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

QString KvLinuxProcReader::commandLine(const QStringList &arguments)
{
    QStringList quoted;
    quoted.reserve(arguments.size());
    for (const QString &argument : arguments) {
        if (argument.contains(QLatin1Char(' ')))
            quoted.append(QLatin1Char('"') + argument + QLatin1Char('"'));
        else
            quoted.append(argument);
    }
    return quoted.join(QLatin1Char(' '));
}

KvPropertyList KvLinuxProcReader::creationProperties(DWORD processId, DWORD knownParent) const
{
    const QString path = executablePath(processId);
    // The stat only for what nothing else gives: the parent when no fork
    // named the creator, the kernel's name when the image cannot be read.
    Stat stat;
    if (knownParent == 0xFFFFFFFF || path.isEmpty()) {
        const bool read = readStat(processId, stat);
        if (read && knownParent == 0xFFFFFFFF)
            knownParent = stat.parentProcessId;
        // Gone already, as short-lived processes often are by the time
        // their start is read: there is no command line to read either.
        if (!read && path.isEmpty())
            return KvProcessEventProperties::creation(processId, knownParent, QString(), QString(),
                                                      QString());
    }
    return creationProperties(processId, knownParent, stat.comm, path);
}

KvPropertyList KvLinuxProcReader::creationProperties(DWORD processId, DWORD parent,
                                                     const QString &comm, const QString &path) const
{
    // The image's file name, as the system names processes; the kernel's
    // short name (at most 15 characters) where the image cannot be read,
    // which the program chose itself and is no path.
    if (!path.isEmpty())
        return KvProcessEventProperties::creation(processId, parent, path, QString(),
                                                  QFileInfo(path).fileName());
    // The command line stands in for an image that cannot be read, and only
    // then: with the path at hand nothing asks for it, and reading it would
    // be among the dearest parts of every start.
    return KvProcessEventProperties::creation(
        processId, parent, path, commandLine(arguments(processId)), KvLinuxProcFs::bareName(comm));
}
