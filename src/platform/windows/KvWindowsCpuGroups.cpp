#include "platform/windows/KvWindowsCpuGroups.h"

#include "platform/windows/KvWindowsCpuGroup.h"
#include "platform/windows/KvWindowsError.h"
#include "platform/windows/win32/KvWin32Job.h"

KvPlatformCpuGroups *KvPlatformCpuGroups::native()
{
    static KvWindowsCpuGroups backend;
    return &backend;
}

KvResult<std::unique_ptr<KvCpuGroup>> KvWindowsCpuGroups::create(bool shared)
{
    KvWin32Handle job = KvWin32Job::create();
    if (!job)
        return KvWindowsError::last();
    // Processes that a member starts stay out of the job, unless it is
    // shared: then they join it by themselves.
    if (!shared &&
        !KvWin32Job::setExtendedLimitFlags(job.get(), JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK))
        return KvWindowsError::last();
    return std::unique_ptr<KvCpuGroup>(new KvWindowsCpuGroup(std::move(job)));
}

KvStatus KvWindowsCpuGroups::available()
{
    return {};
}

KvResult<QList<KvLeftoverGroup>> KvWindowsCpuGroups::removeLeftovers()
{
    // Jobs are unnamed and go with their last handle and last member.
    return KvError{int(ERROR_NOT_SUPPORTED),
                   QStringLiteral("a job of an earlier run cannot be reached; it ends with its "
                                  "processes")};
}
