#pragma once

#include "analytics/GoogleProvider.h"
#include "analytics/KvAnalyticsEvent.h"

#include <QElapsedTimer>
#include <QList>
#include <QSettings>

#include <memory>

class KvProviderInterface;

// The program's usage analytics: counts runs and run time, keeps the client
// id, and reports the start and the end of each run to its providers unless
// the key "enabled" in the group "analytics" of the user's settings is false.
// The counters ("firstRun", "lastRun", "runCount", "runTime") and the client
// id ("guid") are the program's own, kept in a file of its own beside the
// log, so that a run writes nothing into the file the user edits; the first
// run that has no such file takes them over from where earlier versions
// kept them (the group "analytics" of the user's settings, and "guid" in
// the organisation's), and leaves those as they are. One instance per
// process; the end of the run is reported when the singletons are torn down
// at exit.
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
    // The program's own file of counters and client id.
    static QString countersPath();

    // Once, at start-up: makes sure the client id exists, counts the run and
    // starts passing events to the provider.
    void initialize();

    // Read afresh at every call, so a change applies from the next event on.
    bool isEnabled();

    void event(const KvAnalyticsEvent &event);

    const QList<KvProviderInterface *> &providers() const { return providerList; }

private:
    Q_DISABLE_COPY(KvAnalytics)

    void takeOverEarlierValues();

    GoogleProvider googleProvider;
    QList<KvProviderInterface *> providerList;
    QElapsedTimer runTimer;
    // The counters' file; none when what is at its name is no file.
    std::unique_ptr<QSettings> counters;
};
