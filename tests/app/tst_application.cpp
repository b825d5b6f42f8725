// The application object of a program whose version resource the simulated machine holds.

#include "LogTail.h"
#include "SimulatedMachine.h"
#include "TestStore.h"
#include "analytics/KvAnalytics.h"
#include "app/KvApplication.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "rules/KvSettings.h"
#include "rules/KvSettingsFile.h"

#include <QtTest>

#include <signal.h>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

// A hand edit that Qt's reader cuts short without a word: the value ends at the ';'.
const QByteArray handEdited("[rules]\n1\\name=Games; Steam\nsize=1\n");

// Windows keeps the settings in the registry.
#ifdef Q_OS_WIN
const bool settingsAreAFile = false;
#else
const bool settingsAreAFile = true;
#endif

// A request to end the program, as it comes from outside: what a service
// manager sends, and what QProcess::terminate() sends a program without a window.
#ifdef Q_OS_WIN
const QString request = "WM_CLOSE";
void requestTheEnd()
{
    PostThreadMessageW(GetCurrentThreadId(), WM_CLOSE, 0, 0);
}
#else
const QString request = "SIGTERM";
void requestTheEnd()
{
    raise(SIGTERM);
}
#endif

// Made by main, before the command line is read, as the program makes it.
std::unique_ptr<KvApplication> application;
// Naming must leave no trace: help and the version write nothing.
bool namingWroteNothing = false;

class TestApplication : public QObject
{
    Q_OBJECT

private slots:
    void namesTheProgramFromItsVersionResource()
    {
        QCOMPARE(QCoreApplication::organizationName(), "Contoso");
        QCOMPARE(QCoreApplication::applicationName(), "Game");
        // The fourth part of the file version is not the program's.
        QCOMPARE(QCoreApplication::applicationVersion(), "2.5.7");
        QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
        // The name of the installed desktop file and icon follows the maker's domain.
        QCOMPARE(QGuiApplication::desktopFileName(), "app.corvane.Game");
        QVERIFY(namingWroteNothing && application->hasGui());
        // The names place the program's files, where analytics counted this run.
        QCOMPARE(counters().value("runCount").toInt(), 1);
    }
    void terminationRequestEndsTheEventLoop()
    {
        // One that comes while no loop runs (at start-up) is seen at the next step, and
        // what it stops goes first.
        bool stopped = false;
        application->setStop([&stopped] { stopped = true; });
        requestTheEnd();
        QVERIFY(application->stopRequested() && stopped);
        application->setStop(nullptr);
        const LogTail log;
        QTimer::singleShot(0, requestTheEnd);
        QObject watchdog; // so that a lost request fails instead of hanging
        QTimer::singleShot(5000, &watchdog, [] { QCoreApplication::exit(99); });
        QCOMPARE(application->exec(), 0);
        QCOMPARE(log.lines().filter(QRegularExpression("\\[I\\].*" + request)).size(), 1);
    }
    void settingsAreWrittenOnlyForAChangeAndKeptFirst()
    {
        if (!settingsAreAFile)
            QSKIP("the settings are kept in the registry, which has no file to keep");
        // The run wrote nothing into the user's file. A change of the program's, which Qt
        // writes in its own spelling, keeps the original first, beside it.
        const QString path = KvSettingsFile::instance().path();
        QCOMPARE(TestStore::contents(path), handEdited);
        const LogTail log;
        KvSettings store;
        store.setValue("rules/{1}/enabled", 2);
        store.publish();
        const QStringList backups = QFileInfo(path).dir().entryList({"Game.conf.*"});
        QVERIFY(backups.size() == 1 &&
                QRegularExpression("^Game\\.conf\\.\\d{4}(-\\d\\d){2}T\\d\\d(-\\d\\d){2}\\.bak$")
                    .match(backups.first())
                    .hasMatch());
        const QString backup = QFileInfo(path).dir().filePath(backups.first());
        QCOMPARE(TestStore::contents(backup), handEdited);
        const QRegularExpression line("\\[C\\] +settings file \"" +
                                      QRegularExpression::escape(path) +
                                      "\" did not read cleanly; the original is kept as \"" +
                                      QRegularExpression::escape(backup) + "\"$");
        QCOMPARE(log.lines().filter(line).size(), 1);
        QCOMPARE(QSettings().value("rules/{1}/enabled").toInt(), 2);
    }
    void runTimeIsCountedWhenTheProgramEnds()
    {
        application.reset();
        QVERIFY(counters().contains("runTime"));
    }

private:
    static QSettings counters() { return {KvAnalytics::countersPath(), QSettings::IniFormat}; }
};

int main(int argc, char *argv[])
{
    const TestStore store;
    SimulatedMachine machine;
    machine.setOwnId(machine.addProcess("/opt/contoso/game"));
    KvVersionResourceBuilder resource;
    resource.setFileVersion(2, 5, 7, 9);
    resource.addStringTable(0x0409, 0x04B0, {{"CompanyName", "Contoso"}, {"ProductName", "Game"}});
    machine.setVersionBlock("/opt/contoso/game", resource.build());
    // The test makes the application object itself; QTest must not.
    application = std::make_unique<KvApplication>(argc, argv, true);
    // The application's settings hand-edited.
    QFile settings(QSettings().fileName());
    if (settingsAreAFile &&
        (!QDir().mkpath(QFileInfo(settings).path()) || !settings.open(QIODevice::WriteOnly) ||
         settings.write(handEdited) != handEdited.size()))
        return 1;
    settings.close();
    namingWroteNothing = !QFile::exists(store.path(QStringLiteral("data")));
    application->start();
    TestApplication test;
    const int result = QTest::qExec(&test, argc, argv);
    application.reset();
    return result;
}

#include "tst_application.moc"
