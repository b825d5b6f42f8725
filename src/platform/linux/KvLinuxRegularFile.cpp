#include "platform/linux/KvLinuxRegularFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemWords(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Why path could not be looked at or opened, in the same words as
// notRegular(); empty when nothing is there.
QString unreachable(int code, const QByteArray &path)
{
    struct stat link;
    if (code == ENOENT)
        return ::lstat(path.constData(), &link) == 0 && S_ISLNK(link.st_mode)
                   ? QStringLiteral("is a symbolic link to nothing")
                   : QString();
    if (code == ELOOP)
        return QStringLiteral("is a loop of symbolic links");
    return QStringLiteral("cannot be opened: ") + systemWords(code);
}

bool sameVersion(const struct stat &a, const struct stat &b)
{
    return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

} // namespace

QString KvLinuxRegularFile::notRegular(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return QString();
    case S_IFDIR:
        return QStringLiteral("is a directory");
    case S_IFIFO:
        return QStringLiteral("is a FIFO");
    case S_IFCHR:
        return QStringLiteral("is a character device");
    case S_IFBLK:
        return QStringLiteral("is a block device");
    case S_IFSOCK:
        return QStringLiteral("is a socket");
    case S_IFLNK:
        return QStringLiteral("is a symbolic link");
    }
    return QStringLiteral("is no regular file");
}

KvUniqueFd KvLinuxRegularFile::open(const QByteArray &path, int flags, bool followLinks,
                                    QString &refusal)
{
    refusal.clear();
    struct stat status;
    const int looked =
        followLinks ? ::stat(path.constData(), &status) : ::lstat(path.constData(), &status);
    if (looked != 0) {
        refusal = unreachable(errno, path);
        if (!refusal.isEmpty() || !(flags & O_CREAT))
            return KvUniqueFd();
    } else if (!(refusal = notRegular(status.st_mode)).isEmpty()) {
        return KvUniqueFd();
    }
    KvUniqueFd fd(::open(path.constData(),
                         flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW),
                         0666));
    if (!fd.isValid()) {
        refusal = errno == ELOOP && !followLinks ? QStringLiteral("is a symbolic link")
                                                 : unreachable(errno, path);
        return fd;
    }
    // Given to something else between the look and the open.
    if (::fstat(fd.get(), &status) != 0)
        refusal = QStringLiteral("cannot be opened: ") + systemWords(errno);
    else
        refusal = notRegular(status.st_mode);
    if (!refusal.isEmpty())
        fd.reset();
    return fd;
}

KvFileContent KvLinuxRegularFile::read(const QByteArray &path, qint64 limit, bool followLinks)
{
    KvFileContent content;
    const KvUniqueFd fd = open(path, O_RDONLY, followLinks, content.refusal);
    if (!fd.isValid()) {
        if (content.refusal.isEmpty())
            content.kind = KvFileContent::Kind::Missing;
        return content;
    }
    struct stat before, after;
    if (::fstat(fd.get(), &before) != 0) {
        content.refusal = QStringLiteral("cannot be read: ") + systemWords(errno);
        return content;
    }
    if (before.st_size > limit) {
        content.refusal = QStringLiteral("is larger than %1 bytes").arg(limit);
        return content;
    }
    content.bytes.resize(int(before.st_size));
    qint64 got = 0;
    while (got < before.st_size) {
        const ssize_t part =
            ::read(fd.get(), content.bytes.data() + got, size_t(before.st_size - got));
        if (part < 0 && errno == EINTR)
            continue;
        if (part < 0) {
            content.refusal = QStringLiteral("cannot be read: ") + systemWords(errno);
            return content;
        }
        if (part == 0)
            break;
        got += part;
    }
    char more;
    const bool grew = ::read(fd.get(), &more, 1) > 0;
    content.kind = !grew && got == before.st_size && ::fstat(fd.get(), &after) == 0 &&
                           sameVersion(before, after)
                       ? KvFileContent::Kind::Regular
                       : KvFileContent::Kind::Unsettled;
    return content;
}
