#include "app/KvApplication.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "platform/simulated/KvSimulatedMachine.h"

#include "LogTail.h"
#include "TestStore.h"

#include <QtTest>

#include <signal.h>

// The application object of a program whose version resource the simulated machine holds.
class TestApplication : public QObject
{
    Q_OBJECT

public:
    TestApplication(KvApplication *application, bool namingWroteNothing)
        : application(application)
        , namingWroteNothing(namingWroteNothing)
    {}

private slots:
    void namesTheProgramFromItsVersionResource();
    void terminationRequestEndsTheEventLoop();
    void runTimeIsCountedWhenTheProgramEnds();

private:
    QScopedPointer<KvApplication> application;
    // Naming comes before the command line is read: help and the version
    // must leave no trace.
    bool namingWroteNothing;
};

void TestApplication::namesTheProgramFromItsVersionResource()
{
    QCOMPARE(QCoreApplication::organizationName(), "Contoso");
    QCOMPARE(QCoreApplication::applicationName(), "Game");
    // The fourth part of the file version is not the program's.
    QCOMPARE(QCoreApplication::applicationVersion(), "2.5.7");
    QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
    // The name of the installed desktop file and icon follows the maker's domain.
    QCOMPARE(QGuiApplication::desktopFileName(), "app.corvane.Game");
    QVERIFY(namingWroteNothing);
    // The names place the settings store, where analytics counted this run.
    QCOMPARE(QSettings().value("analytics/runCount").toInt(), 1);
}

void TestApplication::terminationRequestEndsTheEventLoop()
{
    const LogTail log;
    QTimer::singleShot(0, [] { raise(SIGTERM); });
    QObject watchdog; // so that a lost request fails instead of hanging
    QTimer::singleShot(5000, &watchdog, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(log.lines().filter(QRegularExpression("\\[I\\].*SIGTERM")).size(), 1);
}

void TestApplication::runTimeIsCountedWhenTheProgramEnds()
{
    application.reset();
    QVERIFY(QSettings().contains("analytics/runTime"));
}

int main(int argc, char *argv[])
{
    const TestStore store;
    KvSimulatedMachine machine;
    machine.addProcessWithId(4321, QStringLiteral("/opt/contoso/game"));
    machine.setCurrentProcessId(4321);
    KvVersionResourceBuilder resource;
    resource.setFileVersion(2, 5, 7, 9);
    resource.addStringTable(0x0409, 0x04B0, {{"CompanyName", "Contoso"}, {"ProductName", "Game"}});
    machine.setVersionBlock(QStringLiteral("/opt/contoso/game"), resource.build());
    machine.installAsCurrent();
    // The test makes the application object itself; QTest must not.
    auto *application = new KvApplication(argc, argv);
    const bool wroteNothing = !QFile::exists(store.path(QStringLiteral("data")));
    application->start();
    TestApplication test(application, wroteNothing);
    const int result = QTest::qExec(&test, argc, argv);
    machine.uninstall();
    return result;
}

#include "tst_application.moc"
