#include "rules/KvSettingsWatcher.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

// How long the file must stay unchanged before it is read: a writer that
// writes in place is done by then.
const int quietMs = 100;

} // namespace

KvSettingsWatcher::KvSettingsWatcher(QObject *parent)
    : QObject(parent)
    , path(QSettings().fileName())
{
#ifdef Q_OS_WIN
    // Settings in the registry, Windows' default, have no file to watch.
    if (QSettings().format() != QSettings::IniFormat)
        return;
#endif
    const QString directory = QFileInfo(path).absolutePath();
    QDir().mkpath(directory);
    watcher.addPath(directory);
    quiet.setSingleShot(true);
    quiet.setInterval(quietMs);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, &quiet,
            static_cast<void (QTimer::*)()>(&QTimer::start));
    connect(&quiet, &QTimer::timeout, this, &KvSettingsWatcher::takeIn);
    known = stampNow();
}

KvSettingsWatcher::Stamp KvSettingsWatcher::stampNow() const
{
    Stamp stamp;
    const QFileInfo file(path);
    if (file.exists()) {
        stamp.size = file.size();
        stamp.modified = file.lastModified().toMSecsSinceEpoch();
        // A replacement has a change time of its own.
        stamp.changed = file.metadataChangeTime().toMSecsSinceEpoch();
    }
    return stamp;
}

void KvSettingsWatcher::takeIn()
{
    const Stamp before = stampNow();
    if (before == known)
        return; // the lock file or a file of someone else's came and went
    // With nothing of ours pending, sync reads the file again whole.
    QSettings().sync();
    if (stampNow() != before) {
        quiet.start(); // written again while it was read
        return;
    }
    known = before;
    emit changed();
}
