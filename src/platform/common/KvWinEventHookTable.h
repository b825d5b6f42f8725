#pragma once

#include "platform/KvPlatformWinEvents.h"

#include <QMap>

// The hooks a backend without native window-event hooks keeps for itself,
// and the delivery of one event to every hook that covers it.
class KvWinEventHookTable
{
public:
    // A new hook for [eventMin, eventMax]; never null.
    HWINEVENTHOOK add(DWORD eventMin, DWORD eventMax, WINEVENTPROC callback);
    // False when hook is not in the table.
    bool remove(HWINEVENTHOOK hook);

    // Calls every hook whose range holds event, once each, in the order they
    // were installed. A callback may install or remove hooks: hooks removed
    // meanwhile are skipped, hooks added meanwhile wait for the next event.
    void deliver(DWORD event, HWND window, DWORD time) const;

    int size() const { return hooks.size(); }
    int countCovering(DWORD event) const;

private:
    struct Hook
    {
        DWORD eventMin = 0;
        DWORD eventMax = 0;
        WINEVENTPROC callback = nullptr;
    };

    QMap<quintptr, Hook> hooks; // ordered by installation
    quintptr nextHookId = 1;
};
