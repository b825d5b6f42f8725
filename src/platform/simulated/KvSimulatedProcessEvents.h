#pragma once

#include "platform/KvPlatformProcessEvents.h"
#include "platform/KvPlatformTypes.h"

#include <QPointer>

// Process events fired on demand by a test, delivered to every live
// subscription.
class KvSimulatedProcessEvents : public KvPlatformProcessEvents
{
public:
    std::unique_ptr<KvProcessEventSource> subscribe() override;

    // Makes the next subscriptions fail with errorCode (0: succeed again).
    void setSubscribeFailure(DWORD errorCode) { m_subscribeFailure = errorCode; }

    void fireCreated(const KvPropertyList &properties);
    void fireDeleted(const KvPropertyList &properties);
    void fireEventsLost();

    // Subscriptions not yet destroyed.
    int liveSubscriptions() const;

private:
    QList<QPointer<KvProcessEventSource>> liveSources() const;

    QList<QPointer<KvProcessEventSource>> m_sources;
    DWORD m_subscribeFailure = 0;
};
