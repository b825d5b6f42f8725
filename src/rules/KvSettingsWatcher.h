#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <memory>

class KvPlatformSettingsWatch;

// Tells when the user's settings file has been written by someone else (a
// hand edit, an editor, another copy of the program) and taken into the
// working copy (KvSettingsFile). The file is watched, for writes into it,
// and so is its folder, where it is replaced or made again; the file's watch
// follows whatever has the name after each change, since a replaced file is
// another file. The kernel reports changes, so nothing runs between them.
//
// A change is taken in once the file has been quiet for a moment, and no
// later than a second after the first change however often it is written.
// A file written while it is read is read again, and one that does not parse
// is judged only once it is quiet: it may be a write caught halfway.
// changed() follows every look at the file; the working copy's generation
// tells whether it changed. Settings kept in the Windows registry are
// watched there, through the platform, and taken in the same way.
class KvSettingsWatcher : public QObject
{
    Q_OBJECT

public:
    explicit KvSettingsWatcher(QObject *parent = nullptr);
    ~KvSettingsWatcher() override;

signals:
    void changed();

private:
    void arm();
    void settle(bool quietNow);

    const QString path;
    QFileSystemWatcher watcher;
    std::unique_ptr<KvPlatformSettingsWatch> keyWatch;
    QTimer quiet;
    QTimer longest;
};
