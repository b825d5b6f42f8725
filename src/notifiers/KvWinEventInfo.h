#pragma once

#include "platform/KvPlatformWinEvents.h"

#include <QMetaType>

// One window event as the hook reported it.
struct KvWinEventInfo
{
    // The window-event constant (3: the foreground window changed).
    DWORD event = 0;
    // The window the event concerns; for the foreground event the new
    // foreground window.
    HWND hwnd = nullptr;
};

Q_DECLARE_METATYPE(KvWinEventInfo)
