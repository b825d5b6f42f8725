#include "platform/linux/KvLinuxProcFs.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

// The digits of a stat field as a number; 0 for anything else.
quint64 numberOf(const char *begin, const char *end)
{
    quint64 value = 0;
    for (const char *c = begin; c < end && *c >= '0' && *c <= '9'; ++c)
        value = value * 10 + quint64(*c - '0');
    return value;
}

} // namespace

std::vector<quint32> KvLinuxProcFs::numericEntries(const char *path)
{
    std::vector<quint32> ids;
    DIR *directory = ::opendir(path);
    if (!directory)
        return ids;
    while (const dirent *entry = ::readdir(directory)) {
        char *end = nullptr;
        const unsigned long id = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && id > 0 && id <= 0xFFFFFFFEul)
            ids.push_back(quint32(id));
    }
    ::closedir(directory);
    return ids;
}

bool KvLinuxProcFs::readFile(const QString &path, QByteArray &content)
{
    return readFile(QFile::encodeName(path).constData(), content);
}

bool KvLinuxProcFs::readFile(const char *path, QByteArray &content)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
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
        // Not done at a short read: a listing (mountinfo, cgroup.procs)
        // comes a page at a time, each short of it by a line that did not fit.
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

std::vector<quint32> KvLinuxProcFs::processIds()
{
    return numericEntries("/proc");
}

std::vector<quint32> KvLinuxProcFs::threadIds(quint32 processId)
{
    const QByteArray path = "/proc/" + QByteArray::number(processId) + "/task";
    return numericEntries(path.constData());
}

bool KvLinuxProcFs::readStat(quint32 processId, Stat &stat)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%u/stat", processId);
    return readStat(path, stat);
}

ssize_t KvLinuxProcFs::readLine(const char *path, char *buffer, size_t size)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t got;
    do
        got = ::read(fd, buffer, size - 1);
    while (got < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    buffer[got < 0 ? 0 : got] = '\0';
    return got;
}

bool KvLinuxProcFs::readStat(const char *path, Stat &stat)
{
    char buffer[4096];
    const ssize_t got = readLine(path, buffer, sizeof buffer);
    return got >= 0 && parseStat(QByteArray::fromRawData(buffer, int(got)), stat);
}

bool KvLinuxProcFs::parseStat(const QByteArray &content, Stat &stat)
{
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so
    // it ends at the last ')'. Every /proc listing parses the stat of every
    // process, so the fields are found in place rather than split out.
    const int open = content.indexOf('(');
    const int close = content.lastIndexOf(')');
    // Field 3 (state) up to field 22 (starttime), the last one needed.
    const char *begin[23] = {};
    const char *end[23] = {};
    int last = 2;
    if (open >= 0 && close > open && close + 2 <= content.size()) {
        const char *c = content.constData() + close + 2;
        const char *const stop = content.constData() + content.size();
        while (c < stop && last < 22) {
            const char *fieldEnd = c;
            while (fieldEnd < stop && *fieldEnd != ' ' && *fieldEnd != '\n')
                ++fieldEnd;
            ++last;
            begin[last] = c;
            end[last] = fieldEnd;
            c = fieldEnd + 1;
        }
    }
    const auto isNumber = [&](int field) {
        return field <= last && begin[field] < end[field] && *begin[field] >= '0' &&
               *begin[field] <= '9';
    };
    if (last < 3 || begin[3] == end[3] || !isNumber(4) || !isNumber(22)) {
        errno = EINVAL;
        return false;
    }
    const auto number = [&](int field) {
        return field <= last ? numberOf(begin[field], end[field]) : 0;
    };
    stat.comm = QString::fromLocal8Bit(content.constData() + open + 1, close - open - 1);
    stat.state = *begin[3];
    stat.parentProcessId = quint32(number(4));
    stat.startTime = number(22);
    stat.cpuTicks = number(14) + number(15);     // utime, stime
    const quint64 kernelThreadFlag = 0x00200000; // PF_KTHREAD
    stat.kernelThread = (number(9) & kernelThreadFlag) != 0;
    return true;
}

bool KvLinuxProcFs::readImagePath(quint32 processId, QString &path)
{
    char link[32];
    std::snprintf(link, sizeof link, "/proc/%u/exe", processId);
    return readImageLink(link, path);
}

bool KvLinuxProcFs::readImageLink(const char *linkPath, QString &path)
{
    char buffer[4096];
    const ssize_t length = ::readlink(linkPath, buffer, sizeof buffer);
    if (length < 0)
        return false;
    if (length >= ssize_t(sizeof buffer)) {
        errno = ENAMETOOLONG;
        return false;
    }
    QByteArray target(buffer, int(length));
    static const QByteArray deleted = " (deleted)";
    if (target.endsWith(deleted) && ::access(target.constData(), F_OK) != 0)
        target.chop(deleted.size());
    // Anything but a path (an anonymous file) names no image.
    if (!target.startsWith('/')) {
        errno = EINVAL;
        return false;
    }
    path = QFile::decodeName(target);
    return true;
}

QString KvLinuxProcFs::nameWithoutImage(const QString &kernelName, const QString &firstArgument)
{
    const QString started = fileNameOf(firstArgument);
    return bareName(kernelNameCut(kernelName) && started.startsWith(kernelName) ? started
                                                                                : kernelName);
}

QString KvLinuxProcFs::nameWithoutImage(quint32 processId, const Stat &stat)
{
    QByteArray commandLine;
    if (kernelNameCut(stat.comm))
        readFile(QStringLiteral("/proc/%1/cmdline").arg(processId), commandLine);
    return nameWithoutImage(stat.comm, QString::fromLocal8Bit(commandLine.constData()));
}

QString KvLinuxProcFs::bareName(QString kernelName)
{
    return kernelName.replace(QLatin1Char('/'), QLatin1Char('_'));
}
