#include "platform/linux/KvLinuxSession.h"

#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe end the signal handler writes to; -1 while nothing is caught.
volatile sig_atomic_t signalPipe = -1;

extern "C" void onTerminationSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int fd = signalPipe;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds enough requests to end the program.
        ssize_t written = write(fd, &byte, 1);
        (void)written;
    }
    errno = savedErrno;
}

QString signalName(int signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

} // namespace

KvPlatformSession *KvPlatformSession::native()
{
    static KvLinuxSession session;
    return &session;
}

KvLinuxSession::~KvLinuxSession()
{
    stopCatching();
}

bool KvLinuxSession::hasDisplay() const
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

KvStatus KvLinuxSession::setTerminationHandler(const TerminationHandler &newHandler)
{
    if (!newHandler) {
        stopCatching();
        handler = nullptr;
        return {};
    }
    if (!notifier && !startCatching())
        return KvError::fromErrno(errno);
    handler = newHandler;
    return {};
}

bool KvLinuxSession::startCatching()
{
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipeEnds[0] = pipeEnds[1] = -1;
        return false;
    }
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [this] { deliverPendingRequests(); });
    signalPipe = pipeEnds[1];

    for (Caught &entry : caught) {
        struct sigaction current = {};
        if (sigaction(entry.signalNumber, nullptr, &current) != 0) {
            const int error = errno;
            stopCatching();
            errno = error;
            return false;
        }
        // A signal the program was told to ignore (nohup, a background job's
        // SIGINT) stays ignored: whoever started us meant it.
        if (current.sa_handler == SIG_IGN)
            continue;
        struct sigaction action = {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (sigaction(entry.signalNumber, &action, &entry.previous) != 0) {
            const int error = errno;
            stopCatching();
            errno = error;
            return false;
        }
        entry.replaced = true;
    }
    return true;
}

void KvLinuxSession::stopCatching()
{
    for (Caught &entry : caught) {
        if (entry.replaced)
            sigaction(entry.signalNumber, &entry.previous, nullptr);
        entry.replaced = false;
    }
    signalPipe = -1;
    if (notifier) {
        notifier->setEnabled(false);
        if (delivering)
            notifier->deleteLater();
        else
            delete notifier;
        notifier = nullptr;
    }
    for (int &end : pipeEnds) {
        if (end >= 0)
            close(end);
        end = -1;
    }
}

void KvLinuxSession::deliverPendingRequests()
{
    if (pipeEnds[0] < 0)
        return;
    delivering = true;
    struct Reset
    {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{delivering};

    unsigned char bytes[16];
    for (;;) {
        const ssize_t count = read(pipeEnds[0], bytes, sizeof bytes);
        if (count <= 0)
            return;
        for (ssize_t i = 0; i < count; ++i) {
            // The handler may replace or clear itself while it runs.
            const TerminationHandler current = handler;
            if (current)
                current(signalName(bytes[i]));
            if (pipeEnds[0] < 0)
                return;
        }
    }
}
