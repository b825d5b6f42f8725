#pragma once

#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QList>

// Suspending processes outright.
//
// Suspensions are counted per process: each suspend is undone by one resume,
// and the process runs again once every one is. Windows suspends and resumes
// every thread (SuspendThread, ResumeThread); Linux stops and continues the
// process with signals through a pidfd, and continues it only when no other
// running copy of the program holds it stopped. A backend logs a thread or
// process it could not reach itself, with the system's code.
class KvPlatformSuspension : public KvInstallable<KvPlatformSuspension>
{
public:
    // What became of a suspension that a killed run left.
    enum class LeftoverResume {
        Resumed,
        // The process has ended (its id may name another one by now).
        Ended,
        // Undone, but the process stays suspended: a running copy of the
        // program suspends it too.
        StillSuspended,
    };

    virtual ~KvPlatformSuspension() = default;

    static KvPlatformSuspension *native();

    // Fails when the process could not be suspended at all.
    virtual KvStatus suspend(quint32 processId) = 0;
    virtual KvStatus resume(quint32 processId) = 0;
    // The same for many processes in one step, one result each, in order.
    virtual QList<KvStatus> suspendAll(const QList<quint32> &processIds);
    virtual void resumeAll(const QList<quint32> &processIds);
    // Undoes suspensions that a killed run made of the process that started
    // at startTime, `count` of them; the counts of that run are gone with it.
    virtual KvResult<LeftoverResume> resumeLeftover(quint32 processId, quint64 startTime,
                                                    int count) = 0;
    // The process has ended, as the process events reported it: what is kept
    // of it can go. A later process with the id is left alone.
    virtual void processEnded(quint32 processId) { Q_UNUSED(processId) }

protected:
    KvPlatformSuspension() = default;
};
