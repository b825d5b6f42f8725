#include "platform/windows/KvWindowsSession.h"

#include "platform/windows/KvWindowsError.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace {

KvWindowsSession *receiver = nullptr;

QString nameOf(DWORD controlType)
{
    switch (controlType) {
    case CTRL_C_EVENT:
        return QStringLiteral("CTRL_C_EVENT");
    case CTRL_BREAK_EVENT:
        return QStringLiteral("CTRL_BREAK_EVENT");
    case CTRL_CLOSE_EVENT:
        return QStringLiteral("CTRL_CLOSE_EVENT");
    case CTRL_LOGOFF_EVENT:
        return QStringLiteral("CTRL_LOGOFF_EVENT");
    case CTRL_SHUTDOWN_EVENT:
        return QStringLiteral("CTRL_SHUTDOWN_EVENT");
    default:
        return QString();
    }
}

// After a close, log-off or shut-down event the system ends the process as
// soon as the handler returns; holding the handler gives the GUI thread the
// time to lift every restriction and leave main first.
const DWORD OrderlyExitGrace = 10000;

} // namespace

KvPlatformSession *KvPlatformSession::native()
{
    static KvWindowsSession session;
    return &session;
}

KvWindowsSession::~KvWindowsSession()
{
    setTerminationHandler(TerminationHandler());
}

bool KvWindowsSession::hasDisplay() const
{
    return true;
}

KvStatus KvWindowsSession::setTerminationHandler(const TerminationHandler &handler)
{
    m_handler = handler;
    if (QCoreApplication *application = QCoreApplication::instance()) {
        if (handler)
            application->installNativeEventFilter(this);
        else
            application->removeNativeEventFilter(this);
    }
    if (handler && !m_installed) {
        receiver = this;
        m_installed = SetConsoleCtrlHandler(onControlEvent, TRUE) != FALSE;
        if (!m_installed)
            return KvWindowsError::last();
    }
    if (!handler && m_installed) {
        SetConsoleCtrlHandler(onControlEvent, FALSE);
        m_installed = false;
        receiver = nullptr;
    }
    return {};
}

BOOL WINAPI KvWindowsSession::onControlEvent(DWORD controlType)
{
    const QString request = nameOf(controlType);
    QCoreApplication *application = QCoreApplication::instance();
    if (request.isEmpty() || !receiver || !application)
        return FALSE;
    KvWindowsSession *session = receiver;
    {
        QMutexLocker lock(&session->m_pendingLock);
        session->m_pending.append(request);
    }
    QMetaObject::invokeMethod(
        application, [session] { session->deliverPendingRequests(); }, Qt::QueuedConnection);
    if (controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT ||
        controlType == CTRL_SHUTDOWN_EVENT)
        Sleep(OrderlyExitGrace);
    return TRUE;
}

bool KvWindowsSession::nativeEventFilter(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(result)
    const MSG *posted = static_cast<const MSG *>(message);
    if (eventType != "windows_generic_MSG" || posted->hwnd || posted->message != WM_CLOSE)
        return false;
    deliver(QStringLiteral("WM_CLOSE"));
    return true;
}

void KvWindowsSession::deliverPendingRequests()
{
    if (!m_handler)
        return;
    QStringList requests;
    {
        QMutexLocker lock(&m_pendingLock);
        requests.swap(m_pending);
    }
    // Only the thread's own messages (window -1): a window's WM_CLOSE is the
    // window's to handle.
    MSG posted;
    while (PeekMessageW(&posted, reinterpret_cast<HWND>(static_cast<intptr_t>(-1)), WM_CLOSE,
                        WM_CLOSE, PM_REMOVE))
        requests.append(QStringLiteral("WM_CLOSE"));
    for (const QString &request : qAsConst(requests))
        deliver(request);
}

void KvWindowsSession::deliver(const QString &request)
{
    if (m_handler)
        m_handler(request);
}
