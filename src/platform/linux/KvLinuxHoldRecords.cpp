#include "platform/linux/KvLinuxHoldRecords.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvLinuxRegularFile.h"
#include "support/KvLog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How long a copy waits for another to let go of the lock. A copy that holds
// it longer has been stopped (Ctrl-Z in its terminal, a debugger): this one
// then acts alone rather than freeze with it.
const int lockWaitMs = 500;

// How often a copy looks whether copies of another user run.
const qint64 otherUsersLookMs = 10000;

// A record holds a line or two of some 60 to 100 bytes per process held:
// far more than any copy holds fits.
const qint64 recordLimit = 4 * 1024 * 1024;

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

KvLinuxHoldRecords &KvLinuxHoldRecords::shared()
{
    static KvLinuxHoldRecords records;
    return records;
}

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
            // Copies of other users may see which runs hold records here, but
            // not what they hold.
            ::mkdir(path.constData(), 0755);
            directoryFd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (directoryFd < 0) {
                problem =
                    directory + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
                return false;
            }
        }
        if (!takeLock())
            return false;
        struct stat status;
        if (::fstat(directoryFd, &status) == 0 && status.st_nlink > 0)
            return true;
        // The last copy removed it meanwhile: made anew.
        ::flock(directoryFd, LOCK_UN);
        ::close(directoryFd);
        directoryFd = -1;
    }
    problem = directory + QStringLiteral(": cannot be locked");
    return false;
}

bool KvLinuxHoldRecords::takeLock()
{
    // Once one wait has run out, later steps only try: each would otherwise
    // stall the program for the whole wait while the other copy stays stopped.
    const QDeadlineTimer deadline(contended ? 0 : lockWaitMs);
    for (;;) {
        if (::flock(directoryFd, LOCK_EX | LOCK_NB) == 0) {
            if (contended) {
                contended = false;
                kvInfo(lcGovernor)
                    << "the other copies of the program can be heard again (" << directory << ")";
            }
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            problem =
                directory + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (deadline.hasExpired())
            break;
        QThread::msleep(5);
    }
    problem = directory + QStringLiteral(": held by another copy");
    if (!contended) {
        contended = true;
        kvWarning(lcGovernor) << "another copy of the program has held " << directory
                              << " for over " << lockWaitMs
                              << " ms (it may be stopped); this copy acts on its own, without "
                                 "regard to what the others hold, until it lets go";
    }
    return false;
}

void KvLinuxHoldRecords::noticeCopiesOfOtherUsers()
{
    // Root's records and a user's live apart, and neither copy may trust the
    // other's: a user could otherwise keep root's copy from continuing a
    // process. Said once, as soon as such a copy is seen. Looked for now and
    // then only: as root it lists every user's runtime directory, and the
    // lock is taken at every hold and lift.
    if (otherUsersNoticed ||
        (otherUsersLookedFor.isValid() && !otherUsersLookedFor.hasExpired(otherUsersLookMs)))
        return;
    otherUsersLookedFor.start();
    const bool root = ::geteuid() == 0;
    QStringList places;
    if (root) {
        for (const QString &user :
             QDir(QStringLiteral("/run/user")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            places.append(QStringLiteral("/run/user/%1/corvane").arg(user));
    } else {
        places.append(QStringLiteral("/run/corvane"));
    }
    for (const QString &place : qAsConst(places)) {
        if (place == directory)
            continue;
        for (const QString &run : KvLinuxProcFs::entryNames(place, "run-", false)) {
            if (!KvLinuxProcessIdentity::isRunning(run))
                continue;
            otherUsersNoticed = true;
            kvWarning(lcGovernor)
                << "a copy of the program runs as " << (root ? "another user" : "root")
                << " and keeps its own records (" << place
                << "): the two do not see what each other holds, so a process that both "
                   "restrain may be let go by one while the other still holds it";
            return;
        }
    }
}

void KvLinuxHoldRecords::lock()
{
    if (guards++ > 0)
        return;
    locked = openDirectory();
    othersRead = false;
    noticeCopiesOfOtherUsers();
}

void KvLinuxHoldRecords::unlock()
{
    if (--guards > 0 || !locked)
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
        const KvFileContent record = KvLinuxRegularFile::read(
            QFile::encodeName(directory + QLatin1Char('/') + name), recordLimit, false);
        refuse(name, record.refusal);
        if (record.kind != KvFileContent::Kind::Regular)
            continue;
        const QByteArray &text = record.bytes;
        // "stop <pid> <stamp>", "cap <pid> <stamp> <rate> <origin>", and
        // after a cap "group <pid> <stamp> <cgroup>" where the copy keeps it.
        for (const QByteArray &line : text.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() < 3)
                continue;
            const Process process(fields[1].toUInt(), fields[2].toULongLong());
            if (fields[0] == "stop" && running) {
                othersStopped.insert(process);
            } else if (fields[0] == "cap" && fields.size() >= 5) {
                if (running)
                    othersCaps[process].append(Cap{name, fields[3].toUInt(), QString()});
                origins.insert(process, QString::fromUtf8(line).section(QLatin1Char(' '), 4));
            } else if (fields[0] == "group" && fields.size() >= 4 && running &&
                       !othersCaps.value(process).isEmpty() &&
                       othersCaps[process].last().run == name) {
                othersCaps[process].last().group =
                    QString::fromUtf8(line).section(QLatin1Char(' '), 3);
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
    for (auto it = caps.constBegin(); it != caps.constEnd(); ++it) {
        const QByteArray process =
            QByteArray::number(it.key().first) + ' ' + QByteArray::number(it.key().second);
        text += "cap " + process + ' ' + QByteArray::number(it->rate) + ' ' + it->origin.toUtf8() +
                '\n';
        if (!it->group.isEmpty())
            text += "group " + process + ' ' + it->group.toUtf8() + '\n';
    }
    // Others read it under the lock only, so it needs no renaming into place.
    QString refusal;
    const KvUniqueFd fd =
        KvLinuxRegularFile::open(path, O_WRONLY | O_CREAT | O_TRUNC, false, refusal);
    if (!fd.isValid() || ::write(fd.get(), text.constData(), size_t(text.size())) != text.size())
        changed = true; // tried again at the next change
    refuse(runName, refusal);
}

void KvLinuxHoldRecords::refuse(const QString &name, const QString &refusal)
{
    // Said once for each name, while something other than a record is there.
    if (refusal.isEmpty()) {
        refused.remove(name);
    } else if (!refused.contains(name)) {
        refused.insert(name);
        kvCritical(lcGovernor) << "hold record \"" << directory << "/" << name << "\" " << refusal
                               << ": not used";
    }
}

void KvLinuxHoldRecords::setStopped(const Process &process, bool stop)
{
    if (stop == stopped.contains(process))
        return;
    if (stop)
        stopped.insert(process);
    else
        stopped.remove(process);
    changed = true;
}

void KvLinuxHoldRecords::setCap(const Process &process, quint32 rate, const QString &origin,
                                const QString &group)
{
    // Each settling of a group notes its members' caps again: the file is
    // written only when what it says changes.
    const auto own = caps.constFind(process);
    const bool held = own != caps.constEnd();
    if (rate == 0 ? !held
                  : held && own->rate == rate && own->origin == origin && own->group == group)
        return;
    if (rate == 0)
        caps.remove(process);
    else
        caps.insert(process, OwnCap{rate, origin, group});
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
    // A copy that holds the lock too long has been said of already; the
    // records serve again once it lets go.
    if (!locked && !contended)
        reason = problem;
    return locked || contended;
}

void KvLinuxHoldRecords::removeEnded()
{
    readOthers();
    for (const QString &name : qAsConst(endedRuns))
        QFile::remove(directory + QLatin1Char('/') + name);
    endedRuns.clear();
}
