// The Linux session backend: real signals sent to this very process.

#include "platform/KvPlatformSession.h"

#include <QtTest>

#include <signal.h>

extern "C" void foreignHandler(int) {}

using Disposition = void (*)(int);
Disposition disposition(int signalNumber)
{
    struct sigaction action = {};
    sigaction(signalNumber, nullptr, &action);
    return action.sa_handler;
}

class TestSession : public QObject
{
    Q_OBJECT

    KvPlatformSession &session() { return *KvPlatformSession::native(); }
    KvStatus record()
    {
        received.clear();
        return session().setTerminationHandler([this](const QString &name) { received << name; });
    }
    QStringList received;

private slots:
    void cleanup() { session().setTerminationHandler(nullptr); }
    void signalsArriveOnceLaterOnTheEventLoop()
    {
        // A library's handler and the test framework's come back when catching ends.
        const Disposition savedInterrupt = signal(SIGINT, foreignHandler);
        const Disposition framework = disposition(SIGTERM);
        // Setting a handler again replaces it without catching twice.
        QVERIFY(record() && record());
        QVERIFY(disposition(SIGINT) != &foreignHandler && disposition(SIGTERM) != framework);
        for (int request : {SIGTERM, SIGHUP, SIGINT})
            raise(request);
        // Nothing may happen inside the signal handler itself.
        QVERIFY(received.isEmpty());
        const QStringList expected{"SIGTERM", "SIGHUP", "SIGINT"};
        QTRY_COMPARE(received, expected);
        QCoreApplication::processEvents();
        QCOMPARE(received, expected);
        QVERIFY(session().setTerminationHandler(nullptr));
        QVERIFY(disposition(SIGINT) == &foreignHandler && disposition(SIGTERM) == framework);
        signal(SIGINT, savedInterrupt);
    }
    void ignoredSignalsStayIgnored()
    {
        // As under nohup: whoever started the program asked it to ignore hang-ups.
        const Disposition saved = signal(SIGHUP, SIG_IGN);
        QVERIFY(record() && disposition(SIGHUP) == SIG_IGN);
        session().setTerminationHandler(nullptr);
        QVERIFY(disposition(SIGHUP) == SIG_IGN);
        signal(SIGHUP, saved);
    }
    void displayFromEnvironment()
    {
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        QVERIFY(!session().hasDisplay());
        qputenv("DISPLAY", ":0");
        QVERIFY(session().hasDisplay());
        qunsetenv("DISPLAY");
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        QVERIFY(session().hasDisplay());
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
