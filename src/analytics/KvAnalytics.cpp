#include "analytics/KvAnalytics.h"

#include "platform/KvPlatformFiles.h"
#include "rules/KvSettings.h"
#include "rules/KvSettingsFile.h"
#include "support/KvLazySingleton.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
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

// What the counters' file may be: a few lines.
constexpr qint64 countersLimit = 64 * 1024;

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
    runTimer.start();
    // Its own file, but in a folder of the user's: only a file is opened.
    const QString path = countersPath();
    const KvFileContent found = KvPlatformFiles::current().readRegular(path, countersLimit);
    if (found.kind == KvFileContent::Kind::Refused) {
        kvCritical(lcCorvane) << "usage counters file \"" << QDir::toNativeSeparators(path) << "\" "
                              << found.refusal << ": no counters are kept";
        return;
    }
    QDir().mkpath(QFileInfo(path).path());
    counters = std::make_unique<QSettings>(path, QSettings::IniFormat);
}

KvAnalytics::~KvAnalytics()
{
    if (isEnabled())
        event(sessionEndEvent());
    if (!counters)
        return;
    const qulonglong runTime =
        readCounter(*counters, runTimeKey) + static_cast<qulonglong>(runTimer.elapsed() / 1000);
    counters->setValue(runTimeKey, runTime);
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

QString KvAnalytics::countersPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
           QStringLiteral("/analytics.conf");
}

void KvAnalytics::initialize()
{
    if (counters) {
        if (counters->allKeys().isEmpty())
            takeOverEarlierValues();
        if (QUuid(counters->value(guidKey).toString()).isNull())
            counters->setValue(guidKey, QUuid::createUuid().toString(QUuid::WithBraces));
        const QString now = nowText();
        if (!counters->contains(firstRunKey))
            counters->setValue(firstRunKey, now);
        counters->setValue(lastRunKey, now);
        counters->setValue(runCountKey, readCounter(*counters, runCountKey) + 1);
        counters->sync();
        googleProvider.setClientId(counters->value(guidKey).toString());
    }
    if (!providerList.contains(&googleProvider))
        providerList.append(&googleProvider);
}

void KvAnalytics::takeOverEarlierValues()
{
    KvSettings earlier;
    earlier.beginGroup(groupName);
    for (const QString &key : {firstRunKey, lastRunKey, runCountKey, runTimeKey}) {
        if (earlier.contains(key))
            counters->setValue(key, earlier.value(key));
    }
    // The registry, where the settings have no file, Qt reads as ever.
    const QString organization = KvSettingsFile::instance().organizationPath();
    const QVariant guid = organization.isEmpty()
                              ? QSettings(QCoreApplication::organizationName()).value(guidKey)
                              : KvSettingsFile::valueIn(organization, guidKey);
    if (guid.isValid())
        counters->setValue(guidKey, guid);
}

bool KvAnalytics::isEnabled()
{
    // The user's settings as they are now, another process's change included.
    const QVariant enabled = KvSettings().value(groupName + QLatin1Char('/') + enabledKey);
    return !enabled.isValid() || enabled.toBool();
}

void KvAnalytics::event(const KvAnalyticsEvent &event)
{
    if (!isEnabled())
        return;
    for (KvProviderInterface *provider : qAsConst(providerList))
        provider->event(event);
}
