#include "platform/windows/KvWindowsCpuGroup.h"

#include "platform/windows/KvJobCpuRate.h"
#include "platform/windows/KvWindowsError.h"
#include "platform/windows/KvWindowsLifeline.h"
#include "platform/windows/win32/KvWin32Job.h"
#include "platform/windows/win32/KvWin32Process.h"

static_assert(KvJobCpuRate::wholeMachine == KvCpuGroup::unlimited, "a lift is the whole machine");

KvWindowsCpuGroup::KvWindowsCpuGroup(KvWin32Handle job)
    : m_job(std::move(job))
{
    KvWindowsLifeline::instance().entrust(m_job.get());
}

KvWindowsCpuGroup::~KvWindowsCpuGroup()
{
    KvWindowsLifeline::instance().withdraw(m_job.get());
}

KvStatus KvWindowsCpuGroup::setRate(quint32 rate)
{
    const std::optional<KvJobCpuRate> cap = KvJobCpuRate::hardCapAt(rate);
    if (!cap)
        return KvWindowsError::fromCode(ERROR_INVALID_PARAMETER);
    if (!KvWin32Job::setCpuRateControl(m_job.get(), cap->controlFlags, cap->cpuRate))
        return KvWindowsError::last();
    return {};
}

KvStatus KvWindowsCpuGroup::add(quint32 processId)
{
    const KvWin32Handle process = KvWin32Process::open(
        PROCESS_SET_QUOTA | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, processId);
    // A process a member started joined a job without breakaway by itself.
    bool inJob = false;
    if (process && KvWin32Job::isProcessInJob(process.get(), m_job.get(), inJob) && inJob)
        return {};
    if (!process || !KvWin32Job::assignProcess(m_job.get(), process.get()))
        return KvWindowsError::last();
    return {};
}

KvResult<bool> KvWindowsCpuGroup::reaches(quint32 processId)
{
    const KvWin32Handle process =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, processId);
    bool inJob = false;
    if (!process || !KvWin32Job::isProcessInJob(process.get(), m_job.get(), inJob))
        return KvWindowsError::last();
    return inJob;
}
