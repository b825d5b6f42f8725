#pragma once

#include "platform/KvResult.h"

#include <QList>
#include <QString>
#include <QStringList>

// What one run of the governor holds in force, kept in a small file so that
// a run that is killed can be cleaned up after by a later one. Each entry is
// one action: the kind, the process id and the process's creation time
// (which tells it from a later process with the same id). The file is
// rewritten whole, atomically, at every change (through a file beside it,
// with ".new" appended to the name, that is renamed over it).
//
// Every run keeps a journal of its own, named after the run (the platform's
// run id: its process id and creation time, as its cgroup directory on Linux
// is), in one directory that all copies of the program share: a copy that
// starts tells the journals of runs that are still going from those of runs
// that ended, and lifts only the latter.
class KvRestrictionJournal
{
public:
    enum class Kind { Cap, Suspension };

    struct Entry
    {
        Kind kind = Kind::Cap;
        quint32 processId = 0;
        quint64 creationTime = 0;

        bool operator==(const Entry &other) const
        {
            return kind == other.kind && processId == other.processId &&
                   creationTime == other.creationTime;
        }
    };

    // The application's local data directory.
    static QString defaultDirectory();
    // Where the journal of this run goes in directory.
    static QString pathOfThisRun(const QString &directory = defaultDirectory());
    // The file name of the journal of the run of that id.
    static QString fileName(const QString &runId);
    // The journal files in directory: one per run, and the single journal of
    // the versions before journals per run, whose run has ended whatever it
    // was; with the ".new" files a run killed while writing may have left.
    static QStringList filesIn(const QString &directory);
    // The id of the run a journal's (or its ".new" file's) name names; false
    // for the single journal of earlier versions.
    static bool runOf(const QString &fileName, QString &runId);

    explicit KvRestrictionJournal(const QString &path);

    QString path() const { return filePath; }

    // What the file holds now. A missing file is an empty journal. False
    // when it exists but cannot be read or is not a journal; `problem` then
    // says why. Lines that make no sense are left out and named in
    // `problem`, and the rest is still returned.
    bool read(QList<Entry> &entries, QString &problem) const;

    // Record actions before they take effect / forget them after their
    // revert, in one write. Fails when the file could not be written;
    // entries that could not be added are not kept.
    KvStatus add(const QList<Entry> &entries);
    KvStatus remove(const QList<Entry> &entries);

private:
    KvStatus write();

    QString filePath;
    QList<Entry> held;
};
