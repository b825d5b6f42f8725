#pragma once

#include "platform/linux/KvUniqueFd.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QSocketNotifier;

// Tells when what the other running copies of the program hold may have
// changed: one of them wrote or removed its hold record (inotify on the
// records' directory: its own writes are in place, which a watch of the
// directory alone does not report), or ended (a pidfd for each: a killed
// copy changes no file). A burst of changes is told once, within a tenth of
// a second; the run's own record is not watched.
class KvOtherRunsWatch : public QObject
{
    Q_OBJECT

public:
    KvOtherRunsWatch(const QString &directory, const QString &ownName,
                     std::function<void()> onChange, QObject *parent = nullptr);
    ~KvOtherRunsWatch() override;

private:
    void readEvents();
    // A pidfd for every other run that has a record now, and none for the
    // runs that have gone.
    void followRuns();

    const QString directory;
    const QString ownName;
    const std::function<void()> onChange;
    KvUniqueFd inotify;
    struct Run
    {
        KvUniqueFd pidfd;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    QHash<QString, std::shared_ptr<Run>> runs;
    QTimer settle;
};
