#pragma once

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

    bool readStat(quint32 processId, Stat &stat) const;

    // The executable's full path; empty when it cannot be read (other
    // users' processes without privilege, kernel threads, zombies). An
    // executable replaced or deleted after the start keeps the path it had.
    QString executablePath(quint32 processId) const;

    // The argument vector; empty for kernel threads, zombies and where it
    // cannot be read.
    QStringList arguments(quint32 processId) const;

    // The ids of all processes (thread-group leaders), in no special order;
    // empty when /proc cannot be listed.
    QList<quint32> processIds() const;

    // Whether a thread of the process is left besides its leader (whose end
    // the caller knows of), exceptThread (one known to be ending) and dead
    // ones: a leader thread can end while its process goes on.
    bool hasOtherLiveThreads(quint32 processId, quint32 exceptThread = 0) const;

    // How long ago, in milliseconds, a process that started at startTime
    // (clock ticks after boot) started.
    static qint64 ageMilliseconds(quint64 startTime);

    // A started process as the events report it; where the image cannot be
    // read, its name is the program it was started as (the first argument),
    // or the kernel's short name. knownParent is the creator where the fork
    // named it, else the parent /proc gives (which a dead creator's orphan
    // no longer names). A process gone before it could be read comes with
    // neither path nor name.
    KvProcessEntry describe(quint32 processId,
                            quint32 knownParent = KvProcessEntry::noProcessId) const;
    // The same from what the caller has just read; only the arguments are
    // read here, and only where the image cannot be.
    KvProcessEntry describe(quint32 processId, quint32 parent, const QString &comm,
                            const QString &path) const;

    bool isReadable() const;

private:
    // "<root>/<id>/<entry>" in the file system's encoding: made at every
    // event, so without the detour through QString.
    QByteArray processPath(quint32 processId, const char *entry) const;

    QByteArray m_encodedRoot;
};
