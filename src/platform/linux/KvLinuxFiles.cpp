#include "platform/KvPlatformFiles.h"
#include "platform/linux/KvLinuxRegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

KvError refused(const QString &what)
{
    return KvError{0, what};
}

// Where bytes for path go: path itself, or the end of the symbolic links
// there, which must be a regular file; a missing one is made in a folder of
// this user only, which path's own folder must be in any case.
KvResult<QByteArray> writableTarget(const QByteArray &path)
{
    const QString folder = QFileInfo(QFile::decodeName(path)).absolutePath();
    QDir().mkpath(folder);
    struct stat status;
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0)
        return KvError::fromErrno(errno);
    if (status.st_uid != ::geteuid())
        return refused(QStringLiteral("is in a folder of another user"));
    if (::lstat(path.constData(), &status) != 0)
        return errno == ENOENT ? KvResult<QByteArray>(path) : KvError::fromErrno(errno);
    QByteArray target = path;
    if (S_ISLNK(status.st_mode)) {
        char *resolved = ::realpath(path.constData(), nullptr);
        if (!resolved) {
            const int code = errno;
            return refused(code == ENOENT  ? QStringLiteral("is a symbolic link to nothing")
                           : code == ELOOP ? QStringLiteral("is a loop of symbolic links")
                                           : QStringLiteral("cannot be resolved: ") +
                                                 KvError::fromErrno(code).message);
        }
        target = resolved;
        std::free(resolved);
        if (::stat(target.constData(), &status) != 0)
            return KvError::fromErrno(errno);
    }
    const QString other = KvLinuxRegularFile::notRegular(status.st_mode);
    if (!other.isEmpty())
        return refused(other);
    return target;
}

class KvLinuxFiles final : public KvPlatformFiles
{
public:
    KvStatus replace(const QString &from, const QString &to) override
    {
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) !=
            0)
            return KvError::fromErrno(errno);
        return {};
    }

    KvFileContent readRegular(const QString &path, qint64 limit) override
    {
        return KvLinuxRegularFile::read(QFile::encodeName(path), limit, true);
    }

    KvStatus writeRegular(const QString &path, const QByteArray &bytes) override
    {
        const KvResult<QByteArray> target = writableTarget(QFile::encodeName(path));
        if (!target)
            return target.error();
        struct stat old;
        const bool existed = ::stat(target.value().constData(), &old) == 0;
        QByteArray temporary = target.value() + ".XXXXXX";
        const KvUniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
        if (!fd.isValid())
            return KvError::fromErrno(errno);
        qint64 written = 0;
        while (written < bytes.size()) {
            const ssize_t part =
                ::write(fd.get(), bytes.constData() + written, size_t(bytes.size() - written));
            if (part < 0 && errno == EINTR)
                continue;
            if (part <= 0)
                break;
            written += part;
        }
        const int code = errno;
        bool kept = written == bytes.size();
        if (kept && existed) {
            kept = ::fchmod(fd.get(), old.st_mode & 07777) == 0 &&
                   (::geteuid() != 0 || ::fchown(fd.get(), old.st_uid, old.st_gid) == 0);
        } else if (kept) {
            // A new file as any other program makes one, not mkostemp's 0600.
            const mode_t mask = ::umask(0);
            ::umask(mask);
            kept = ::fchmod(fd.get(), 0666 & ~mask) == 0;
        }
        // What is there now is what was looked at: nothing else is replaced.
        struct stat now;
        const bool unchanged =
            existed ? ::lstat(target.value().constData(), &now) == 0 && S_ISREG(now.st_mode)
                    : ::lstat(target.value().constData(), &now) != 0;
        if (kept && unchanged && ::rename(temporary.constData(), target.value().constData()) == 0)
            return {};
        const KvError error = !unchanged
                                  ? refused(QStringLiteral("was replaced while it was written"))
                                  : KvError::fromErrno(kept ? errno : code);
        ::unlink(temporary.constData());
        return error;
    }
};

} // namespace

KvPlatformFiles *KvPlatformFiles::native()
{
    static KvLinuxFiles files;
    return &files;
}
