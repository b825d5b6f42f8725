// The application object of a program whose version resource the simulated machine holds.

#include "LogTail.h"
#include "SimulatedMachine.h"
#include "TestStore.h"
#include "app/KvApplication.h"
#include "app/KvSettingsBackup.h"
#include "platform/common/KvVersionResourceBuilder.h"

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
        // The names place the settings store, where analytics counted this run.
        QCOMPARE(QSettings().value("analytics/runCount").toInt(), 1);
    }
    void terminationRequestEndsTheEventLoop()
    {
        const LogTail log;
#ifdef Q_OS_WIN
        // What QProcess::terminate() sends a program without a window.
        const QString request = "WM_CLOSE";
        QTimer::singleShot(0, [] { PostThreadMessageW(GetCurrentThreadId(), WM_CLOSE, 0, 0); });
#else
        const QString request = "SIGTERM";
        QTimer::singleShot(0, [] { raise(SIGTERM); });
#endif
        QObject watchdog; // so that a lost request fails instead of hanging
        QTimer::singleShot(5000, &watchdog, [] { QCoreApplication::exit(99); });
        QCOMPARE(application->exec(), 0);
        QCOMPARE(log.lines().filter(QRegularExpression("\\[I\\].*" + request)).size(), 1);
    }
    void settingsThatDoNotReadCleanlyAreKept()
    {
        if (!settingsAreAFile)
            QSKIP("the settings are kept in the registry, which has no file to keep");
        const QFileInfo settings(QSettings().fileName());
        const QStringList backups = settings.dir().entryList({"Game.conf.*"});
        QCOMPARE(backups.size(), 1);
        QVERIFY(QRegularExpression("^Game\\.conf\\.\\d{4}(-\\d\\d){2}T\\d\\d(-\\d\\d){2}\\.bak$")
                    .match(backups.first())
                    .hasMatch());
        QFile backup(settings.dir().filePath(backups.first()));
        QVERIFY(backup.open(QIODevice::ReadOnly) && backup.readAll() == handEdited);
        const QString message = "settings file \"" + settings.filePath() +
                                "\" did not read cleanly; the original is kept as \"" +
                                backup.fileName() + "\"\n";
        QFile log(KvDebug::logFilePath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(
            QString::fromUtf8(log.readAll())
                .contains(QRegularExpression("\\[C\\] +" + QRegularExpression::escape(message))));
        // The organisation's file, as Qt wrote it, is not copied.
        QDir organization = settings.dir();
        QVERIFY(organization.cdUp() && organization.entryList({"Contoso.conf.*"}).isEmpty());
    }
    void readsCleanly()
    {
        const QList<QPair<QByteArray, bool>> texts{
            {"[General]\nguid={1}\n\n[rules]\n1\\name=\"a;b\"\n", true}, // as Qt writes it
            {";mine\n[rules]\n size = 1 \n\n1\\n=a\n", true},            // comments, blanks, order
            {"[rules]\nsize=1\nGames\n", false},                         // a line without =
            {"[rules]\nsize=1\nsize=2\n", false},                        // a key twice
            {"[rules]\nname=\"a\nsize=1\n", false},                      // a quote left open
            {"[rules]\npath=C:\\Games\n", false}};                       // an unknown escape
        for (const auto &[text, clean] : texts) {
            QTemporaryFile file;
            QVERIFY(file.open() && file.write(text) == text.size() && file.flush());
            QVERIFY2(KvSettingsBackup::readsCleanly(file.fileName()) == clean, text.constData());
        }
    }
    void runTimeIsCountedWhenTheProgramEnds()
    {
        application.reset();
        QVERIFY(QSettings().contains("analytics/runTime"));
    }
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
    // The organisation's settings as Qt writes them, the application's hand-edited.
    QSettings(QStringLiteral("Contoso")).setValue("guid", "{1}");
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
