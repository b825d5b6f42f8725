#include "platform/windows/KvWindowsProcesses.h"

#include "platform/windows/KvToolhelpPollingSource.h"
#include "platform/windows/KvWindowsError.h"
#include "platform/windows/KvWindowsProcessEntries.h"
#include "platform/windows/KvWmiProcessEventSource.h"
#include "platform/windows/win32/KvWin32Process.h"
#include "platform/windows/win32/KvWin32Toolhelp.h"

KvPlatformProcesses *KvPlatformProcesses::native()
{
    static KvWindowsProcesses backend;
    return &backend;
}

KvResult<QList<KvProcessEntry>> KvWindowsProcesses::list()
{
    std::vector<KvWin32Toolhelp::ProcessEntry> found;
    if (!KvWin32Toolhelp::processes(found))
        return KvWindowsError::last();
    QList<KvProcessEntry> entries;
    for (const KvWin32Toolhelp::ProcessEntry &process : found) {
        KvProcessEntry entry = KvWindowsProcessEntries::listed(
            process.processId, process.parentProcessId, QString::fromStdWString(process.exeFile));
        complete(entry);
        entries.append(entry);
    }
    return entries;
}

KvResult<QSet<quint32>> KvWindowsProcesses::ids()
{
    std::vector<KvWin32Toolhelp::ProcessEntry> found;
    if (!KvWin32Toolhelp::processes(found))
        return KvWindowsError::last();
    QSet<quint32> ids;
    for (const KvWin32Toolhelp::ProcessEntry &process : found)
        ids.insert(process.processId);
    return ids;
}

KvResult<quint64> KvWindowsProcesses::startTime(quint32 processId)
{
    const KvWin32Handle process =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, processId);
    unsigned long long time = 0;
    if (!process || !KvWin32Process::creationTime(process.get(), time))
        return KvWindowsError::last();
    // A handle that someone keeps (its parent, a lifeline) keeps an ended
    // process openable: it runs no more all the same.
    if (KvWin32Process::hasExited(process.get()))
        return KvWindowsError::fromCode(ERROR_INVALID_PARAMETER);
    return quint64(time);
}

KvResult<KvProcessTimes> KvWindowsProcesses::times(quint32 processId)
{
    const KvWin32Handle process =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, processId);
    unsigned long long created = 0;
    unsigned long long used = 0;
    if (!process || !KvWin32Process::times(process.get(), created, used))
        return KvWindowsError::last();
    return KvProcessTimes{quint64(created), quint64(used / 10)};
}

KvResult<QString> KvWindowsProcesses::imagePath(quint32 processId)
{
    const KvWin32Handle process =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, processId);
    std::wstring path;
    if (!process || !KvWin32Process::imagePath(process.get(), path))
        return KvWindowsError::last();
    return QString::fromStdWString(path);
}

quint32 KvWindowsProcesses::ownId()
{
    return GetCurrentProcessId();
}

std::unique_ptr<KvProcessEventSource> KvWindowsProcesses::watch()
{
    std::unique_ptr<KvWmiProcessEventSource> wmi = KvWmiProcessEventSource::open();
    if (wmi->isListening())
        return wmi;
    return std::make_unique<KvToolhelpPollingSource>(wmi->description());
}

void KvWindowsProcesses::complete(KvProcessEntry &entry)
{
    const KvWin32Handle process =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, entry.processId);
    if (!process)
        return;
    std::wstring path;
    if (KvWindowsProcessEntries::needsImagePath(entry) &&
        KvWin32Process::imagePath(process.get(), path))
        entry.path = QString::fromStdWString(path);
}
