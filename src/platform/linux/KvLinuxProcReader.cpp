#include "platform/linux/KvLinuxProcReader.h"

#include "platform/common/KvProcessEventProperties.h"

#include <QDir>
#include <QFileInfo>

#include <ctime>
#include <unistd.h>

namespace {

QByteArray readSmallFile(const QString &path)
{
    QByteArray content;
    KvLinuxProcFs::readFile(path, content);
    return content;
}

bool parseProcessId(const QString &text, DWORD &processId)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0)
        return false;
    processId = value;
    return true;
}

} // namespace

KvLinuxProcReader::KvLinuxProcReader(const QString &procRoot)
    : m_procRoot(procRoot)
{}

QString KvLinuxProcReader::processPath(DWORD processId, const char *entry) const
{
    return m_procRoot + QLatin1Char('/') + QString::number(processId) + QLatin1Char('/') +
           QLatin1String(entry);
}

bool KvLinuxProcReader::isReadable() const
{
    return QFileInfo(m_procRoot + QStringLiteral("/self/stat")).isReadable();
}

bool KvLinuxProcReader::readStat(DWORD processId, Stat &stat) const
{
    QByteArray text;
    return KvLinuxProcFs::readFile(processPath(processId, "stat"), text) &&
           KvLinuxProcFs::parseStat(text, stat);
}

QString KvLinuxProcReader::executablePath(DWORD processId) const
{
    QString path;
    KvLinuxProcFs::readImageLink(processPath(processId, "exe"), path);
    return path;
}

QStringList KvLinuxProcReader::arguments(DWORD processId) const
{
    QByteArray text = readSmallFile(processPath(processId, "cmdline"));
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
    const QStringList entries = QDir(m_procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        DWORD processId = 0;
        if (parseProcessId(entry, processId))
            ids.append(processId);
    }
    return ids;
}

bool KvLinuxProcReader::hasOtherLiveThreads(DWORD processId, DWORD exceptThread) const
{
    const QString taskDirectory = processPath(processId, "task");
    const QStringList threads = QDir(taskDirectory).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &thread : threads) {
        const uint threadId = thread.toUInt();
        if (threadId == processId || threadId == exceptThread)
            continue;
        const QByteArray text =
            readSmallFile(taskDirectory + QLatin1Char('/') + thread + QStringLiteral("/stat"));
        const int close = text.lastIndexOf(')');
        if (close < 0 || close + 2 >= text.size())
            continue;
        const char state = text.at(close + 2);
        if (state != 'Z' && state != 'X' && state != 'x')
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
    Stat stat;
    if (readStat(processId, stat) && knownParent == 0xFFFFFFFF)
        knownParent = stat.parentProcessId;
    return creationProperties(processId, knownParent, stat.comm, executablePath(processId));
}

KvPropertyList KvLinuxProcReader::creationProperties(DWORD processId, DWORD parent,
                                                     const QString &comm, const QString &path) const
{
    // The image's file name, as the system names processes; the kernel's
    // short name (at most 15 characters) where the image cannot be read,
    // which the program chose itself and is no path.
    const QString name =
        path.isEmpty() ? KvLinuxProcFs::bareName(comm) : QFileInfo(path).fileName();
    return KvProcessEventProperties::creation(processId, parent, path,
                                                    commandLine(arguments(processId)), name);
}
