#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

// Tells when something else has written the settings file: another copy of
// the program, or a hand edit. The directory is watched rather than the file,
// because Qt and editors replace the file instead of writing it in place;
// the kernel reports changes, so nothing runs between them.
//
// A change is taken in once the file has been quiet for a moment, and read
// again should it change while it is read, so that no half-written file is
// ever taken for the settings. Once the store holds what the file says,
// changed() is emitted. Settings kept in the Windows registry are not
// watched.
class KvSettingsWatcher : public QObject
{
    Q_OBJECT

public:
    explicit KvSettingsWatcher(QObject *parent = nullptr);

signals:
    void changed();

private:
    // What tells one version of the file from another.
    struct Stamp
    {
        qint64 size = -1;
        qint64 modified = 0;
        qint64 changed = 0;
        bool operator==(const Stamp &other) const
        {
            return size == other.size && modified == other.modified && changed == other.changed;
        }
        bool operator!=(const Stamp &other) const { return !(*this == other); }
    };

    Stamp stampNow() const;
    void takeIn();

    const QString path;
    QFileSystemWatcher watcher;
    QTimer quiet;
    Stamp known;
};
