#pragma once

#include "platform/KvPlatformLifeline.h"
#include "platform/common/KvLifelineRestart.h"

#include <QPointer>
#include <QString>

#include <sys/types.h>

class QSocketNotifier;

// The lifeline as a process of its own, corvane-lifeline, found beside the
// program's executable or in the program's library folder. The program keeps
// its end of the pair; the lifeline wakes when the kernel closes that end,
// at the program's end however it comes. Should the lifeline itself end
// while the program runs (someone killed it), the program hears of it on its
// end, says so and starts another, at most once every few seconds.
class KvLinuxLifeline : public KvPlatformLifeline
{
public:
    KvLinuxLifeline() = default;
    // The end is left open: the process's exit closes it, after everything
    // else has been let go of.
    ~KvLinuxLifeline() override = default;

    KvStatus start(const QString &journalPath) override;
    quint32 processId() const override;

    // Where the lifeline's program is; empty when it is nowhere.
    static QString programPath();

private:
    KvStatus spawn();
    void onEnded();

    QString journal;
    int programEnd = -1;
    pid_t pid = -1;
    QPointer<QSocketNotifier> watch;
    KvLifelineRestart restart;
};
