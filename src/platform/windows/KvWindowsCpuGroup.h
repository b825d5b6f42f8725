#pragma once

#include "platform/KvPlatformCpuGroups.h"
#include "platform/windows/win32/KvWin32Handle.h"

#include <cerrno>

// A CPU group as a job object. Closing the job leaves its members in it,
// under its last rate, until they end. The run's lifeline holds the job as
// long as the group lives, so that a killed run's cap can still be lifted.
class KvWindowsCpuGroup : public KvCpuGroup
{
public:
    explicit KvWindowsCpuGroup(KvWin32Handle job);
    ~KvWindowsCpuGroup() override;

    KvStatus setRate(quint32 rate) override;
    KvStatus add(quint32 processId) override;
    KvResult<bool> reaches(quint32 processId) override;
    // Jobs have no freezer: the governor stops the members one by one.
    KvStatus setFrozen(bool) override { return KvError::fromErrno(ENOTSUP); }
    // (timesHeldBack: a job keeps no count of the times its hard cap held
    // it back. Its accounting, JOBOBJECT_BASIC_ACCOUNTING_INFORMATION, gives
    // the processor time its processes used, which GetProcessTimes gives of
    // each already, and the CPU-rate notifications tell of a rate exceeded,
    // which a hard cap never is. So a capped process is judged by its share
    // alone there.)

private:
    KvWin32Handle m_job;
};
