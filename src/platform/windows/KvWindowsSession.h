#pragma once

#include "platform/KvPlatformSession.h"

#include <windows.h>

// The session on Windows. Console control events arrive on a thread of the
// system's own; they are posted to the GUI thread's event loop, where the
// handler runs.
class KvWindowsSession : public KvPlatformSession
{
public:
    ~KvWindowsSession() override;

    bool hasDisplay() const override;
    KvStatus setTerminationHandler(const TerminationHandler &handler) override;

private:
    static BOOL WINAPI onControlEvent(DWORD controlType);
    void deliver(const QString &request);

    TerminationHandler m_handler;
    bool m_installed = false;
};
