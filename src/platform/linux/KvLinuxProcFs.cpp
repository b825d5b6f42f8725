#include "platform/linux/KvLinuxProcFs.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

std::vector<DWORD> numericEntries(const char *path)
{
    std::vector<DWORD> ids;
    DIR *directory = ::opendir(path);
    if (!directory)
        return ids;
    while (const dirent *entry = ::readdir(directory)) {
        char *end = nullptr;
        const unsigned long id = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && id > 0 && id <= 0xFFFFFFFEul)
            ids.push_back(DWORD(id));
    }
    ::closedir(directory);
    return ids;
}

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

bool KvLinuxProcFs::readFile(const QString &path, QByteArray &content)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    content.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        if (got == 0)
            break;
        content.append(buffer, int(got));
    }
    ::close(fd);
    return true;
}

QStringList KvLinuxProcFs::entryNames(const QString &directory, const char *prefix,
                                      bool directories)
{
    QStringList names;
    DIR *listing = ::opendir(QFile::encodeName(directory).constData());
    if (!listing)
        return names;
    const size_t prefixLength = std::strlen(prefix);
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, prefix, prefixLength) == 0 &&
            (entry->d_type == DT_DIR) == directories)
            names.append(QFile::decodeName(entry->d_name));
    }
    ::closedir(listing);
    return names;
}

std::vector<DWORD> KvLinuxProcFs::processIds()
{
    return numericEntries("/proc");
}

std::vector<DWORD> KvLinuxProcFs::threadIds(DWORD processId)
{
    const QByteArray path = "/proc/" + QByteArray::number(processId) + "/task";
    return numericEntries(path.constData());
}

bool KvLinuxProcFs::readStat(DWORD processId, Stat &stat, DWORD threadId)
{
    QString path = QStringLiteral("/proc/") + QString::number(processId);
    if (threadId)
        path += QStringLiteral("/task/") + QString::number(threadId);
    QByteArray content;
    return readFile(path + QStringLiteral("/stat"), content) && parseStat(content, stat);
}

bool KvLinuxProcFs::parseStat(const QByteArray &content, Stat &stat)
{
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so
    // it ends at the last ')'.
    const int open = content.indexOf('(');
    const int close = content.lastIndexOf(')');
    const QList<QByteArray> fields =
        open >= 0 && close > open ? content.mid(close + 2).split(' ') : QList<QByteArray>();
    // fields[0] is field 3 of the file (state); starttime (22) is the last
    // one every caller needs.
    auto field = [&fields](int number) -> QByteArray {
        const int index = number - 3;
        return index < fields.size() ? fields.at(index) : QByteArray();
    };
    bool parentOk = false, startOk = false;
    const DWORD parent = DWORD(field(4).toULong(&parentOk));
    const quint64 start = field(22).toULongLong(&startOk);
    if (field(3).isEmpty() || !parentOk || !startOk) {
        errno = EINVAL;
        return false;
    }
    stat.comm = QString::fromLocal8Bit(content.mid(open + 1, close - open - 1));
    stat.state = field(3).at(0);
    stat.parentProcessId = parent;
    stat.startTime = start;
    stat.nice = field(19).toInt();
    stat.policy = field(41).toInt();
    const uint kernelThreadFlag = 0x00200000; // PF_KTHREAD
    stat.kernelThread = (field(9).toUInt() & kernelThreadFlag) != 0;
    return true;
}

bool KvLinuxProcFs::readImagePath(DWORD processId, QString &path)
{
    return readImageLink(QStringLiteral("/proc/%1/exe").arg(processId), path);
}

bool KvLinuxProcFs::readImageLink(const QString &linkPath, QString &path)
{
    const QByteArray link = QFile::encodeName(linkPath);
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t length = ::readlink(link.constData(), target.data(), size_t(target.size()));
    if (length < 0)
        return false;
    if (length >= target.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.truncate(int(length));
    static const QByteArray deleted = " (deleted)";
    if (target.endsWith(deleted) && ::access(target.constData(), F_OK) != 0)
        target.chop(deleted.size());
    // Anything but a path (an anonymous file) names no image.
    if (!target.startsWith('/')) {
        errno = ENOENT;
        return false;
    }
    path = QFile::decodeName(target);
    return true;
}

QString KvLinuxProcFs::executableName(DWORD processId, const Stat &stat)
{
    QString imagePath;
    if (readImagePath(processId, imagePath))
        return fileNameOf(imagePath);
    QString name = stat.comm;
    if (name.size() == 15) {
        QByteArray commandLine;
        if (readFile(QStringLiteral("/proc/%1/cmdline").arg(processId), commandLine)) {
            const QString first = fileNameOf(QString::fromLocal8Bit(commandLine.constData()));
            if (first.startsWith(name))
                name = first;
        }
    }
    return bareName(name);
}

QString KvLinuxProcFs::bareName(QString kernelName)
{
    return kernelName.replace(QLatin1Char('/'), QLatin1Char('_'));
}

LONG KvLinuxProcFs::basePriority(const Stat &stat)
{
    if (stat.policy == SCHED_FIFO || stat.policy == SCHED_RR)
        return 24;
    if (stat.policy == SCHED_IDLE || stat.nice > 10)
        return 4;
    if (stat.nice > 0)
        return 6;
    if (stat.nice == 0)
        return 8;
    if (stat.nice >= -10)
        return 10;
    return 13;
}
