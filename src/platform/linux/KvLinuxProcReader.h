#pragma once

#include "platform/KvPlatformTypes.h"
#include "platform/KvProcessEventSource.h"
#include "platform/linux/KvLinuxProcFs.h"

#include <QList>
#include <QString>
#include <QStringList>

// Reads what the process events report about a process from /proc.
// Everything may fail: the process can end, or be hidden from this user, at
// any moment; failures give empty results, never errors.
class KvLinuxProcReader
{
public:
    using Stat = KvLinuxProcFs::Stat;

    explicit KvLinuxProcReader(const QString &procRoot = QStringLiteral("/proc"));

    bool readStat(DWORD processId, Stat &stat) const;

    // The executable's full path; empty when it cannot be read (other
    // users' processes without privilege, kernel threads, zombies). An
    // executable replaced or deleted after the start keeps the path it had.
    QString executablePath(DWORD processId) const;

    // The argument vector; empty for kernel threads, zombies and where it
    // cannot be read.
    QStringList arguments(DWORD processId) const;

    // The ids of all processes (thread-group leaders), in no special order;
    // empty when /proc cannot be listed.
    QList<DWORD> processIds() const;

    // Whether a thread of the process is left besides its leader (whose end
    // the caller knows of), exceptThread (one known to be ending) and dead
    // ones: a leader thread can end while its process goes on.
    bool hasOtherLiveThreads(DWORD processId, DWORD exceptThread = 0) const;

    // How long ago, in milliseconds, a process that started at startTime
    // (clock ticks after boot) started.
    static qint64 ageMilliseconds(quint64 startTime);

    // The property list of a creation event; the command line only where
    // the image cannot be read. knownParent is used when the
    // creator is known from the fork, and the parent in /proc otherwise
    // (which a dead creator's orphan no longer names).
    KvPropertyList creationProperties(DWORD processId, DWORD knownParent = 0xFFFFFFFF) const;
    // The same from what the caller has just read (parent 0xFFFFFFFF:
    // unknown); only the arguments are read here.
    KvPropertyList creationProperties(DWORD processId, DWORD parent, const QString &comm,
                                      const QString &path) const;

    // The arguments joined with blanks, each argument that holds a blank in
    // double quotes.
    static QString commandLine(const QStringList &arguments);

    bool isReadable() const;

private:
    // "<root>/<id>/<entry>" in the file system's encoding: made at every
    // event, so without the detour through QString.
    QByteArray processPath(DWORD processId, const char *entry) const;

    QByteArray m_encodedRoot;
};
