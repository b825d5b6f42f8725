#include "TestGoogleProvider.h"

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

#include <vector>

namespace {

using Action = KvAnalyticsEvent::Action;
using Category = KvAnalyticsEvent::Category;
using Parameters = QMap<QString, QString>;

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

bool matches(const char *pattern, const QString &text)
{
    return QRegularExpression(QLatin1String(pattern)).match(text).hasMatch();
}

} // namespace

void TestGoogleProvider::init()
{
    organizationSettings().clear();
    server = std::make_unique<MeasurementServer>();
    QVERIFY(server->listen());
    qputenv("CORVANE_MEASUREMENT_HOST", server->hostAndPort().toUtf8());
}

void TestGoogleProvider::cleanup()
{
    qputenv("CORVANE_MEASUREMENT_HOST", "127.0.0.1:1");
    server.reset();
}

void TestGoogleProvider::sessionHitsCarryTheSessionKeys()
{
    GoogleProvider provider;
    provider.setTrackingId(QStringLiteral("UA-123456789-1"));

    provider.event(makeEvent(Category::Session, Action::Begin));
    QTRY_COMPARE(server->requests().size(), 1);
    // The session end waits for its reply, so it has arrived when event() returns.
    provider.event(makeEvent(Category::Session, Action::End));
    QCOMPARE(server->requests().size(), 2);
    QCOMPARE(provider.pendingReplyCount(), 0);

    const MeasurementServer::Request begin = server->requests().at(0);
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
    QVERIFY2(
        matches("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$", hit.value("cid")),
        qPrintable(hit.value("cid")));
    // Per-hit parameters; the offscreen screen, and no window at all.
    QVERIFY(matches("^[0-9]+$", hit.value("z")));
    QVERIFY(matches("^[1-9][0-9]*x[1-9][0-9]*$", hit.value("sr")));
    QVERIFY(matches("^[1-9][0-9]*-bits$", hit.value("sd")));
    QVERIFY(!hit.contains("vp"));

    const Parameters end = server->requests().at(1).parameters();
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
    // A null expectation means the key must be absent.
    QTest::addColumn<QString>("sc");
    QTest::addColumn<QString>("el");
    QTest::addColumn<QString>("ev");

    const int custom = int(Category::Custom);
    const int session = int(Category::Session);
    const QString none;
    QTest::newRow("custom category, delayed")
        << custom << int(Action::Delayed) << none << false << "Rules"
        << "delayed" << none << none << none;
    QTest::newRow("label and value")
        << custom << int(Action::Activated) << "notepad.exe" << true << "Rules"
        << "activated" << none << "notepad.exe"
        << "4000000000";
    QTest::newRow("custom action text") << custom << int(Action::Custom) << none << false << "Rules"
                                        << "Frobbed" << none << none << none;
    QTest::newRow("end outside the session category")
        << custom << int(Action::End) << none << false << "Rules"
        << "end" << none << none << none;
    QTest::newRow("session, deactivated")
        << session << int(Action::Deactivated) << none << false << "session"
        << "deactivated" << none << none << none;
    QTest::newRow("empty label is a label")
        << session << int(Action::Begin) << "" << false << "session"
        << "begin"
        << "start"
        << "" << none;
}

void TestGoogleProvider::eventKeys()
{
    QFETCH(int, category);
    QFETCH(int, action);
    QFETCH(QString, label);
    QFETCH(bool, hasValue);
    QFETCH(QString, sc);
    QFETCH(QString, el);
    QFETCH(QString, ev);

    GoogleProvider provider;
    KvAnalyticsEvent event = makeEvent(Category(category), Action(action));
    event.customCategory = QStringLiteral("Rules");
    event.customAction = QStringLiteral("Frobbed");
    event.label = label;
    event.hasValue = hasValue;
    event.value = 4000000000u;
    provider.event(event);
    QCOMPARE(provider.pendingReplyCount(), 1); // only the session end waits
    QTRY_COMPARE(server->requests().size(), 1);

    const Parameters hit = server->requests().first().parameters();
    QCOMPARE(hit.value("t"), QStringLiteral("event"));
    QTEST(hit.value("ec"), "ec");
    QTEST(hit.value("ea"), "ea");
    QVERIFY(!hit.contains("tid")); // none was set
    const QList<QPair<QString, QString>> optional = {{"sc", sc}, {"el", el}, {"ev", ev}};
    for (const auto &[key, expected] : optional) {
        QCOMPARE(hit.contains(key), !expected.isNull());
        QCOMPARE(hit.value(key), expected);
    }
}

void TestGoogleProvider::timingKeys()
{
    GoogleProvider provider;
    KvAnalyticsTiming timing;
    timing.category = QStringLiteral("startup");
    timing.variable = QStringLiteral("load");
    timing.time = 1234;
    timing.variableKind = KvAnalyticsTiming::VariableKind::Runtime;
    provider.timing(timing);
    timing.variableKind = KvAnalyticsTiming::VariableKind::Custom;
    timing.label = QStringLiteral("rules");
    provider.timing(timing);
    QTRY_COMPARE(server->requests().size(), 2);

    // Two connections may deliver in either order.
    Parameters runtime = server->requests().at(0).parameters();
    Parameters custom = server->requests().at(1).parameters();
    if (runtime.value("utv") != QLatin1String("runtime"))
        std::swap(runtime, custom);
    QCOMPARE(runtime.value("t"), QStringLiteral("timing"));
    QCOMPARE(runtime.value("utc"), QStringLiteral("startup"));
    QCOMPARE(runtime.value("utv"), QStringLiteral("runtime"));
    QCOMPARE(runtime.value("utt"), QStringLiteral("1234"));
    QVERIFY(!runtime.contains("utl"));
    QVERIFY(!runtime.contains("ec"));
    QCOMPARE(custom.value("utv"), QStringLiteral("load"));
    QCOMPARE(custom.value("utl"), QStringLiteral("rules"));
}

void TestGoogleProvider::onlyTheApplicationNameIsEncoded()
{
    GoogleProvider provider;
    KvAnalyticsEvent event = makeEvent(Category::Custom, Action::Custom);
    event.customCategory = QStringLiteral("a b");
    event.customAction = QStringLiteral("x/y");
    provider.event(event);
    QTRY_COMPARE(server->requests().size(), 1);

    const QByteArray body = server->requests().first().body;
    const QList<QByteArray> pairs = body.split('&');
    QVERIFY(pairs.contains("an=My%20App"));
    QVERIFY(pairs.contains("ec=a b"));
    QVERIFY(pairs.contains("ea=x/y"));
    QCOMPARE(body.count('%'), 1);
    QCOMPARE(server->requests().first().parameters().size(), pairs.size()); // every key once
}

void TestGoogleProvider::applicationId_data()
{
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("expected");

    QTest::newRow("a.b, app.exe") << "a.b"
                                  << "C:/Program Files/Veltrom/app.exe"
                                  << "b.a.app";
    QTest::newRow("last extension only, lower case") << "veltrom.com"
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
    // Each provider reads the client id when it is constructed; all of them
    // stay alive until their hits have gone out.
    std::vector<std::unique_ptr<GoogleProvider>> providers;
    auto cidOfNextHit = [&] {
        providers.push_back(std::make_unique<GoogleProvider>());
        providers.back()->event(makeEvent(Category::Custom, Action::Delayed));
        const int expected = int(providers.size());
        if (!QTest::qWaitFor([&] { return server->requests().size() >= expected; }))
            return QString();
        return server->requests().last().parameters().value("cid");
    };

    organizationSettings().setValue("guid", "{0F8FAD5B-D9CB-469F-A165-70867728950E}");
    QCOMPARE(cidOfNextHit(), QStringLiteral("0f8fad5b-d9cb-469f-a165-70867728950e"));

    // Absent or unusable: a fresh id each time, and nothing is stored.
    for (const QVariant &stored : {QVariant(), QVariant(QStringLiteral("not a uuid"))}) {
        organizationSettings().clear();
        if (stored.isValid())
            organizationSettings().setValue("guid", stored);
        const QString first = cidOfNextHit();
        const QString second = cidOfNextHit();
        QVERIFY(!QUuid(first).isNull());
        QVERIFY(!QUuid(second).isNull());
        QVERIFY(first != second);
        QCOMPARE(organizationSettings().value("guid"), stored);
    }
}

void TestGoogleProvider::viewportFollowsTheWindows()
{
    GoogleProvider provider;
    auto viewportOfNextHit = [&] {
        const int expected = server->requests().size() + 1;
        provider.event(makeEvent(Category::Custom, Action::Delayed));
        if (!QTest::qWaitFor([&] { return server->requests().size() >= expected; }))
            return QString();
        return server->requests().last().parameters().value("vp", QStringLiteral("absent"));
    };

    QVERIFY(QGuiApplication::topLevelWindows().isEmpty());
    QCOMPARE(viewportOfNextHit(), QStringLiteral("absent"));

    // No active window: the first top-level one, even if never shown.
    auto hidden = std::make_unique<QWindow>();
    hidden->resize(320, 200);
    QCOMPARE(viewportOfNextHit(), QStringLiteral("320x200"));

    // The active window wins over any other, including one created later.
    QWindow active;
    active.resize(640, 480);
    active.show();
    active.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&active));
    QWindow newest;
    newest.resize(100, 100);
    QCOMPARE(viewportOfNextHit(), QStringLiteral("640x480"));
}

void TestGoogleProvider::sessionEndWaitIsBoundedWhenNoReplyComes()
{
    server->setSilent(true);
    GoogleProvider provider;

    // An earlier hit still in flight is waited for as well.
    provider.event(makeEvent(Category::Session, Action::Begin));
    QElapsedTimer elapsed;
    elapsed.start();
    provider.event(makeEvent(Category::Session, Action::End));
    const qint64 waited = elapsed.elapsed();

    // Returning at all while both replies are still outstanding is what
    // shows the wait to be bounded: a wait for the replies would never end.
    QCOMPARE(server->requests().size(), 2); // both arrived, neither answered
    QCOMPARE(provider.pendingReplyCount(), 2);
    // A timer never fires early, so the session end did wait for them.
    QVERIFY2(waited >= 900, qPrintable(QString::number(waited)));
}

void TestGoogleProvider::repliesAreCountedOff()
{
    GoogleProvider provider;
    for (int i = 0; i < 3; ++i)
        provider.event(makeEvent(Category::Custom, Action::Delayed));
    QCOMPARE(provider.pendingReplyCount(), 3);
    QTRY_COMPARE(provider.pendingReplyCount(), 0);
    QCOMPARE(server->requests().size(), 3);

    // A refused connection finishes the request as well.
    qputenv("CORVANE_MEASUREMENT_HOST", "127.0.0.1:1");
    provider.event(makeEvent(Category::Custom, Action::Delayed));
    QCOMPARE(provider.pendingReplyCount(), 1);
    QTRY_COMPARE(provider.pendingReplyCount(), 0);
}

void TestGoogleProvider::collectUrl_data()
{
    QTest::addColumn<QString>("override");
    QTest::addColumn<QString>("expected"); // empty: refused

    QTest::newRow("host and port") << " 127.0.0.1:8080 "
                                   << "http://127.0.0.1:8080/collect";
    QTest::newRow("IPv6 and port") << "[::1]:8080"
                                   << "http://[::1]:8080/collect";
    QTest::newRow("user info") << "user@collector.example.org" << QString();
    QTest::newRow("path") << "collector.example.org/x?y=1" << QString();
    QTest::newRow("bad port") << "collector.example.org:http" << QString();
    QTest::newRow("scheme") << "https://collector.example.org" << QString();
}

void TestGoogleProvider::collectUrl()
{
    QFETCH(QString, override);
    QFETCH(QString, expected);

    qputenv("CORVANE_MEASUREMENT_HOST", override.toUtf8());
    QCOMPARE(GoogleProvider::collectUrl().toString(), expected);

    // Unset or empty: the host built into the program.
    for (bool unset : {true, false}) {
        if (unset)
            qunsetenv("CORVANE_MEASUREMENT_HOST");
        else
            qputenv("CORVANE_MEASUREMENT_HOST", "");
        const QUrl builtIn = GoogleProvider::collectUrl();
        QVERIFY(builtIn.isValid() && !builtIn.host().isEmpty());
        QCOMPARE(builtIn.scheme(), QStringLiteral("http"));
        QCOMPARE(builtIn.path(), QStringLiteral("/collect"));
    }
}

void TestGoogleProvider::invalidHostOverrideSendsNothing()
{
    // Points at the server, but with user info, which is refused.
    qputenv("CORVANE_MEASUREMENT_HOST", ("someone@" + server->hostAndPort()).toUtf8());
    GoogleProvider provider;

    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("CORVANE_MEASUREMENT_HOST"));
    provider.event(makeEvent(Category::Session, Action::End));
    QCOMPARE(provider.pendingReplyCount(), 0);
    QTest::qWait(200);
    QCOMPARE(server->connectionCount(), 0);
}
