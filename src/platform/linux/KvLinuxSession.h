#pragma once

#include "platform/KvPlatformSession.h"

#include <QSocketNotifier>

#include <signal.h>

// The session on Linux. Termination signals are caught with the self-pipe
// technique: the signal handler only writes the signal number into a pipe,
// and a socket notifier on the pipe's other end hands it to the GUI thread,
// where the real work happens. That keeps the handler async-signal-safe and
// works however many threads Qt or its plug-ins have started.
class KvLinuxSession : public KvPlatformSession
{
public:
    KvLinuxSession() = default;
    ~KvLinuxSession() override;

    bool hasDisplay() const override;
    KvStatus setTerminationHandler(const TerminationHandler &handler) override;
    void deliverPendingRequests() override;

private:
    bool startCatching();
    void stopCatching();

    TerminationHandler handler;
    int pipeEnds[2] = {-1, -1};
    // Owned; deleted later when the handler clears itself during delivery.
    QSocketNotifier *notifier = nullptr;
    bool delivering = false;
    struct Caught
    {
        int signalNumber;
        bool replaced;
        struct sigaction previous;
    };
    Caught caught[3] = {{SIGTERM, false, {}}, {SIGINT, false, {}}, {SIGHUP, false, {}}};
};
