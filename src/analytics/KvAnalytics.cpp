#include "analytics/KvAnalytics.h"

#include "support/KvLazySingleton.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QUuid>

#ifndef CORVANE_TRACKING_ID
#error "CORVANE_TRACKING_ID must name the analytics property"
#endif

namespace {

const QString groupName = QStringLiteral("analytics");
const QString enabledKey = QStringLiteral("enabled");
const QString firstRunKey = QStringLiteral("firstRun");
const QString lastRunKey = QStringLiteral("lastRun");
const QString runCountKey = QStringLiteral("runCount");
const QString runTimeKey = QStringLiteral("runTime");
const QString guidKey = QStringLiteral("guid");

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

// Counters that are missing or not a number count as 0.
qulonglong readCounter(const QSettings &settings, const QString &key)
{
    bool ok = false;
    const qulonglong value = settings.value(key).toULongLong(&ok);
    return ok ? value : 0;
}

KvAnalyticsEvent sessionEvent(KvAnalyticsEvent::Action action)
{
    KvAnalyticsEvent event;
    event.action = action;
    event.category = KvAnalyticsEvent::Category::Session;
    return event;
}

} // namespace

KvAnalytics::KvAnalytics()
{
    settings.beginGroup(groupName);
    runTimer.start();
}

KvAnalytics::~KvAnalytics()
{
    if (isEnabled())
        event(sessionEndEvent());

    const qulonglong runTime =
        readCounter(settings, runTimeKey) + static_cast<qulonglong>(runTimer.elapsed() / 1000);
    settings.setValue(runTimeKey, runTime);
}

KvAnalytics *KvAnalytics::instance()
{
    return KvLazySingleton<KvAnalytics>::instance();
}

QString KvAnalytics::trackingId()
{
    return QStringLiteral(CORVANE_TRACKING_ID);
}

KvAnalyticsEvent KvAnalytics::sessionBeginEvent()
{
    return sessionEvent(KvAnalyticsEvent::Action::Begin);
}

KvAnalyticsEvent KvAnalytics::sessionEndEvent()
{
    return sessionEvent(KvAnalyticsEvent::Action::End);
}

void KvAnalytics::initialize()
{
    // The system-wide copy cannot be written without administrator rights;
    // that is expected and the user-scope copy does not depend on it.
    ensureClientId(QSettings::SystemScope);
    ensureClientId(QSettings::UserScope);
    // The provider read the client id before it could have been created; on
    // the first run it would otherwise report an id that is never seen again.
    googleProvider.refreshClientId();

    const QString now = nowText();
    if (!settings.contains(firstRunKey))
        settings.setValue(firstRunKey, now);
    settings.setValue(lastRunKey, now);
    settings.setValue(runCountKey, readCounter(settings, runCountKey) + 1);
    settings.sync();

    if (!providerList.contains(&googleProvider))
        providerList.append(&googleProvider);
}

bool KvAnalytics::isEnabled()
{
    // Pick up a change made by another process since the last look.
    settings.sync();
    return settings.value(enabledKey, true).toBool();
}

void KvAnalytics::event(const KvAnalyticsEvent &event)
{
    if (!isEnabled())
        return;
    for (KvProviderInterface *provider : qAsConst(providerList))
        provider->event(event);
}

void KvAnalytics::ensureClientId(QSettings::Scope scope)
{
    QSettings organization(scope, QCoreApplication::organizationName(), QString());
    // The user scope would otherwise see the system-wide value through its
    // fallback and never get an id of its own.
    organization.setFallbacksEnabled(false);
    if (organization.value(guidKey).toString().isEmpty())
        organization.setValue(guidKey, QUuid::createUuid().toString(QUuid::WithBraces));
}
