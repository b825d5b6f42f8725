#include "rules/KvSettingsWatcher.h"

#include "platform/KvPlatformFiles.h"
#include "rules/KvSettingsFile.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

// How long the file must stay unchanged before it is read: a writer that
// writes in place is done by then.
const int quietMs = 100;
// How long a stream of writes holds a change back at most, leaving the rest
// of the second for reading it and acting on it.
const int longestMs = 800;

} // namespace

KvSettingsWatcher::KvSettingsWatcher(QObject *parent)
    : QObject(parent)
    , path(KvSettingsFile::instance().path())
{
    quiet.setSingleShot(true);
    quiet.setInterval(quietMs);
    longest.setSingleShot(true);
    longest.setInterval(longestMs);
    const auto onChange = [this] {
        quiet.start();
        if (!longest.isActive())
            longest.start();
    };
    connect(&quiet, &QTimer::timeout, this, [this] { settle(true); });
    connect(&longest, &QTimer::timeout, this, [this] { settle(false); });

    // Settings in the registry, Windows' default, have no file: the system
    // watches their key.
    if (path.isEmpty()) {
        KvResult<std::unique_ptr<KvPlatformSettingsWatch>> watched =
            KvPlatformFiles::current().watchSettingsKey(QCoreApplication::organizationName(),
                                                        QCoreApplication::applicationName());
        keyWatch = watched.take();
        if (keyWatch)
            connect(keyWatch.get(), &KvPlatformSettingsWatch::changed, this, onChange);
        else if (!watched)
            kvCriticalWithCode(lcCorvane, watched.error().code)
                << "the settings are not watched (" << watched.error().message
                << "): changes made by other programs are seen after a change in the window";
        return;
    }
    const QString directory = QFileInfo(path).absolutePath();
    QDir().mkpath(directory);
    watcher.addPath(directory);
    arm();
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, onChange);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, onChange);
}

KvSettingsWatcher::~KvSettingsWatcher() = default;

void KvSettingsWatcher::arm()
{
    if (path.isEmpty())
        return;
    watcher.removePath(path);
    if (QFileInfo::exists(path))
        watcher.addPath(path);
}

void KvSettingsWatcher::settle(bool quietNow)
{
    quiet.stop();
    longest.stop();
    // Before the read: a write after it is seen.
    arm();
    if (!KvSettingsFile::instance().takeIn(quietNow)) {
        quiet.start();
        return;
    }
    emit changed();
}
