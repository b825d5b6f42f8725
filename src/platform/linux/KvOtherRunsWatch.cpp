#include "platform/linux/KvOtherRunsWatch.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"

#include <QFile>
#include <QSocketNotifier>
#include <QStringList>

#include <climits>
#include <sys/inotify.h>
#include <unistd.h>

KvOtherRunsWatch::KvOtherRunsWatch(const QString &directory, const QString &ownName,
                                   std::function<void()> onChange, QObject *parent)
    : QObject(parent)
    , directory(directory)
    , ownName(ownName)
    , onChange(std::move(onChange))
    , inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    settle.setSingleShot(true);
    settle.setInterval(100);
    connect(&settle, &QTimer::timeout, this, [this] {
        followRuns();
        this->onChange();
    });
    if (!inotify.isValid() ||
        ::inotify_add_watch(inotify.get(), QFile::encodeName(directory).constData(),
                            IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM |
                                IN_ONLYDIR) < 0) {
        inotify.reset();
        return;
    }
    auto *inotifyNotifier = new QSocketNotifier(inotify.get(), QSocketNotifier::Read, this);
    connect(inotifyNotifier, &QSocketNotifier::activated, this, &KvOtherRunsWatch::readEvents);
    followRuns();
}

KvOtherRunsWatch::~KvOtherRunsWatch() = default;

void KvOtherRunsWatch::readEvents()
{
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool others = false;
    ssize_t length;
    while ((length = ::read(inotify.get(), buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            const QString name = event->len > 0 ? QFile::decodeName(event->name) : QString();
            others = others || (name.startsWith(QLatin1String("run-")) && name != ownName);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    if (others && !settle.isActive())
        settle.start();
}

void KvOtherRunsWatch::followRuns()
{
    QHash<QString, std::shared_ptr<Run>> followed;
    for (const QString &name : KvLinuxProcFs::entryNames(directory, "run-", false)) {
        if (name == ownName)
            continue;
        if (const std::shared_ptr<Run> known = runs.value(name)) {
            followed.insert(name, known);
            continue;
        }
        // Ids of another PID namespace cannot be followed from here.
        const quint32 processId = KvLinuxProcessIdentity::localProcessId(name.mid(4));
        if (processId == 0 || !KvLinuxProcessIdentity::isRunning(name))
            continue;
        auto run = std::make_shared<Run>();
        run->pidfd.reset(KvLinuxProcessIdentity::openPidfd(processId));
        // Opened after the look: the run must still be the one named.
        if (!run->pidfd.isValid() || !KvLinuxProcessIdentity::isRunning(name))
            continue;
        run->notifier = std::make_unique<QSocketNotifier>(run->pidfd.get(), QSocketNotifier::Read);
        QSocketNotifier *ended = run->notifier.get();
        // A pidfd is readable once its process has ended; the next look
        // drops the run.
        connect(ended, &QSocketNotifier::activated, this, [this, ended] {
            ended->setEnabled(false);
            if (!settle.isActive())
                settle.start();
        });
        followed.insert(name, run);
    }
    runs.swap(followed);
}
