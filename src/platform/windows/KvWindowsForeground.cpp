#include "platform/windows/KvWindowsForeground.h"

#include "platform/windows/KvWindowsError.h"

namespace {

// The hook's callback has no context of its own.
KvWindowsForeground *watcher = nullptr;

} // namespace

KvPlatformForeground *KvPlatformForeground::native()
{
    static KvWindowsForeground backend;
    return &backend;
}

KvWindowsForeground::~KvWindowsForeground()
{
    if (m_hook)
        UnhookWinEvent(m_hook);
    watcher = nullptr;
}

quint32 KvWindowsForeground::process()
{
    return ownerOf(GetForegroundWindow());
}

KvStatus KvWindowsForeground::watch()
{
    if (m_hook)
        return {};
    m_hook = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr,
                             &KvWindowsForeground::onForeground, 0, 0, WINEVENT_OUTOFCONTEXT);
    if (!m_hook)
        return KvWindowsError::last();
    watcher = this;
    return {};
}

void CALLBACK KvWindowsForeground::onForeground(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG,
                                                DWORD, DWORD)
{
    if (watcher)
        emit watcher->changed(ownerOf(window));
}

quint32 KvWindowsForeground::ownerOf(HWND window)
{
    DWORD processId = 0;
    if (!window || !GetWindowThreadProcessId(window, &processId))
        return KvProcessEntry::noProcessId;
    return processId;
}
