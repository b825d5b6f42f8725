#pragma once

#include "platform/KvPlatformWinEvents.h"

// Window events through user32: the operations are the calls themselves.
class KvWindowsWinEvents : public KvPlatformWinEvents
{
public:
    HWINEVENTHOOK setWinEventHook(DWORD eventMin, DWORD eventMax, WINEVENTPROC callback,
                                  DWORD processId, DWORD threadId, DWORD flags) override;
    bool unhookWinEvent(HWINEVENTHOOK hook) override;
    HWND getForegroundWindow() override;
    DWORD getWindowThreadProcessId(HWND window, DWORD *processId) override;
};
