#include "platform/KvPlatformSession.h"

#include <QCoreApplication>
#include <QStringList>
#include <QtTest>

#include <signal.h>

namespace {

volatile sig_atomic_t foreignHandlerCalls = 0;

extern "C" void foreignHandler(int)
{
    foreignHandlerCalls = foreignHandlerCalls + 1;
}

void (*currentDisposition(int signalNumber))(int)
{
    struct sigaction action = {};
    sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
}

} // namespace

// The Linux session backend: real signals sent to this very process.
class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void signalsArriveLaterOnTheEventLoop_data();
    void signalsArriveLaterOnTheEventLoop();
    void everySignalIsDeliveredOnce();
    void handlerMayClearItselfWhileDelivering();
    void ignoredSignalsStayIgnored();
    void clearingRestoresWhatWasThereBefore();
    void displayFromEnvironment_data();
    void displayFromEnvironment();

private:
    KvPlatformSession &session() { return *KvPlatformSession::native(); }
};

void TestSession::cleanup()
{
    session().setTerminationHandler(nullptr);
}

void TestSession::signalsArriveLaterOnTheEventLoop_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("name");
    QTest::newRow("SIGTERM") << SIGTERM << "SIGTERM";
    QTest::newRow("SIGINT") << SIGINT << "SIGINT";
    QTest::newRow("SIGHUP") << SIGHUP << "SIGHUP";
}

void TestSession::signalsArriveLaterOnTheEventLoop()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, name);

    QStringList received;
    QVERIFY(session().setTerminationHandler(
        [&received](const QString &request) { received << request; }));

    raise(signalNumber);
    // Nothing may happen inside the signal handler itself.
    QVERIFY(received.isEmpty());

    QTRY_COMPARE(received, QStringList{name});
}

void TestSession::everySignalIsDeliveredOnce()
{
    QStringList received;
    QVERIFY(session().setTerminationHandler(
        [&received](const QString &request) { received << request; }));
    // Setting a handler again replaces it without catching twice.
    QVERIFY(session().setTerminationHandler(
        [&received](const QString &request) { received << request; }));

    raise(SIGTERM);
    raise(SIGHUP);
    raise(SIGINT);

    const QStringList expected{"SIGTERM", "SIGHUP", "SIGINT"};
    QTRY_COMPARE(received, expected);
    QCoreApplication::processEvents();
    QCOMPARE(received, expected);
}

void TestSession::handlerMayClearItselfWhileDelivering()
{
    // SIGHUP goes to a harmless handler of our own once ours is cleared, so a
    // second pending request cannot end the test run.
    struct sigaction harmless = {};
    harmless.sa_handler = foreignHandler;
    struct sigaction saved = {};
    sigaction(SIGHUP, &harmless, &saved);
    foreignHandlerCalls = 0;

    int calls = 0;
    QVERIFY(session().setTerminationHandler([this, &calls](const QString &) {
        ++calls;
        session().setTerminationHandler(nullptr);
    }));
    raise(SIGHUP);
    raise(SIGHUP);
    QTRY_COMPARE(calls, 1);
    QCoreApplication::processEvents();
    QCOMPARE(calls, 1);
    QVERIFY(currentDisposition(SIGHUP) == &foreignHandler);

    // Catching works again afterwards.
    QStringList received;
    QVERIFY(session().setTerminationHandler(
        [&received](const QString &request) { received << request; }));
    raise(SIGHUP);
    QTRY_COMPARE(received, QStringList{"SIGHUP"});
    session().setTerminationHandler(nullptr);
    sigaction(SIGHUP, &saved, nullptr);
}

void TestSession::ignoredSignalsStayIgnored()
{
    // As under nohup: whoever started the program asked it to ignore hang-ups.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved = {};
    sigaction(SIGHUP, &ignore, &saved);

    QStringList received;
    QVERIFY(session().setTerminationHandler(
        [&received](const QString &request) { received << request; }));
    QVERIFY(currentDisposition(SIGHUP) == SIG_IGN);
    raise(SIGHUP);
    raise(SIGTERM);
    QTRY_COMPARE(received, QStringList{"SIGTERM"});

    session().setTerminationHandler(nullptr);
    QVERIFY(currentDisposition(SIGHUP) == SIG_IGN);
    sigaction(SIGHUP, &saved, nullptr);
}

void TestSession::clearingRestoresWhatWasThereBefore()
{
    struct sigaction foreign = {};
    foreign.sa_handler = foreignHandler;
    struct sigaction saved = {};
    sigaction(SIGINT, &foreign, &saved);

    // The test framework has its own SIGTERM handler; it must come back too.
    const auto sigtermBefore = currentDisposition(SIGTERM);

    QVERIFY(session().setTerminationHandler([](const QString &) {}));
    QVERIFY(currentDisposition(SIGINT) != &foreignHandler);
    QVERIFY(currentDisposition(SIGTERM) != sigtermBefore);

    QVERIFY(session().setTerminationHandler(nullptr));
    QVERIFY(currentDisposition(SIGINT) == &foreignHandler);
    QVERIFY(currentDisposition(SIGTERM) == sigtermBefore);

    foreignHandlerCalls = 0;
    raise(SIGINT);
    QCOMPARE(int(foreignHandlerCalls), 1);
    sigaction(SIGINT, &saved, nullptr);
}

void TestSession::displayFromEnvironment_data()
{
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<bool>("expected");
    QTest::newRow("none") << QByteArray() << QByteArray() << false;
    QTest::newRow("X11") << QByteArray(":0") << QByteArray() << true;
    QTest::newRow("Wayland") << QByteArray() << QByteArray("wayland-0") << true;
    QTest::newRow("both") << QByteArray(":1") << QByteArray("wayland-1") << true;
}

void TestSession::displayFromEnvironment()
{
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, wayland);
    QFETCH(bool, expected);

    const QByteArray savedDisplay = qgetenv("DISPLAY");
    const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
    auto set = [](const char *name, const QByteArray &value) {
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    set("DISPLAY", display);
    set("WAYLAND_DISPLAY", wayland);
    const bool hasDisplay = session().hasDisplay();
    set("DISPLAY", savedDisplay);
    set("WAYLAND_DISPLAY", savedWayland);
    QCOMPARE(hasDisplay, expected);
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
