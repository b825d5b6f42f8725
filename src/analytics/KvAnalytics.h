#pragma once

#include "analytics/GoogleProvider.h"
#include "analytics/KvAnalyticsEvent.h"

#include <QElapsedTimer>
#include <QList>
#include <QSettings>

class KvProviderInterface;

// The program's usage analytics: counts runs and run time in the settings
// group "analytics", keeps the organisation-wide client id "guid", and reports
// the start and the end of each run to its providers unless the key
// "enabled" in that group is false. One instance per process; the end of the
// run is reported when the singletons are torn down at exit.
class KvAnalytics
{
public:
    KvAnalytics();
    ~KvAnalytics();

    static KvAnalytics *instance();

    // The analytics property the reports are filed under, fixed at build time.
    static QString trackingId();
    static KvAnalyticsEvent sessionBeginEvent();
    static KvAnalyticsEvent sessionEndEvent();

    // Once, at start-up: makes sure the client id exists, counts the run and
    // starts passing events to the provider.
    void initialize();

    // Read afresh at every call, so a change applies from the next event on.
    bool isEnabled();

    void event(const KvAnalyticsEvent &event);

    const QList<KvProviderInterface *> &providers() const { return providerList; }

private:
    Q_DISABLE_COPY(KvAnalytics)

    void ensureClientId(QSettings::Scope scope);

    GoogleProvider googleProvider;
    QList<KvProviderInterface *> providerList;
    QElapsedTimer runTimer;
    QSettings settings;
};
