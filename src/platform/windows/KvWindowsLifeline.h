#pragma once

#include "platform/KvPlatformLifeline.h"
#include "platform/common/KvLifelineRestart.h"
#include "platform/windows/win32/KvWin32Lifeline.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>

class QWinEventNotifier;

// The lifeline as a process of its own, corvane-lifeline.exe beside the
// program, which it keeps the handles of the run's jobs (see
// KvWin32Lifeline.h). Should the lifeline end while the program runs
// (someone ended it), the program sees its process handle signalled, says so
// and starts another, which gets every job the run holds, at most once every
// few seconds.
class KvWindowsLifeline : public KvPlatformLifeline
{
public:
    static KvWindowsLifeline &instance();

    KvStatus start(const QString &journalPath) override;
    quint32 processId() const override;

    // A job of the run's, which the lifeline holds from now on (from its
    // start, if it is not running) until it is withdrawn.
    void entrust(HANDLE job);
    void withdraw(HANDLE job);

    // Where the lifeline's program is; empty when it is nowhere.
    static QString programPath();

private:
    KvWindowsLifeline() = default;
    KvStatus spawn();
    void onEnded();

    QString journal;
    std::unique_ptr<KvWin32Lifeline> lifeline;
    QPointer<QWinEventNotifier> watch;
    // Each job the run holds, with its handle in the lifeline (0: none yet).
    std::map<HANDLE, std::uint64_t> jobs;
    KvLifelineRestart restart;
};
