#pragma once

#include "platform/KvPlatformTypes.h"

#include <QList>
#include <QString>

// What the governor holds in force, kept in a small file so that a run that
// is killed can be cleaned up after by the next one. Each entry is one
// action: the kind, the process id and the process's creation time (which
// tells it from a later process with the same id). The file is rewritten
// whole, atomically, at every change.
class KvRestrictionJournal
{
public:
    enum Kind { Cap, Suspension };

    struct Entry
    {
        Kind kind = Cap;
        DWORD processId = 0;
        quint64 creationTime = 0;

        bool operator==(const Entry &other) const
        {
            return kind == other.kind && processId == other.processId &&
                   creationTime == other.creationTime;
        }
    };

    // The journal in the application's local data directory.
    static QString defaultPath();

    explicit KvRestrictionJournal(const QString &path);

    QString path() const { return filePath; }

    // What the file holds now. A missing file is an empty journal. False
    // when it exists but cannot be read or is not a journal; `problem` then
    // says why. Lines that make no sense are left out and named in
    // `problem`, and the rest is still returned.
    bool read(QList<Entry> &entries, QString &problem) const;

    // Record an action before it takes effect / forget one after its revert.
    // False when the file could not be written.
    bool add(const Entry &entry);
    bool remove(const Entry &entry);
    // Starts afresh with nothing in force.
    bool clear();

private:
    bool write();

    QString filePath;
    QList<Entry> held;
};
