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
    hooks.deliver(event, window, 0);
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
    return hooks.countCovering(event);
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
    return hooks.add(eventMin, eventMax, callback);
}

bool KvSimulatedWinEvents::unhookWinEvent(HWINEVENTHOOK hook)
{
    if (!hooks.remove(hook)) {
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
