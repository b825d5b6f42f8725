#include "platform/simulated/KvSimulatedProcessEvents.h"

#include "platform/KvPlatformKernel.h"

std::unique_ptr<KvProcessEventSource> KvSimulatedProcessEvents::subscribe()
{
    if (m_subscribeFailure) {
        KvPlatformKernel::current().setLastError(m_subscribeFailure);
        return std::make_unique<KvProcessEventSource>(
            false,
            QStringLiteral("no simulated process events (error %1)").arg(m_subscribeFailure));
    }
    auto source =
        std::make_unique<KvProcessEventSource>(true, QStringLiteral("simulated process events"));
    m_sources.append(source.get());
    return source;
}

QList<QPointer<KvProcessEventSource>> KvSimulatedProcessEvents::liveSources() const
{
    QList<QPointer<KvProcessEventSource>> live;
    for (const QPointer<KvProcessEventSource> &source : m_sources) {
        if (source)
            live.append(source);
    }
    return live;
}

void KvSimulatedProcessEvents::fireCreated(const KvPropertyList &properties)
{
    for (const QPointer<KvProcessEventSource> &source : liveSources()) {
        if (source)
            emit source->instanceCreated(properties);
    }
}

void KvSimulatedProcessEvents::fireDeleted(const KvPropertyList &properties)
{
    for (const QPointer<KvProcessEventSource> &source : liveSources()) {
        if (source)
            emit source->instanceDeleted(properties);
    }
}

void KvSimulatedProcessEvents::fireEventsLost()
{
    for (const QPointer<KvProcessEventSource> &source : liveSources()) {
        if (source)
            emit source->eventsLost();
    }
}

int KvSimulatedProcessEvents::liveSubscriptions() const
{
    return liveSources().size();
}
