#include "TestGoogleProvider.h"

#include "MeasurementServer.h"
#include "analytics/GoogleProvider.h"
#include "analytics/KvAnalyticsEvent.h"
#include "analytics/KvAnalyticsTiming.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>
#include <QUuid>
#include <QWindow>

#include <memory>
#include <vector>

namespace {

using Action = KvAnalyticsEvent::Action;
using Category = KvAnalyticsEvent::Category;
using Parameters = QMap<QString, QString>;

const char *const unreachableHost = "127.0.0.1:1";

KvAnalyticsEvent makeEvent(Category category, Action action)
{
    KvAnalyticsEvent event;
    event.category = category;
    event.action = action;
    return event;
}

QSettings organizationSettings()
{
    return {QSettings::UserScope, QCoreApplication::organizationName(), QString()};
}

void pointHitsAt(const MeasurementServer &server)
{
    qputenv("CORVANE_MEASUREMENT_HOST", server.hostAndPort().toUtf8());
}

} // namespace

void TestGoogleProvider::init()
{
    organizationSettings().clear();
}

void TestGoogleProvider::cleanup()
{
    qputenv("CORVANE_MEASUREMENT_HOST", unreachableHost);
}

void TestGoogleProvider::sessionHitsCarryTheSessionKeys()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;
    provider.setTrackingId(QStringLiteral("UA-123456789-1"));

    provider.event(makeEvent(Category::Session, Action::Begin));
    QTRY_COMPARE(server.requests().size(), 1);
    // The session end waits for its reply, so it has arrived when event() returns.
    provider.event(makeEvent(Category::Session, Action::End));
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(provider.pendingReplyCount(), 0);

    const MeasurementServer::Request begin = server.requests().at(0);
    QCOMPARE(begin.method, QByteArray("POST"));
    QCOMPARE(begin.path, QByteArray("/collect"));
    QCOMPARE(begin.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));

    const Parameters hit = begin.parameters();
    QCOMPARE(hit.value("t"), QStringLiteral("event"));
    QCOMPARE(hit.value("ec"), QStringLiteral("session"));
    QCOMPARE(hit.value("ea"), QStringLiteral("begin"));
    QCOMPARE(hit.value("sc"), QStringLiteral("start"));
    QVERIFY(!hit.contains("el"));
    QVERIFY(!hit.contains("ev"));

    // Common parameters.
    QCOMPARE(hit.value("v"), QStringLiteral("1"));
    QCOMPARE(hit.value("aip"), QStringLiteral("1"));
    QCOMPARE(hit.value("ds"), QStringLiteral("app"));
    QCOMPARE(hit.value("tid"), QStringLiteral("UA-123456789-1"));
    QCOMPARE(hit.value("ul"), QStringLiteral("en-us"));
    QCOMPARE(hit.value("av"), QStringLiteral("1.0.148"));
    QCOMPARE(hit.value("aid"), QStringLiteral("b.a.tst_analytics"));
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                               "[0-9a-f]{12}$"))
                 .match(hit.value("cid"))
                 .hasMatch(),
             qPrintable(hit.value("cid")));
    // Screen parameters of the offscreen platform.
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9]+$")).match(hit.value("z")).hasMatch());
    QVERIFY(QRegularExpression(QStringLiteral("^[1-9][0-9]*x[1-9][0-9]*$"))
                .match(hit.value("sr"))
                .hasMatch());
    QVERIFY(
        QRegularExpression(QStringLiteral("^[1-9][0-9]*-bits$")).match(hit.value("sd")).hasMatch());
    QVERIFY(!hit.contains("vp"));

    const Parameters end = server.requests().at(1).parameters();
    QCOMPARE(end.value("ec"), QStringLiteral("session"));
    QCOMPARE(end.value("ea"), QStringLiteral("end"));
    QCOMPARE(end.value("sc"), QStringLiteral("end"));
    QCOMPARE(end.value("cid"), hit.value("cid"));
}

void TestGoogleProvider::eventKeys_data()
{
    QTest::addColumn<int>("category");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("hasValue");
    QTest::addColumn<QString>("ec");
    QTest::addColumn<QString>("ea");
    QTest::addColumn<QString>("sc"); // null: no "sc"
    QTest::addColumn<QString>("el"); // null: no "el"
    QTest::addColumn<QString>("ev"); // null: no "ev"

    const int custom = int(Category::Custom);
    const int session = int(Category::Session);
    QTest::newRow("custom category, delayed")
        << custom << int(Action::Delayed) << QString() << false << "Rules"
        << "delayed" << QString() << QString() << QString();
    QTest::newRow("custom category, activated, label and value")
        << custom << int(Action::Activated) << "notepad.exe" << true << "Rules"
        << "activated" << QString() << "notepad.exe"
        << "4000000000";
    QTest::newRow("custom action text")
        << custom << int(Action::Custom) << QString() << false << "Rules"
        << "Frobbed" << QString() << QString() << QString();
    QTest::newRow("custom category, end: no session keys")
        << custom << int(Action::End) << QString() << false << "Rules"
        << "end" << QString() << QString() << QString();
    QTest::newRow("session, deactivated: no sc")
        << session << int(Action::Deactivated) << QString() << false << "session"
        << "deactivated" << QString() << QString() << QString();
    QTest::newRow("empty label is still a label")
        << session << int(Action::Begin) << "" << true << "session"
        << "begin"
        << "start"
        << ""
        << "4000000000";
}

void TestGoogleProvider::eventKeys()
{
    QFETCH(int, category);
    QFETCH(int, action);
    QFETCH(QString, label);
    QFETCH(bool, hasValue);

    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;

    KvAnalyticsEvent event = makeEvent(Category(category), Action(action));
    event.customCategory = QStringLiteral("Rules");
    event.customAction = QStringLiteral("Frobbed");
    event.label = label;
    event.hasValue = hasValue;
    event.value = 4000000000u;
    provider.event(event);
    // Only the session end waits.
    QCOMPARE(provider.pendingReplyCount(), 1);
    QTRY_COMPARE(server.requests().size(), 1);

    const Parameters hit = server.requests().first().parameters();
    QCOMPARE(hit.value("t"), QStringLiteral("event"));
    QTEST(hit.value("ec"), "ec");
    QTEST(hit.value("ea"), "ea");
    QFETCH(QString, sc);
    QFETCH(QString, el);
    QFETCH(QString, ev);
    const QList<QPair<QString, QString>> optional = {{"sc", sc}, {"el", el}, {"ev", ev}};
    for (const auto &[key, expected] : optional) {
        QCOMPARE(hit.contains(key), !expected.isNull());
        if (!expected.isNull())
            QCOMPARE(hit.value(key), expected);
    }
}

void TestGoogleProvider::timingKeys()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;

    KvAnalyticsTiming runtime;
    runtime.category = QStringLiteral("startup");
    runtime.variable = QStringLiteral("ignored");
    runtime.variableKind = KvAnalyticsTiming::VariableKind::Runtime;
    runtime.time = 1234;
    provider.timing(runtime);
    QTRY_COMPARE(server.requests().size(), 1);

    KvAnalyticsTiming custom = runtime;
    custom.variableKind = KvAnalyticsTiming::VariableKind::Custom;
    custom.variable = QStringLiteral("load");
    custom.label = QStringLiteral("rules");
    provider.timing(custom);
    QTRY_COMPARE(server.requests().size(), 2);

    const Parameters first = server.requests().at(0).parameters();
    QCOMPARE(first.value("t"), QStringLiteral("timing"));
    QCOMPARE(first.value("utc"), QStringLiteral("startup"));
    QCOMPARE(first.value("utv"), QStringLiteral("runtime"));
    QCOMPARE(first.value("utt"), QStringLiteral("1234"));
    QVERIFY(!first.contains("utl"));
    QVERIFY(!first.contains("ec"));

    const Parameters second = server.requests().at(1).parameters();
    QCOMPARE(second.value("utv"), QStringLiteral("load"));
    QCOMPARE(second.value("utl"), QStringLiteral("rules"));
}

void TestGoogleProvider::onlyTheApplicationNameIsEncoded()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;

    KvAnalyticsEvent event = makeEvent(Category::Custom, Action::Custom);
    event.customCategory = QStringLiteral("a b");
    event.customAction = QStringLiteral("x/y");
    provider.event(event);
    QTRY_COMPARE(server.requests().size(), 1);

    const QByteArray body = server.requests().first().body;
    const QList<QByteArray> pairs = body.split('&');
    QVERIFY(pairs.contains("an=My%20App"));
    QVERIFY(pairs.contains("ec=a b"));
    QVERIFY(pairs.contains("ea=x/y"));
    QCOMPARE(body.count('%'), 1);
    // Every key once.
    QCOMPARE(server.requests().first().parameters().size(), pairs.size());
}

void TestGoogleProvider::applicationId_data()
{
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << "a.b"
                           << "C:/Program Files/Veltrom/app.exe"
                           << "b.a.app";
    QTest::newRow("only the last extension goes, lower-cased") << "veltrom.com"
                                                               << "/opt/App.Setup.EXE"
                                                               << "com.veltrom.app.setup";
    QTest::newRow("no extension") << "a.b.c"
                                  << "/usr/bin/corvane"
                                  << "c.b.a.corvane";
}

void TestGoogleProvider::applicationId()
{
    QFETCH(QString, domain);
    QFETCH(QString, executable);
    QTEST(GoogleProvider::applicationId(domain, executable), "expected");
}

void TestGoogleProvider::clientIdComesFromTheStoredGuid()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    // Each provider reads the client id when it is constructed; they stay
    // alive until their hits have gone out.
    std::vector<std::unique_ptr<GoogleProvider>> providers;
    auto sendOneHit = [&providers] {
        providers.push_back(std::make_unique<GoogleProvider>());
        providers.back()->event(makeEvent(Category::Custom, Action::Delayed));
    };
    auto lastCid = [&server] { return server.requests().last().parameters().value("cid"); };

    organizationSettings().setValue("guid", "{0F8FAD5B-D9CB-469F-A165-70867728950E}");
    sendOneHit();
    QTRY_COMPARE(server.requests().size(), 1);
    QCOMPARE(lastCid(), QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));

    // Absent or unusable: a fresh id each time, and nothing is stored.
    for (const QVariant &stored : {QVariant(), QVariant(QStringLiteral("not a uuid"))}) {
        organizationSettings().clear();
        if (stored.isValid())
            organizationSettings().setValue("guid", stored);
        const int before = server.requests().size();
        sendOneHit();
        QTRY_COMPARE(server.requests().size(), before + 1);
        const QString first = lastCid();
        sendOneHit();
        QTRY_COMPARE(server.requests().size(), before + 2);
        const QString second = lastCid();
        QVERIFY(!QUuid(first).isNull());
        QVERIFY(!QUuid(second).isNull());
        QVERIFY(first != second);
        QCOMPARE(organizationSettings().value("guid"), stored);
    }
}

void TestGoogleProvider::viewportFollowsTheWindows()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;
    QVERIFY(QGuiApplication::topLevelWindows().isEmpty());

    provider.event(makeEvent(Category::Custom, Action::Delayed));
    QTRY_COMPARE(server.requests().size(), 1);
    QVERIFY(!server.requests().last().parameters().contains("vp"));

    // A window that was never shown still counts as a top-level window.
    auto window = std::make_unique<QWindow>();
    window->resize(320, 200);
    provider.event(makeEvent(Category::Custom, Action::Delayed));
    QTRY_COMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().last().parameters().value("vp"), QStringLiteral("320x200"));

    // The active window wins over any other, including one created later.
    QWindow active;
    active.resize(640, 480);
    active.show();
    active.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&active));
    QWindow newest;
    newest.resize(100, 100);
    provider.event(makeEvent(Category::Custom, Action::Delayed));
    QTRY_COMPARE(server.requests().size(), 3);
    QCOMPARE(server.requests().last().parameters().value("vp"), QStringLiteral("640x480"));
}

void TestGoogleProvider::hitsWithoutTrackingIdHaveNoTid()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;
    provider.event(makeEvent(Category::Custom, Action::Delayed));
    QTRY_COMPARE(server.requests().size(), 1);
    QVERIFY(!server.requests().last().parameters().contains("tid"));
    QCOMPARE(server.requests().last().parameters().value("t"), QStringLiteral("event"));
}

void TestGoogleProvider::sessionEndWaitIsBoundedWhenNoReplyComes()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    server.setSilent(true);
    pointHitsAt(server);
    GoogleProvider provider;

    // An earlier hit still in flight is waited for as well.
    provider.event(makeEvent(Category::Session, Action::Begin));
    QElapsedTimer elapsed;
    elapsed.start();
    provider.event(makeEvent(Category::Session, Action::End));
    const qint64 waited = elapsed.elapsed();

    QCOMPARE(server.requests().size(), 2); // both arrived, neither answered
    QCOMPARE(provider.pendingReplyCount(), 2);
    QVERIFY2(waited >= 900, qPrintable(QString::number(waited)));
    QVERIFY2(waited < 3000, qPrintable(QString::number(waited)));
}

void TestGoogleProvider::repliesAreCountedOff()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    pointHitsAt(server);
    GoogleProvider provider;
    for (int i = 0; i < 3; ++i)
        provider.event(makeEvent(Category::Custom, Action::Delayed));
    QCOMPARE(provider.pendingReplyCount(), 3);
    QTRY_COMPARE(provider.pendingReplyCount(), 0);
    QCOMPARE(server.requests().size(), 3);

    // A failed request is finished too: nothing listens on the default test port.
    qputenv("CORVANE_MEASUREMENT_HOST", unreachableHost);
    provider.event(makeEvent(Category::Custom, Action::Delayed));
    QCOMPARE(provider.pendingReplyCount(), 1);
    QTRY_COMPARE(provider.pendingReplyCount(), 0);
}

void TestGoogleProvider::collectUrl_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("expected"); // empty: rejected

    QTest::newRow("host") << "collector.example.org"
                          << "http://collector.example.org/collect";
    QTest::newRow("host and port") << "127.0.0.1:8080"
                                   << "http://127.0.0.1:8080/collect";
    QTest::newRow("IPv6 with port") << "[::1]:8080"
                                    << "http://[::1]:8080/collect";
    QTest::newRow("surrounding blanks") << " localhost:81 "
                                        << "http://localhost:81/collect";
    QTest::newRow("user info") << "user@collector.example.org" << QString();
    QTest::newRow("path") << "collector.example.org/x?y=1" << QString();
    QTest::newRow("bad port") << "collector.example.org:http" << QString();
    QTest::newRow("port only") << ":8080" << QString();
    QTest::newRow("scheme") << "https://collector.example.org" << QString();
}

void TestGoogleProvider::collectUrl()
{
    QFETCH(QString, override);
    QFETCH(QString, expected);

    qputenv("CORVANE_MEASUREMENT_HOST", override.toUtf8());
    const QUrl url = GoogleProvider::collectUrl();
    QCOMPARE(url.isValid(), !expected.isEmpty());
    if (!expected.isEmpty())
        QCOMPARE(url.toString(), expected);

    // Unset or empty: the built-in host.
    for (bool unset : {true, false}) {
        if (unset)
            qunsetenv("CORVANE_MEASUREMENT_HOST");
        else
            qputenv("CORVANE_MEASUREMENT_HOST", "");
        const QUrl builtIn = GoogleProvider::collectUrl();
        QVERIFY(builtIn.isValid());
        QVERIFY(!builtIn.host().isEmpty());
        QCOMPARE(builtIn.scheme(), QStringLiteral("http"));
        QCOMPARE(builtIn.path(), QStringLiteral("/collect"));
    }
}

void TestGoogleProvider::invalidHostOverrideSendsNothing()
{
    MeasurementServer server;
    QVERIFY(server.listen());
    // Points at the server, but with user info that must not be accepted.
    qputenv("CORVANE_MEASUREMENT_HOST", ("someone@" + server.hostAndPort()).toUtf8());
    GoogleProvider provider;

    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("CORVANE_MEASUREMENT_HOST"));
    provider.event(makeEvent(Category::Session, Action::End));
    QCOMPARE(provider.pendingReplyCount(), 0);
    QTest::qWait(200);
    QCOMPARE(server.connectionCount(), 0);
}

void TestGoogleProvider::interfaceIsFoundByCast()
{
    GoogleProvider provider;
    QObject *object = &provider;
    QCOMPARE(qobject_cast<KvProviderInterface *>(object),
             static_cast<KvProviderInterface *>(&provider));
    QCOMPARE(object->qt_metacast("KvProviderInterface"),
             static_cast<void *>(static_cast<KvProviderInterface *>(&provider)));
}
