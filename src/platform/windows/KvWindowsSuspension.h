#pragma once

#include "platform/KvPlatformSuspension.h"

#include <functional>

#include <windows.h>

// Suspension as SuspendThread and ResumeThread on every thread of the
// process. Windows counts the suspensions per thread, of every holder alike.
class KvWindowsSuspension : public KvPlatformSuspension
{
public:
    KvStatus suspend(quint32 processId) override;
    KvStatus resume(quint32 processId) override;
    KvResult<LeftoverResume> resumeLeftover(quint32 processId, quint64 startTime,
                                            int count) override;

private:
    // Acts on every thread of the process that opens; fails when none does.
    // A thread that does not open is logged when purpose ("suspend",
    // "resume") is given.
    static KvStatus eachThread(quint32 processId, const char *purpose,
                               const std::function<void(HANDLE)> &act);
};
