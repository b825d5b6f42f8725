#pragma once

#include "platform/KvPlatformSession.h"

#include <QAbstractNativeEventFilter>
#include <QMutex>
#include <QStringList>

#include <windows.h>

// The session on Windows. Console control events arrive on a thread of the
// system's own; they wait in a list for the GUI thread, whose event loop is
// told of them, and where the handler runs. A WM_CLOSE posted to the GUI
// thread rather than to a window is a request too: QProcess::terminate() and
// others send it so to a program that has no window to close (one on the
// offscreen platform). Both are delivered by the event loop, or by start-up
// when it asks before the loop runs.
class KvWindowsSession : public KvPlatformSession, private QAbstractNativeEventFilter
{
public:
    ~KvWindowsSession() override;

    bool hasDisplay() const override;
    KvStatus setTerminationHandler(const TerminationHandler &handler) override;
    void deliverPendingRequests() override;

private:
    static BOOL WINAPI onControlEvent(DWORD controlType);
    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;
    void deliver(const QString &request);

    TerminationHandler m_handler;
    bool m_installed = false;
    // The console control events not yet delivered.
    QMutex m_pendingLock;
    QStringList m_pending;
};
