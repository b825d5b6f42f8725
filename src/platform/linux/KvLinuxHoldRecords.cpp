#include "platform/linux/KvLinuxHoldRecords.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString sharedDirectory()
{
    // Root is one user wherever it was started from (sudo, a service, a
    // login), whatever its environment says.
    if (::geteuid() == 0)
        return QStringLiteral("/run/corvane");
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/corvane");
}

} // namespace

KvLinuxHoldRecords::~KvLinuxHoldRecords()
{
    if (directoryFd < 0)
        return;
    lock();
    stopped.clear();
    caps.clear();
    changed = true;
    if (locked) {
        write();
        // The last copy takes the directory with it; one that waits for the
        // lock meanwhile finds it gone and makes it again.
        ::rmdir(QFile::encodeName(directory).constData());
    }
    unlock();
    ::close(directoryFd);
}

bool KvLinuxHoldRecords::openDirectory()
{
    if (runName.isEmpty()) {
        directory = sharedDirectory();
        runName = KvLinuxProcessIdentity::ownRunName();
    }
    if (directory.isEmpty() || runName.isEmpty()) {
        problem = directory.isEmpty() ? QStringLiteral("no runtime directory (XDG_RUNTIME_DIR)")
                                      : QStringLiteral("this process's start time cannot be read");
        return false;
    }
    const QByteArray path = QFile::encodeName(directory);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (directoryFd < 0) {
            ::mkdir(path.constData(), 0700);
            directoryFd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (directoryFd < 0) {
                problem =
                    directory + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
                return false;
            }
        }
        int result = 0;
        do {
            result = ::flock(directoryFd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        struct stat status;
        if (result == 0 && ::fstat(directoryFd, &status) == 0 && status.st_nlink > 0)
            return true;
        ::close(directoryFd);
        directoryFd = -1;
    }
    problem = directory + QStringLiteral(": cannot be locked");
    return false;
}

void KvLinuxHoldRecords::lock()
{
    locked = openDirectory();
    othersRead = false;
}

void KvLinuxHoldRecords::unlock()
{
    if (!locked)
        return;
    if (changed)
        write();
    ::flock(directoryFd, LOCK_UN);
    locked = false;
}

void KvLinuxHoldRecords::readOthers()
{
    // Once per lock, and only when asked: noting a hold needs none of it.
    if (othersRead)
        return;
    othersRead = true;
    othersStopped.clear();
    othersCaps.clear();
    origins.clear();
    endedRuns.clear();
    if (!locked)
        return;
    const QStringList names = KvLinuxProcFs::entryNames(directory, "run-", false);
    for (const QString &name : names) {
        if (name == runName)
            continue;
        const bool running = KvLinuxProcessIdentity::isRunning(name);
        if (!running)
            endedRuns.append(name);
        QByteArray text;
        if (!KvLinuxProcFs::readFile(directory + QLatin1Char('/') + name, text))
            continue;
        // "stop <pid> <stamp>" or "cap <pid> <stamp> <rate> <origin>".
        for (const QByteArray &line : text.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() < 3)
                continue;
            const Process process(fields[1].toUInt(), fields[2].toULongLong());
            if (fields[0] == "stop" && running) {
                othersStopped.insert(process);
            } else if (fields[0] == "cap" && fields.size() >= 5) {
                if (running)
                    othersCaps[process].append(Cap{name, fields[3].toUInt()});
                origins.insert(process, QString::fromUtf8(line).section(QLatin1Char(' '), 4));
            }
        }
    }
}

void KvLinuxHoldRecords::write()
{
    const QByteArray path = QFile::encodeName(directory + QLatin1Char('/') + runName);
    changed = false;
    if (stopped.isEmpty() && caps.isEmpty()) {
        ::unlink(path.constData());
        return;
    }
    QByteArray text;
    for (const Process &process : qAsConst(stopped))
        text += "stop " + QByteArray::number(process.first) + ' ' +
                QByteArray::number(process.second) + '\n';
    for (auto it = caps.constBegin(); it != caps.constEnd(); ++it)
        text += "cap " + QByteArray::number(it.key().first) + ' ' +
                QByteArray::number(it.key().second) + ' ' + QByteArray::number(it->rate) + ' ' +
                it->origin.toUtf8() + '\n';
    // Others read it under the lock only, so it needs no renaming into place.
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, text.constData(), size_t(text.size())) != text.size())
        changed = true; // tried again at the next change
    if (fd >= 0)
        ::close(fd);
}

void KvLinuxHoldRecords::setStopped(const Process &process, bool stop)
{
    if (stop)
        stopped.insert(process);
    else
        stopped.remove(process);
    changed = true;
}

void KvLinuxHoldRecords::setCap(const Process &process, quint32 rate, const QString &origin)
{
    if (rate == 0)
        caps.remove(process);
    else
        caps.insert(process, OwnCap{rate, origin});
    changed = true;
}

bool KvLinuxHoldRecords::stoppedByOthers(const Process &process)
{
    readOthers();
    return othersStopped.contains(process);
}

QList<KvLinuxHoldRecords::Cap> KvLinuxHoldRecords::capsOfOthers(const Process &process)
{
    readOthers();
    return othersCaps.value(process);
}

QString KvLinuxHoldRecords::originOf(const Process &process)
{
    readOthers();
    const auto own = caps.constFind(process);
    return own != caps.constEnd() ? own->origin : origins.value(process);
}

bool KvLinuxHoldRecords::shared(QString &reason)
{
    Guard guard(*this);
    if (!locked)
        reason = problem;
    return locked;
}

void KvLinuxHoldRecords::removeEnded()
{
    readOthers();
    for (const QString &name : qAsConst(endedRuns))
        QFile::remove(directory + QLatin1Char('/') + name);
    endedRuns.clear();
}
