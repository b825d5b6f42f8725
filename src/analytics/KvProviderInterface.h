#pragma once

#include <QObject>

struct KvAnalyticsEvent;
struct KvAnalyticsTiming;

// What the analytics front needs from a destination of usage reports.
// Implementations are QObjects that list this interface with Q_INTERFACES, so
// that qobject_cast<KvProviderInterface *> finds it.
class KvProviderInterface
{
public:
    virtual void event(const KvAnalyticsEvent &event) = 0;
    virtual void timing(const KvAnalyticsTiming &timing) = 0;
    virtual void setTrackingId(const QString &id) = 0;
    virtual ~KvProviderInterface() = default;
};

Q_DECLARE_INTERFACE(KvProviderInterface, "KvProviderInterface")
