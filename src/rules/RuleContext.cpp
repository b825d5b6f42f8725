#include "rules/RuleContext.h"

#include "notifiers/KvNetworkNotifier.h"
#include "platform/KvPlatformKernel.h"
#include "platform/KvPlatformWinEvents.h"
#include "process/KvProcessGovernor.h"

RuleContext::RuleContext(const KvProcessGovernor *governor)
    : governor(governor)
    , m_ownProcessId(KvPlatformKernel::current().currentProcessId())
    , m_connectivity(KvNetworkNotifier::currentConnectivity())
{
    followForegroundWindow(KvPlatformWinEvents::current().getForegroundWindow());
}

void RuleContext::followForegroundWindow(HWND window)
{
    KvProcessInfo owner;
    DWORD processId = KvProcessInfo::noProcessId;
    KvPlatformWinEvents::current().getWindowThreadProcessId(window, &processId);
    owner.processId = processId;
    owner.parentProcessId = KvProcessInfo::noProcessId;
    // The owner is nearly always in the governor's table with its path
    // already found: taking the file from there spares opening the process,
    // and the file's canonical path, once worked out for the background
    // test, stays with the record for the next comparisons.
    const QSharedPointer<KvProcessInfo> known = governor->processes().value(processId);
    if (known && known->hasResolvedPath())
        owner.fileInfo = known->fileInfo;
    else
        owner.resolveFilePath();
    m_foreground = owner;
}
