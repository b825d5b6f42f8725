#include "TestKvAnalytics.h"

#include "MeasurementServer.h"
#include "analytics/GoogleProvider.h"
#include "analytics/KvAnalytics.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QUuid>

#include <memory>

namespace {

QSettings organization(QSettings::Scope scope)
{
    return {scope, QCoreApplication::organizationName(), QString()};
}

QVariant analyticsValue(const QString &key)
{
    return QSettings().value(QStringLiteral("analytics/") + key);
}

void setAnalyticsValue(const QString &key, const QVariant &value)
{
    QSettings().setValue(QStringLiteral("analytics/") + key, value);
}

// What the program's main function does once the application object exists.
void reportStart(KvAnalytics &analytics)
{
    for (KvProviderInterface *provider : analytics.providers())
        provider->setTrackingId(KvAnalytics::trackingId());
    analytics.event(KvAnalytics::sessionBeginEvent());
}

std::unique_ptr<KvAnalytics> startRun()
{
    auto analytics = std::make_unique<KvAnalytics>();
    analytics->initialize();
    reportStart(*analytics);
    return analytics;
}

bool isUtcSecondsTimestamp(const QString &text)
{
    return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
        .match(text)
        .hasMatch();
}

QDateTime nowInWholeSeconds()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    return now.addMSecs(-now.time().msec());
}

} // namespace

void TestKvAnalytics::init()
{
    useSystemScopeAt(QDir(settingsRoot).filePath(QStringLiteral("system")));
    QSettings().clear();
    organization(QSettings::UserScope).clear();
    organization(QSettings::SystemScope).clear();
    server = std::make_unique<MeasurementServer>();
    QVERIFY(server->listen());
    qputenv("CORVANE_MEASUREMENT_HOST", server->hostAndPort().toUtf8());
}

void TestKvAnalytics::cleanup()
{
    qputenv("CORVANE_MEASUREMENT_HOST", "127.0.0.1:1");
    server.reset();
}

void TestKvAnalytics::useSystemScopeAt(const QString &path)
{
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::SystemScope, path);
}

void TestKvAnalytics::firstStartOnACleanMachine()
{
    const QDateTime before = nowInWholeSeconds();
    auto analytics = startRun();
    const QDateTime after = QDateTime::currentDateTimeUtc();

    const QString firstRun = analyticsValue("firstRun").toString();
    QVERIFY2(isUtcSecondsTimestamp(firstRun), qPrintable(firstRun));
    const QDateTime started = QDateTime::fromString(firstRun, Qt::ISODate);
    QVERIFY(started >= before && started <= after);
    QCOMPARE(analyticsValue("lastRun").toString(), firstRun);
    QCOMPARE(analyticsValue("runCount").toString(), QStringLiteral("1"));
    QVERIFY(!QSettings().contains(QStringLiteral("analytics/runTime")));

    const QString userGuid = organization(QSettings::UserScope).value("guid").toString();
    const QString systemGuid = organization(QSettings::SystemScope).value("guid").toString();
    const QRegularExpression braced(QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                                   "[0-9a-f]{4}-[0-9a-f]{12}\\}$"));
    QVERIFY2(braced.match(userGuid).hasMatch(), qPrintable(userGuid));
    QVERIFY2(braced.match(systemGuid).hasMatch(), qPrintable(systemGuid));
    QVERIFY(userGuid != systemGuid);

    QCOMPARE(analytics->providers().size(), 1);
    QVERIFY(dynamic_cast<GoogleProvider *>(analytics->providers().first()));

    // The start hit already reports the identity that later runs will report.
    QTRY_COMPARE(server->requests().size(), 1);
    const auto begin = server->requests().first().parameters();
    QCOMPARE(begin.value("ea"), QStringLiteral("begin"));
    QCOMPARE(begin.value("sc"), QStringLiteral("start"));
    QCOMPARE(begin.value("cid"), QUuid(userGuid).toString(QUuid::WithoutBraces));
    QVERIFY(
        QRegularExpression(QStringLiteral("^UA-\\d{9}-\\d$")).match(begin.value("tid")).hasMatch());
    QCOMPARE(begin.value("tid"), KvAnalytics::trackingId());

    analytics.reset();
    QCOMPARE(server->requests().size(), 2);
    const auto end = server->requests().last().parameters();
    QCOMPARE(end.value("ea"), QStringLiteral("end"));
    QCOMPARE(end.value("sc"), QStringLiteral("end"));
    QCOMPARE(analyticsValue("runTime").toString(), QStringLiteral("0"));
}

void TestKvAnalytics::laterStartKeepsFirstRunAndCounts()
{
    const QString userGuid = QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}");
    const QString systemGuid = QStringLiteral("{7c9e6679-7425-40de-944b-e07fc1f90ae7}");
    organization(QSettings::UserScope).setValue("guid", userGuid);
    organization(QSettings::SystemScope).setValue("guid", systemGuid);
    setAnalyticsValue("firstRun", "2020-01-01T00:00:00Z");
    setAnalyticsValue("lastRun", "2020-02-01T00:00:00Z");
    setAnalyticsValue("runCount", 41);
    setAnalyticsValue("runTime", 1000);

    const QDateTime before = nowInWholeSeconds();
    auto analytics = startRun();

    QCOMPARE(analyticsValue("firstRun").toString(), QStringLiteral("2020-01-01T00:00:00Z"));
    const QString lastRun = analyticsValue("lastRun").toString();
    QVERIFY2(isUtcSecondsTimestamp(lastRun), qPrintable(lastRun));
    QVERIFY(QDateTime::fromString(lastRun, Qt::ISODate) >= before);
    QCOMPARE(analyticsValue("runCount").toString(), QStringLiteral("42"));
    QCOMPARE(organization(QSettings::UserScope).value("guid").toString(), userGuid);
    QCOMPARE(organization(QSettings::SystemScope).value("guid").toString(), systemGuid);

    analytics.reset();
    QCOMPARE(analyticsValue("runTime").toString(), QStringLiteral("1000"));
    QCOMPARE(analyticsValue("firstRun").toString(), QStringLiteral("2020-01-01T00:00:00Z"));
}

void TestKvAnalytics::runTimeAddsWholeSeconds()
{
    setAnalyticsValue("runTime", 10);

    QElapsedTimer clock;
    clock.start();
    auto analytics = startRun();
    const qint64 constructed = clock.elapsed();
    while (clock.elapsed() - constructed < 2900)
        QTest::qWait(int(2900 - (clock.elapsed() - constructed)));
    const qint64 destroying = clock.elapsed();
    analytics.reset();
    const qint64 destroyed = clock.elapsed();

    // The run lasted at least from the end of construction to the start of
    // destruction and at most the whole span; whole seconds, never rounded up.
    const qlonglong added = analyticsValue("runTime").toLongLong() - 10;
    QVERIFY2(added >= (destroying - constructed) / 1000 && added <= destroyed / 1000,
             qPrintable(QStringLiteral("%1 s added after %2 ms").arg(added).arg(destroyed)));
    QCOMPARE(server->requests().size(), 2);
}

void TestKvAnalytics::enabledIsReadAtEveryEvent()
{
    // Off from the start: nothing is sent, the counters are kept all the same.
    setAnalyticsValue("enabled", false);
    auto analytics = startRun();
    QVERIFY(!analytics->isEnabled());
    analytics.reset();
    QVERIFY(isUtcSecondsTimestamp(analyticsValue("firstRun").toString()));
    QVERIFY(isUtcSecondsTimestamp(analyticsValue("lastRun").toString()));
    QCOMPARE(analyticsValue("runCount").toString(), QStringLiteral("1"));
    QCOMPARE(analyticsValue("runTime").toString(), QStringLiteral("0"));
    QTest::qWait(300);
    QCOMPARE(server->connectionCount(), 0);

    // Switched on during the run: the end goes out.
    analytics = startRun();
    setAnalyticsValue("enabled", true);
    analytics.reset();
    QCOMPARE(server->requests().size(), 1);
    QCOMPARE(server->requests().last().parameters().value("ea"), QStringLiteral("end"));

    // Switched off during the run: the start goes out, the end does not.
    analytics = startRun();
    QTRY_COMPARE(server->requests().size(), 2);
    setAnalyticsValue("enabled", false);
    analytics.reset();
    QTest::qWait(300);
    QCOMPARE(server->requests().size(), 2);
}

void TestKvAnalytics::unwritableSystemScopeIsIgnored()
{
    // A folder below a plain file cannot be created, not even by root.
    const QString blocker = QDir(settingsRoot).filePath(QStringLiteral("blocker"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    useSystemScopeAt(blocker + QStringLiteral("/system"));

    auto analytics = startRun();
    const QString userGuid = organization(QSettings::UserScope).value("guid").toString();
    QVERIFY2(!QUuid(userGuid).isNull(), qPrintable(userGuid));
    QCOMPARE(analyticsValue("runCount").toString(), QStringLiteral("1"));
    analytics.reset();
    QCOMPARE(analyticsValue("runTime").toString(), QStringLiteral("0"));
}

void TestKvAnalytics::corruptCountersCountAsZero()
{
    setAnalyticsValue("runCount", "many");
    setAnalyticsValue("runTime", "-5");

    auto analytics = startRun();
    QCOMPARE(analyticsValue("runCount").toString(), QStringLiteral("1"));
    analytics.reset();
    QCOMPARE(analyticsValue("runTime").toString(), QStringLiteral("0"));
}
