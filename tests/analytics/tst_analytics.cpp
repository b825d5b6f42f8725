// Usage analytics: the counters in the settings and the hits on a local endpoint.

#include "TestStore.h"
#include "analytics/GoogleProvider.h"
#include "analytics/KvAnalytics.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWindow>
#include <QtTest>

using Action = KvAnalyticsEvent::Action;
using Category = KvAnalyticsEvent::Category;

// An HTTP endpoint on the loopback address, where hits go once it is made. It
// records every request's body; silent, it never answers.
class MeasurementServer : public QTcpServer
{
public:
    MeasurementServer()
    {
        listen(QHostAddress::LocalHost);
        qputenv("CORVANE_MEASUREMENT_HOST", hostAndPort());
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        });
    }
    QByteArray hostAndPort() const { return "127.0.0.1:" + QByteArray::number(serverPort()); }
    // A hit's key=value pairs, sorted, not decoded; only the given keys' if any.
    QString hit(int index, const QStringList &only = {}) const
    {
        QStringList pairs;
        for (const QString &pair : QString::fromUtf8(bodies.value(index)).split('&')) {
            if (only.isEmpty() || only.contains(pair.section('=', 0, 0)))
                pairs << pair;
        }
        pairs.sort();
        return pairs.join('&');
    }
    QList<QByteArray> bodies;
    bool silent = false;

private:
    void read(QTcpSocket *socket)
    {
        static const QRegularExpression length(QStringLiteral("content-length: *(\\d+)"),
                                               QRegularExpression::CaseInsensitiveOption);
        QByteArray &buffer = buffers[socket];
        buffer += socket->readAll();
        // One connection may carry several requests one after the other.
        for (int end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
            const int size =
                end + 4 + length.match(QString::fromLatin1(buffer.left(end))).captured(1).toInt();
            if (buffer.size() < size)
                return;
            bodies << buffer.mid(end + 4, size - end - 4);
            buffer.remove(0, size);
            if (!silent)
                socket->write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
        }
    }
    QHash<QTcpSocket *, QByteArray> buffers;
};

KvAnalyticsEvent makeEvent(Action action, Category category = Category::Custom,
                           const QString &label = QString(), bool hasValue = false)
{
    return {action, hasValue, category, "x/y", "My Rules", label, 4000000000u};
}

// What the program does at start-up, once the application object exists.
std::unique_ptr<KvAnalytics> startRun()
{
    auto analytics = std::make_unique<KvAnalytics>();
    analytics->initialize();
    for (KvProviderInterface *provider : analytics->providers())
        provider->setTrackingId(KvAnalytics::trackingId());
    analytics->event(KvAnalytics::sessionBeginEvent());
    return analytics;
}

const QString utcSeconds = QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$");

class TestAnalytics : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.148"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("a.b"));
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        TestStore::clear();
        QFile::remove(KvAnalytics::countersPath());
        server = std::make_unique<MeasurementServer>();
    }
    void firstStartOnACleanMachine()
    {
        auto analytics = startRun();
        const QString firstRun = counter("firstRun");
        QVERIFY2(matches(utcSeconds, firstRun), qPrintable(firstRun));
        QCOMPARE(counter("lastRun"), firstRun);
        QCOMPARE(counter("runCount"), "1");
        const QString userId = counter("guid");
        QVERIFY(userId.startsWith('{') && !QUuid(userId).isNull());
        // The start hit already reports the identity that later runs will report.
        // Only the application name is percent-encoded; the random number and
        // the screen are checked for their form; without a window, no viewport.
        QTRY_COMPARE(server->bodies.size(), 1);
        const QString cid = QUuid(userId).toString(QUuid::WithoutBraces);
        QVERIFY2(
            matches("^aid=b\\.a\\.tst_analytics&aip=1&an=My%20App&av=1\\.0\\.148&cid=" + cid +
                        "&ds=app&ea=begin&ec=session&sc=start&sd=[1-9]\\d*-bits&"
                        "sr=[1-9]\\d*x[1-9]\\d*&t=event&tid=UA-\\d{9}-\\d&ul=en-us&v=1&z=\\d+$",
                    server->hit(0)),
            qPrintable(server->hit(0)));
        // Only the last extension goes from the executable's name.
        QCOMPARE(GoogleProvider::applicationId("veltrom.com", "/opt/App.Setup.EXE"),
                 "com.veltrom.app.setup");
        // The end waits for its reply, so it has arrived when the run is over.
        analytics.reset();
        QCOMPARE(server->hit(1, {"cid", "ea", "sc"}), "cid=" + cid + "&ea=end&sc=end");
        QCOMPARE(counter("runTime"), "0");
    }
    void earlierValuesAreTakenOverOnce()
    {
        // Where earlier versions kept them: taken over, and left as they are.
        const QString id = QUuid::createUuid().toString();
        QSettings(qApp->organizationName()).setValue("guid", id);
        set("analytics/firstRun", "2020-01-01T00:00:00Z");
        set("analytics/lastRun", "2020-02-01T00:00:00Z");
        set("analytics/runCount", 41);
        set("analytics/runTime", 1000);
        const QByteArray earlier = TestStore::contents(QSettings().fileName());
        QElapsedTimer clock;
        clock.start();
        auto analytics = startRun();
        QCOMPARE(counter("firstRun"), "2020-01-01T00:00:00Z");
        const QString lastRun = counter("lastRun");
        QVERIFY(matches(utcSeconds, lastRun) && lastRun != "2020-02-01T00:00:00Z");
        QCOMPARE(counter("runCount"), "42");
        QCOMPARE(counter("guid"), id);
        QTest::qWait(1100);
        analytics.reset();
        // The whole seconds of this run, never rounded up.
        const qint64 added = counter("runTime").toLongLong() - 1000;
        QVERIFY2(added >= 1 && added <= clock.elapsed() / 1000, qPrintable(QString::number(added)));
        QCOMPARE(TestStore::contents(QSettings().fileName()), earlier);
        // Later runs count on from the program's own file alone.
        set("analytics/runCount", 7);
        startRun().reset();
        QCOMPARE(counter("runCount"), "43");
    }
    void enabledIsReadAtEveryEventAndCountersKept()
    {
        // Off from the start: nothing is sent, the counters are kept all the same
        // (corrupt ones count as zero).
        set("analytics/enabled", false);
        QSettings(KvAnalytics::countersPath(), QSettings::IniFormat).setValue("runCount", "many");
        QSettings(KvAnalytics::countersPath(), QSettings::IniFormat).setValue("runTime", "-5");
        auto analytics = startRun();
        QCOMPARE(
            static_cast<GoogleProvider *>(analytics->providers().value(0))->pendingReplyCount(), 0);
        analytics.reset();
        QCOMPARE(server->bodies.size(), 0);
        QCOMPARE(counter("runCount"), "1");
        QCOMPARE(counter("runTime"), "0");
        // Switched on during the run: the end goes out.
        analytics = startRun();
        set("analytics/enabled", true);
        analytics.reset();
        QCOMPARE(server->hit(0, {"ea"}), "ea=end");
    }
    void eventKeysAndViewport()
    {
        // The viewport is the active window's, not a first or a last top-level one's.
        QWindow first, active, last;
        first.resize(320, 200);
        active.resize(640, 480);
        last.resize(100, 100);
        active.show();
        active.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&active));
        GoogleProvider provider;
        for (const KvAnalyticsEvent &sent :
             {makeEvent(Action::Delayed), makeEvent(Action::Custom),
              makeEvent(Action::Activated, Category::Custom, "notepad.exe", true),
              makeEvent(Action::End), makeEvent(Action::Deactivated, Category::Session),
              makeEvent(Action::Begin, Category::Session, "")})
            provider.event(sent);
        QCOMPARE(provider.pendingReplyCount(), 6); // only the session end waits
        QTRY_COMPARE(server->bodies.size(), 6);
        QStringList hits;
        for (int i = 0; i < 6; ++i)
            hits << server->hit(i, {"ec", "ea", "sc", "el", "ev"});
        hits.sort();
        QCOMPARE(server->hit(5, {"vp"}), "vp=640x480");
        QCOMPARE(hits, QStringList({"ea=activated&ec=My Rules&el=notepad.exe&ev=4000000000",
                                    "ea=begin&ec=session&el=&sc=start", "ea=deactivated&ec=session",
                                    "ea=delayed&ec=My Rules", "ea=end&ec=My Rules",
                                    "ea=x/y&ec=My Rules"}));
    }
    void sessionEndWaitIsBoundedWhenNoReplyComes()
    {
        server->silent = true;
        GoogleProvider provider;
        // An earlier hit still in flight is waited for as well.
        provider.event(makeEvent(Action::Begin, Category::Session));
        provider.event(makeEvent(Action::End, Category::Session));
        // Returning at all while both replies are outstanding shows the wait to
        // be bounded: a wait for the replies would never end.
        QCOMPARE(server->bodies.size(), 2);
        QCOMPARE(provider.pendingReplyCount(), 2);
    }
    void invalidHostOverrideSendsNothing()
    {
        const auto url = [](const char *host) {
            qputenv("CORVANE_MEASUREMENT_HOST", host);
            return GoogleProvider::collectUrl().toString();
        };
        QCOMPARE(url(" 127.0.0.1:8080 "), "http://127.0.0.1:8080/collect");
        QCOMPARE(url("[::1]:8080"), "http://[::1]:8080/collect");
        QVERIFY(url("").endsWith("/collect")); // the host built into the program
        // Only a host and a port: anything else could send the hits elsewhere.
        for (const char *refused : {"collector.example.org/x?y=1", "collector.example.org:http",
                                    "https://collector.example.org"})
            QVERIFY2(url(refused).isEmpty(), refused);
        // User info: refused. A session end would wait until its hit had arrived.
        qputenv("CORVANE_MEASUREMENT_HOST", "someone@" + server->hostAndPort());
        GoogleProvider provider;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("CORVANE_MEASUREMENT_HOST"));
        provider.event(makeEvent(Action::End, Category::Session));
        QCOMPARE(server->bodies.size(), 0);
    }

private:
    static QString counter(const QString &key)
    {
        return QSettings(KvAnalytics::countersPath(), QSettings::IniFormat).value(key).toString();
    }
    static void set(const QString &key, const QVariant &value) { QSettings().setValue(key, value); }
    static bool matches(const QString &pattern, const QString &text)
    {
        return QRegularExpression(pattern).match(text).hasMatch();
    }

    const TestStore store{QStringLiteral("KvTestMaker"), QStringLiteral("My App")};
    std::unique_ptr<MeasurementServer> server;
};

QTEST_MAIN(TestAnalytics)
#include "tst_analytics.moc"
