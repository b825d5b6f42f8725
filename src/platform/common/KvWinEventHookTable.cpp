#include "platform/common/KvWinEventHookTable.h"

#include <QList>

HWINEVENTHOOK KvWinEventHookTable::add(DWORD eventMin, DWORD eventMax, WINEVENTPROC callback)
{
    const quintptr id = nextHookId++;
    hooks.insert(id, Hook{eventMin, eventMax, callback});
    return reinterpret_cast<HWINEVENTHOOK>(id);
}

bool KvWinEventHookTable::remove(HWINEVENTHOOK hook)
{
    return hooks.remove(reinterpret_cast<quintptr>(hook)) != 0;
}

void KvWinEventHookTable::deliver(DWORD event, HWND window, DWORD time) const
{
    const QList<quintptr> ids = hooks.keys();
    for (quintptr id : ids) {
        auto found = hooks.constFind(id);
        if (found == hooks.constEnd() || event < found->eventMin || event > found->eventMax)
            continue;
        const WINEVENTPROC callback = found->callback;
        callback(reinterpret_cast<HWINEVENTHOOK>(id), event, window, 0, 0, 0, time);
    }
}

int KvWinEventHookTable::countCovering(DWORD event) const
{
    int count = 0;
    for (const Hook &hook : hooks)
        count += event >= hook.eventMin && event <= hook.eventMax;
    return count;
}
