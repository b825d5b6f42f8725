#include "platform/linux/KvLinuxProcFs.h"

#include <QByteArray>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

// Reads a small /proc file in one go; /proc files report size 0, so read
// until the end.
bool readSmallFile(const char *path, QByteArray &content)
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
        content.append(buffer, int(got));
        if (content.size() > (1 << 20))
            break;
    }
    ::close(fd);
    return true;
}

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
    QByteArray path = "/proc/" + QByteArray::number(processId);
    if (threadId)
        path += "/task/" + QByteArray::number(threadId);
    path += "/stat";
    QByteArray content;
    if (!readSmallFile(path.constData(), content))
        return false;
    // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so
    // it ends at the last ')'.
    const int open = content.indexOf('(');
    const int close = content.lastIndexOf(')');
    if (open < 0 || close < open) {
        errno = EINVAL;
        return false;
    }
    stat.comm = QString::fromUtf8(content.mid(open + 1, close - open - 1));
    const QList<QByteArray> fields = content.mid(close + 2).split(' ');
    // fields[0] is field 3 of the file (state).
    auto field = [&fields](int number) -> QByteArray {
        const int index = number - 3;
        return index < fields.size() ? fields.at(index) : QByteArray();
    };
    stat.parentProcessId = DWORD(field(4).toULong());
    stat.nice = field(19).toInt();
    stat.startTime = field(22).toULongLong();
    stat.policy = field(41).toInt();
    return true;
}

bool KvLinuxProcFs::readImagePath(DWORD processId, QString &path)
{
    const QByteArray link = "/proc/" + QByteArray::number(processId) + "/exe";
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
    path = QString::fromLocal8Bit(target);
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
        const QByteArray path = "/proc/" + QByteArray::number(processId) + "/cmdline";
        if (readSmallFile(path.constData(), commandLine)) {
            const QString first = fileNameOf(QString::fromLocal8Bit(commandLine.constData()));
            if (first.startsWith(name))
                name = first;
        }
    }
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name;
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
