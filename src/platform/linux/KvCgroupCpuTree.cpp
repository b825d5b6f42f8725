#include "platform/linux/KvCgroupCpuTree.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvUniqueFd.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const quint64 periodMicroseconds = 100000;
// The kernel refuses quotas below one millisecond.
const quint64 minimumQuotaMicroseconds = 1000;

struct MountEntry
{
    QByteArray root;
    QByteArray mountPoint;
    QByteArray type;
    QList<QByteArray> superOptions;
};

QList<MountEntry> cgroupMounts()
{
    QList<MountEntry> mounts;
    QByteArray text;
    if (!KvLinuxProcFs::readFile(QStringLiteral("/proc/self/mountinfo"), text))
        return mounts;
    for (const QByteArray &line : text.split('\n')) {
        const int separator = line.indexOf(" - ");
        if (separator < 0)
            continue;
        const QList<QByteArray> left = line.left(separator).split(' ');
        const QList<QByteArray> right = line.mid(separator + 3).split(' ');
        if (left.size() < 5 || right.size() < 3)
            continue;
        if (right[0] != "cgroup" && right[0] != "cgroup2")
            continue;
        MountEntry entry;
        entry.root = left[3];
        entry.mountPoint = left[4];
        entry.type = right[0];
        entry.superOptions = right[2].split(',');
        mounts.append(entry);
    }
    return mounts;
}

bool containsWord(const QByteArray &text, const QByteArray &word)
{
    return text.simplified().split(' ').contains(word);
}

} // namespace

bool KvCgroupCpuTree::writeFile(const QString &path, const QByteArray &text)
{
    int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t written = ::write(fd, text.constData(), static_cast<size_t>(text.size()));
    int saved = errno;
    ::close(fd);
    if (written != text.size()) {
        errno = written < 0 ? saved : EIO;
        return false;
    }
    return true;
}

bool KvCgroupCpuTree::prepare()
{
    if (m_prepared && ::access(QFile::encodeName(m_run).constData(), F_OK) == 0)
        return true;
    m_prepared = false;
    m_problem.clear();
    if (!findVersion2() && !findVersion1()) {
        if (m_problem.isEmpty())
            m_problem = QStringLiteral("no cgroup hierarchy with the cpu controller is mounted");
        errno = EOPNOTSUPP;
        return false;
    }
    const QString runName = KvLinuxProcessIdentity::ownRunName();
    if (runName.isEmpty())
        return failedAt(QStringLiteral("/proc/self"));
    m_base = m_top + QStringLiteral("/corvane");
    m_run = m_base + QLatin1Char('/') + runName;
    if (!makeDirectory(m_base, true))
        return failedAt(m_base);
    if (!makeDirectory(m_run, true))
        return failedAt(m_run);
    m_problem.clear();
    m_prepared = true;
    return true;
}

bool KvCgroupCpuTree::failedAt(const QString &path)
{
    const int error = errno;
    m_problem = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
    errno = error;
    return false;
}

bool KvCgroupCpuTree::findVersion2()
{
    for (const MountEntry &mount : cgroupMounts()) {
        if (mount.type != "cgroup2")
            continue;
        QByteArray cgroupText;
        if (!KvLinuxProcFs::readFile(QStringLiteral("/proc/self/cgroup"), cgroupText))
            return false;
        QByteArray ownPath;
        for (const QByteArray &line : cgroupText.split('\n')) {
            if (line.startsWith("0::"))
                ownPath = line.mid(3);
        }
        if (ownPath.isEmpty() || !ownPath.startsWith(mount.root))
            return false;
        // From the top of the mount down to our own group: the highest group
        // that has the cpu controller, that this user may make groups in, and
        // that lets us enable cpu for its children. Below the root a group
        // that holds processes cannot (no internal processes in v2), so in a
        // delegated subtree this is its top, e.g. user@UID.service, and not
        // the app scope the program was started in.
        QByteArray relative = mount.root == "/" ? ownPath : ownPath.mid(mount.root.size());
        QStringList candidates{QString::fromLocal8Bit(mount.mountPoint)};
        QString path = candidates.first();
        for (const QByteArray &part : relative.split('/')) {
            if (part.isEmpty())
                continue;
            path += QLatin1Char('/') + QString::fromLocal8Bit(part);
            candidates.append(path);
        }
        bool cpuFound = false;
        for (const QString &candidate : candidates) {
            QByteArray controllers;
            if (!KvLinuxProcFs::readFile(candidate + QStringLiteral("/cgroup.controllers"),
                                         controllers) ||
                !containsWord(controllers, "cpu"))
                continue;
            cpuFound = true;
            if (::access(QFile::encodeName(candidate).constData(), W_OK) != 0 ||
                !writeFile(candidate + QStringLiteral("/cgroup.subtree_control"), "+cpu"))
                continue;
            m_version2 = true;
            m_mountPoint = QString::fromLocal8Bit(mount.mountPoint);
            m_mountRoot = mount.root;
            m_top = candidate;
            return true;
        }
        m_problem = (cpuFound ? QStringLiteral("this user may not enable the cpu controller in any "
                                               "cgroup from %1 down to this program's own (%2); "
                                               "see \"Without root\" in the README")
                              : QStringLiteral("no cgroup from %1 down to this program's own (%2) "
                                               "has the cpu controller"))
                        .arg(candidates.first(), candidates.last());
        return false;
    }
    return false;
}

bool KvCgroupCpuTree::findVersion1()
{
    for (const MountEntry &mount : cgroupMounts()) {
        if (mount.type != "cgroup" || !mount.superOptions.contains("cpu"))
            continue;
        m_version2 = false;
        m_mountPoint = QString::fromLocal8Bit(mount.mountPoint);
        m_mountRoot = mount.root;
        m_top = m_mountPoint;
        return true;
    }
    return false;
}

bool KvCgroupCpuTree::makeDirectory(const QString &path, bool enableCpu)
{
    if (::mkdir(QFile::encodeName(path).constData(), 0755) != 0 && errno != EEXIST)
        return false;
    // A group competes for the CPUs as one task of default weight. The cap is
    // the only restraint meant, so each of our groups weighs as much as a
    // process that keeps every CPU busy; without this, a capped process under
    // load would get far less than its cap. Failing here restrains no more
    // than the kernel's default does, so it is not an error.
    const long cpus = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    if (m_version2)
        writeFile(path + QStringLiteral("/cpu.weight"),
                  QByteArray::number(qlonglong(std::min(10000L, 100 * cpus))));
    else
        writeFile(path + QStringLiteral("/cpu.shares"), QByteArray::number(qlonglong(1024 * cpus)));
    if (m_version2 && enableCpu)
        return writeFile(path + QStringLiteral("/cgroup.subtree_control"), "+cpu");
    return true;
}

QString KvCgroupCpuTree::jobGroupPath(int number) const
{
    return m_run + QStringLiteral("/job-%1").arg(number);
}

QString KvCgroupCpuTree::createJobGroup(int number)
{
    if (!prepare())
        return QString();
    const QString group = jobGroupPath(number);
    if (!makeDirectory(group, false))
        return QString();
    return group;
}

bool KvCgroupCpuTree::setRate(const QString &group, quint32 rate)
{
    const long cpus = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    const bool unlimited = rate >= 10000;
    const quint64 quota = std::max(minimumQuotaMicroseconds,
                                   quint64(rate) * quint64(cpus) * periodMicroseconds / 10000);
    if (m_version2) {
        const QByteArray text = (unlimited ? QByteArray("max") : QByteArray::number(quota)) + ' ' +
                                QByteArray::number(periodMicroseconds);
        return writeFile(group + QStringLiteral("/cpu.max"), text);
    }
    if (unlimited)
        return writeFile(group + QStringLiteral("/cpu.cfs_quota_us"), "-1");
    return writeFile(group + QStringLiteral("/cpu.cfs_period_us"),
                     QByteArray::number(periodMicroseconds)) &&
           writeFile(group + QStringLiteral("/cpu.cfs_quota_us"), QByteArray::number(quota));
}

bool KvCgroupCpuTree::setFrozen(const QString &group, bool frozen)
{
    if (!m_version2) {
        errno = ENOTSUP;
        return false;
    }
    return writeFile(group + QStringLiteral("/cgroup.freeze"), frozen ? "1" : "0");
}

bool KvCgroupCpuTree::timesHeldBack(const QString &group, quint64 &times)
{
    QByteArray stat;
    if (!KvLinuxProcFs::readFile(group + QStringLiteral("/cpu.stat"), stat))
        return false;
    for (const QByteArray &line : stat.split('\n')) {
        if (line.startsWith("nr_throttled ")) {
            times = line.mid(int(qstrlen("nr_throttled "))).toULongLong();
            return true;
        }
    }
    errno = ENODATA;
    return false;
}

bool KvCgroupCpuTree::movePid(const QString &group, pid_t pid)
{
    return writeFile(group + QStringLiteral("/cgroup.procs"), QByteArray::number(pid));
}

bool KvCgroupCpuTree::moveBack(const QString &origin, pid_t pid)
{
    if (!origin.isEmpty() && movePid(origin, pid))
        return true;
    // The origin is gone (an empty scope that systemd removed) or refuses
    // it. The top of a delegated sub-tree holds no processes of its own once
    // it passes controllers on (cgroup v2 has no internal processes), so
    // then the process goes to a leaf of the program's that limits nothing.
    if (movePid(m_top, pid))
        return true;
    const QString released = releasedGroup();
    return !released.isEmpty() && movePid(released, pid);
}

QString KvCgroupCpuTree::releasedGroup()
{
    // Beside the program's own directory, not in it, so that the processes
    // weigh as they did before (our groups weigh as a whole machine).
    const QString group = m_top + QStringLiteral("/corvane-released");
    if (::mkdir(QFile::encodeName(group).constData(), 0755) != 0 && errno != EEXIST)
        return QString();
    return group;
}

bool KvCgroupCpuTree::members(const QString &group, QList<pid_t> &pids) const
{
    // Read once a second per capped group where no fork is reported: one
    // open and read, numbers taken as they come.
    const KvUniqueFd procs(
        ::open(QFile::encodeName(group + QStringLiteral("/cgroup.procs")).constData(),
               O_RDONLY | O_CLOEXEC));
    if (!procs.isValid())
        return false;
    pids.clear();
    char buffer[4096];
    pid_t pid = 0;
    ssize_t length;
    while ((length = ::read(procs.get(), buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < length; ++i) {
            if (buffer[i] >= '0' && buffer[i] <= '9') {
                pid = pid * 10 + (buffer[i] - '0');
            } else if (pid > 0) {
                pids.append(pid);
                pid = 0;
            }
        }
    }
    if (pid > 0)
        pids.append(pid);
    return length == 0;
}

bool KvCgroupCpuTree::removeGroup(const QString &group)
{
    return ::rmdir(QFile::encodeName(group).constData()) == 0;
}

QString KvCgroupCpuTree::groupOf(pid_t pid) const
{
    QByteArray text;
    if (!KvLinuxProcFs::readFile(QStringLiteral("/proc/%1/cgroup").arg(pid), text))
        return QString();
    for (const QByteArray &line : text.split('\n')) {
        const int first = line.indexOf(':');
        const int second = line.indexOf(':', first + 1);
        if (first < 0 || second < 0)
            continue;
        const QByteArray controllers = line.mid(first + 1, second - first - 1);
        const bool ours =
            m_version2 ? line.startsWith("0::") : controllers.split(',').contains("cpu");
        if (!ours)
            continue;
        QByteArray path = line.mid(second + 1);
        if (m_mountRoot != "/") {
            if (!path.startsWith(m_mountRoot))
                return m_top;
            path = path.mid(m_mountRoot.size());
        }
        QString group = m_mountPoint + QString::fromLocal8Bit(path);
        while (group.endsWith(QLatin1Char('/')))
            group.chop(1);
        return group;
    }
    return QString();
}

bool KvCgroupCpuTree::isJobGroup(const QString &group) const
{
    return !m_base.isEmpty() && group.startsWith(m_base + QLatin1Char('/')) &&
           group.section(QLatin1Char('/'), -1).startsWith(QLatin1String("job-"));
}

bool KvCgroupCpuTree::isOwnGroup(const QString &group) const
{
    return m_prepared && group.startsWith(m_run + QLatin1Char('/'));
}

QString KvCgroupCpuTree::createHandOverGroup(const QString &run, quint32 processId,
                                             const QString &wanted)
{
    const QString runDirectory = m_base + QLatin1Char('/') + run;
    // What another copy's record names is taken only where it can only be
    // that copy's job group.
    const bool named = wanted.startsWith(runDirectory + QStringLiteral("/job-")) &&
                       !wanted.mid(runDirectory.size() + 1).contains(QLatin1Char('/'));
    const QString group =
        named ? wanted : runDirectory + QStringLiteral("/job-for-%1").arg(processId);
    if (!prepare() || !makeDirectory(runDirectory, true) || !makeDirectory(group, false))
        return QString();
    return group;
}

QStringList KvCgroupCpuTree::endedRunDirectories() const
{
    QStringList ended;
    for (const QString &run : KvLinuxProcFs::entryNames(m_base, "run-", true)) {
        const QString path = m_base + QLatin1Char('/') + run;
        if (path != m_run && !KvLinuxProcessIdentity::isRunning(run))
            ended.append(path);
    }
    return ended;
}

QStringList KvCgroupCpuTree::jobGroupsIn(const QString &runDirectory)
{
    QStringList groups;
    for (const QString &job : KvLinuxProcFs::entryNames(runDirectory, "job-", true))
        groups.append(runDirectory + QLatin1Char('/') + job);
    return groups;
}

void KvCgroupCpuTree::removeEndedRunOf(const QString &group)
{
    const QString runDirectory = group.section(QLatin1Char('/'), 0, -2);
    if (runDirectory != m_run &&
        !KvLinuxProcessIdentity::isRunning(runDirectory.section(QLatin1Char('/'), -1)))
        removeGroup(runDirectory);
}

QStringList KvCgroupCpuTree::removeRunDirectory()
{
    QStringList kept;
    if (m_prepared) {
        for (const QString &group : jobGroupsIn(m_run)) {
            if (!removeGroup(group) && errno == EBUSY)
                kept.append(group);
        }
        removeGroup(m_run);
        // The common directory goes with the last run that used it; while
        // another instance runs, its own run directory keeps it in place.
        removeGroup(m_base);
    }
    m_prepared = false;
    return kept;
}

void KvCgroupCpuTree::removeReleasedGroup()
{
    if (!m_top.isEmpty())
        removeGroup(m_top + QStringLiteral("/corvane-released"));
}
