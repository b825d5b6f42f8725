#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QtTest>

#include <unistd.h>

// The program's common cgroup ("corvane") stays when its last run ends, so
// a test that runs the program, or a governor of its own, notes where such
// a group is missing before and removes the one it made afterwards, once no
// run holds anything in it. It is made in a cgroup mount with the cpu
// controller, at the top or (cgroup v2, delegated) in a group above this
// process's own.
class ProgramCgroups
{
public:
    ProgramCgroups()
    {
        for (const QString &path : candidates()) {
            if (!QDir(path).exists())
                missing.append(path);
        }
    }

    void removeNew() const
    {
        for (const QString &path : missing)
            ::rmdir(QFile::encodeName(path).constData());
    }

    // For a test that uses the Linux jobs itself, at its end: its own run's
    // group would go only at the exit of the process, after the test. Once
    // every job group in it is gone (each goes with its last process), it
    // is removed, and then the common group at `base` when nothing else is
    // in it.
    static void removeOwnRunAndCommonGroup(const QString &base)
    {
        const QDir common(base);
        const QStringList ownRuns = common.entryList({QStringLiteral("run-%1-*").arg(::getpid())},
                                                     QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &run : ownRuns) {
            const QDir group(common.filePath(run));
            QTRY_VERIFY_WITH_TIMEOUT(
                group.entryList({QStringLiteral("job-*")}, QDir::Dirs).isEmpty(), 30000);
            ::rmdir(QFile::encodeName(group.path()).constData());
        }
        ::rmdir(QFile::encodeName(base).constData());
    }

private:
    static QStringList candidates()
    {
        QStringList result;
        QFile mountInfo(QStringLiteral("/proc/self/mountinfo"));
        QFile ownGroups(QStringLiteral("/proc/self/cgroup"));
        if (!mountInfo.open(QIODevice::ReadOnly) || !ownGroups.open(QIODevice::ReadOnly))
            return result;
        const QList<QByteArray> groupLines = ownGroups.readAll().split('\n');
        for (const QByteArray &line : mountInfo.readAll().split('\n')) {
            // "id parent major:minor root mount-point options ... - type source super-options"
            const int separator = line.indexOf(" - ");
            if (separator < 0)
                continue;
            const QList<QByteArray> before = line.left(separator).split(' ');
            const QList<QByteArray> after = line.mid(separator + 3).split(' ');
            if (before.size() < 5 || after.size() < 3)
                continue;
            const bool version2 = after.at(0) == "cgroup2";
            if (!version2 && !(after.at(0) == "cgroup" && after.at(2).split(',').contains("cpu")))
                continue;
            const QString mountPoint = QString::fromLocal8Bit(before.at(4));
            const QByteArray mountRoot = before.at(3);
            result.append(mountPoint + QStringLiteral("/corvane"));
            for (const QByteArray &groupLine : groupLines) {
                const QList<QByteArray> fields = groupLine.split(':');
                if (fields.size() < 3 ||
                    (version2 ? fields.at(0) != "0" : !fields.at(1).split(',').contains("cpu")))
                    continue;
                QByteArray own = fields.at(2);
                if (mountRoot != "/" && own.startsWith(mountRoot))
                    own = own.mid(mountRoot.size());
                QString path = mountPoint;
                for (const QByteArray &part : own.split('/')) {
                    if (part.isEmpty())
                        continue;
                    path += QLatin1Char('/') + QString::fromLocal8Bit(part);
                    result.append(path + QStringLiteral("/corvane"));
                }
            }
        }
        return result;
    }

    QStringList missing;
};
