#include "platform/simulated/KvSimulatedWinEvents.h"

#include "platform/KvPlatformKernel.h"

#include <QList>

void KvSimulatedWinEvents::setWindowProcess(HWND window, DWORD processId)
{
    owners.insert(window, processId);
}

void KvSimulatedWinEvents::destroyWindow(HWND window)
{
    owners.remove(window);
}

void KvSimulatedWinEvents::setForegroundWindow(HWND window, bool notify)
{
    foreground = window;
    if (notify)
        fireWinEvent(EventSystemForeground, window);
}

void KvSimulatedWinEvents::fireWinEvent(DWORD event, HWND window)
{
    // A callback may install or remove hooks, so walk a copy of the ids and
    // skip the hooks that went away meanwhile.
    const QList<quintptr> ids = hooks.keys();
    for (quintptr id : ids) {
        auto found = hooks.constFind(id);
        if (found == hooks.constEnd() || event < found->eventMin || event > found->eventMax)
            continue;
        const WINEVENTPROC callback = found->callback;
        callback(reinterpret_cast<HWINEVENTHOOK>(id), event, window, 0, 0, 0, 0);
    }
}

void KvSimulatedWinEvents::failHooks(DWORD errorCode)
{
    hookError = errorCode;
}

int KvSimulatedWinEvents::hookCount() const
{
    return hooks.size();
}

int KvSimulatedWinEvents::hookCount(DWORD event) const
{
    int count = 0;
    for (const Hook &hook : hooks)
        count += event >= hook.eventMin && event <= hook.eventMax;
    return count;
}

HWINEVENTHOOK KvSimulatedWinEvents::setWinEventHook(DWORD eventMin, DWORD eventMax,
                                                    WINEVENTPROC callback, DWORD processId,
                                                    DWORD threadId, DWORD flags)
{
    if (hookError != 0) {
        KvPlatformKernel::current().setLastError(hookError);
        return nullptr;
    }
    if (!callback || eventMin > eventMax || processId != 0 || threadId != 0 ||
        flags != OutOfContext) {
        KvPlatformKernel::current().setLastError(ErrorInvalidParameter);
        return nullptr;
    }
    const quintptr id = nextHookId++;
    hooks.insert(id, Hook{eventMin, eventMax, callback});
    return reinterpret_cast<HWINEVENTHOOK>(id);
}

bool KvSimulatedWinEvents::unhookWinEvent(HWINEVENTHOOK hook)
{
    if (hooks.remove(reinterpret_cast<quintptr>(hook)) == 0) {
        KvPlatformKernel::current().setLastError(ErrorInvalidHookHandle);
        return false;
    }
    return true;
}

HWND KvSimulatedWinEvents::getForegroundWindow()
{
    return foreground;
}

DWORD KvSimulatedWinEvents::getWindowThreadProcessId(HWND window, DWORD *processId)
{
    auto found = owners.constFind(window);
    if (window == nullptr || found == owners.constEnd()) {
        KvPlatformKernel::current().setLastError(ErrorInvalidWindowHandle);
        return 0;
    }
    if (processId)
        *processId = *found;
    return *found;
}
