#include "platform/windows/KvWindowsCpuGroups.h"

#include "platform/windows/KvJobCpuRate.h"
#include "platform/windows/KvWindowsCpuGroup.h"
#include "platform/windows/KvWindowsError.h"
#include "platform/windows/win32/KvWin32Job.h"
#include "platform/windows/win32/KvWin32Lifeline.h"

#include <QStringList>

#include <algorithm>
#include <iterator>

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
    // A job outlives the run that made it as long as its processes run, but
    // no later process can reach it unless it was handed a handle of it: the
    // jobs a killed run's lifeline held come to the lifting it starts, and
    // only there. They cannot be removed, nor can their processes leave
    // them: their rate is lifted, and they go with their processes.
    const QString variable = QString::fromWCharArray(KvWin32Lifeline::leftoverJobsVariable);
    const QString handed = qEnvironmentVariable(qPrintable(variable));
    if (handed.isEmpty()) {
        return KvError{int(ERROR_NOT_SUPPORTED),
                       QStringLiteral("a job of an earlier run cannot be reached; it ends with its "
                                      "processes")};
    }
    // The handles are this call's; nothing started from here inherits them.
    qunsetenv(qPrintable(variable));
    const std::optional<KvJobCpuRate> lift = KvJobCpuRate::hardCapAt(KvJobCpuRate::wholeMachine);
    QList<KvLeftoverGroup> found;
    for (const QString &value : handed.split(QLatin1Char(','))) {
        KvWin32Handle job(reinterpret_cast<HANDLE>(std::uintptr_t(value.toULongLong())));
        std::vector<DWORD> members;
        KvLeftoverGroup group;
        // A value that names no job here is no handle of this process's to close.
        if (!job || !KvWin32Job::processIds(job.get(), members)) {
            group.name = QStringLiteral("handed over as %1").arg(value);
            group.error =
                job ? KvWindowsError::last() : KvWindowsError::fromCode(ERROR_INVALID_HANDLE);
            job.release();
            found.append(group);
            continue;
        }
        QStringList ids;
        for (const DWORD member : members)
            ids.append(QStringLiteral("#%1").arg(member));
        group.name = ids.isEmpty()
                         ? QStringLiteral("without processes")
                         : QStringLiteral("of process(es) %1").arg(ids.join(QLatin1String(", ")));
        group.removed = KvWin32Job::setCpuRateControl(job.get(), lift->controlFlags, lift->cpuRate);
        if (group.removed)
            std::copy(members.begin(), members.end(), std::back_inserter(group.released));
        else
            group.error = KvWindowsError::last();
        found.append(group);
    }
    return found;
}
