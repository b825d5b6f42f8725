#pragma once

#include "platform/KvPlatformForeground.h"

#include <windows.h>

// The foreground through a WinEvent hook on EVENT_SYSTEM_FOREGROUND. Out of
// context, the hook's calls arrive through the GUI thread's message loop.
class KvWindowsForeground : public KvPlatformForeground
{
public:
    ~KvWindowsForeground() override;

    quint32 process() override;
    KvStatus watch() override;

private:
    static void CALLBACK onForeground(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object,
                                      LONG child, DWORD thread, DWORD time);
    static quint32 ownerOf(HWND window);

    HWINEVENTHOOK m_hook = nullptr;
};
