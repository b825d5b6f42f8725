#pragma once

#include "platform/KvPlatformWinEvents.h"
#include "platform/common/KvWinEventHookTable.h"

#include <QHash>
#include <QMap>

// Window events of the simulated machine: a foreground window, the process
// that owns each window, and events fired on demand. Callbacks run inside
// the call that fires the event, which stands for the event loop delivering
// it.
class KvSimulatedWinEvents : public KvPlatformWinEvents
{
public:
    // Error codes the simulation reports, with their Windows values.
    enum ErrorCode : DWORD {
        ErrorInvalidParameter = 87,      // ERROR_INVALID_PARAMETER
        ErrorInvalidWindowHandle = 1400, // ERROR_INVALID_WINDOW_HANDLE
        ErrorInvalidHookHandle = 1404,   // ERROR_INVALID_HOOK_HANDLE
    };

    // Makes processId the owner of window (a new window or a changed owner).
    void setWindowProcess(HWND window, DWORD processId);
    // The window no longer exists; its owner can no longer be asked.
    void destroyWindow(HWND window);

    // Makes window the foreground window and, unless notify is false, fires
    // EventSystemForeground with it.
    void setForegroundWindow(HWND window, bool notify = true);

    // Calls every installed hook whose range holds event, once each.
    void fireWinEvent(DWORD event, HWND window);

    // From now on setWinEventHook fails with errorCode; 0 lets it succeed
    // again.
    void failHooks(DWORD errorCode);

    // Installed hooks, in total and covering one event.
    int hookCount() const;
    int hookCount(DWORD event) const;

    HWINEVENTHOOK setWinEventHook(DWORD eventMin, DWORD eventMax, WINEVENTPROC callback,
                                  DWORD processId, DWORD threadId, DWORD flags) override;
    bool unhookWinEvent(HWINEVENTHOOK hook) override;
    HWND getForegroundWindow() override;
    DWORD getWindowThreadProcessId(HWND window, DWORD *processId) override;

private:
    KvWinEventHookTable hooks;
    DWORD hookError = 0;
    HWND foreground = nullptr;
    QHash<HWND, DWORD> owners;
};
