#include "platform/windows/KvWindowsWinEvents.h"

KvPlatformWinEvents *KvPlatformWinEvents::native()
{
    static KvWindowsWinEvents backend;
    return &backend;
}

HWINEVENTHOOK KvWindowsWinEvents::setWinEventHook(DWORD eventMin, DWORD eventMax,
                                                  WINEVENTPROC callback, DWORD processId,
                                                  DWORD threadId, DWORD flags)
{
    return SetWinEventHook(eventMin, eventMax, nullptr, callback, processId, threadId, flags);
}

bool KvWindowsWinEvents::unhookWinEvent(HWINEVENTHOOK hook)
{
    return UnhookWinEvent(hook) != FALSE;
}

HWND KvWindowsWinEvents::getForegroundWindow()
{
    return GetForegroundWindow();
}

DWORD KvWindowsWinEvents::getWindowThreadProcessId(HWND window, DWORD *processId)
{
    return GetWindowThreadProcessId(window, processId);
}
