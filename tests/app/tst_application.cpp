#include "app/KvApplication.h"
#include "app/KvSettingsBackup.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "platform/simulated/KvSimulatedMachine.h"

#include "LogTail.h"
#include "TestStore.h"

#include <QtTest>

#include <signal.h>

namespace {

// A hand edit that Qt's reader cuts short without a word: the value ends at the ';'.
const QByteArray handEdited("[rules]\n1\\name=Games; Steam\nsize=1\n");

} // namespace

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
    void settingsThatDoNotReadCleanlyAreKept();
    void readsCleanly_data();
    void readsCleanly();
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

void TestApplication::settingsThatDoNotReadCleanlyAreKept()
{
    const QFileInfo settings(QSettings().fileName());
    const QStringList backups = settings.dir().entryList({"Game.conf.*"});
    QCOMPARE(backups.size(), 1);
    QVERIFY(QRegularExpression("^Game\\.conf\\.\\d{4}(-\\d\\d){2}T\\d\\d(-\\d\\d){2}\\.bak$")
                .match(backups.first())
                .hasMatch());
    QFile backup(settings.dir().filePath(backups.first()));
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), handEdited);
    QFile log(KvDebug::logFilePath());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString message = "settings file \"" + settings.filePath() +
                            "\" did not read cleanly; the original is kept as \"" +
                            backup.fileName() + "\"\n";
    QVERIFY(QString::fromUtf8(log.readAll())
                .contains(QRegularExpression("\\[C\\] +" + QRegularExpression::escape(message))));
    // The organisation's file, as Qt wrote it, is not copied.
    QDir organization = settings.dir();
    QVERIFY(organization.cdUp() && organization.entryList({"Contoso.conf.*"}).isEmpty());
}

void TestApplication::readsCleanly_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("clean");
    QTest::newRow("as Qt writes it")
        << QByteArray("[General]\nguid={1}\n\n[rules]\n1\\name=\"a;b\"\n") << true;
    QTest::newRow("comments, blanks, order")
        << QByteArray(";mine\n[rules]\n size = 1 \n\n1\\n=a\n") << true;
    QTest::newRow("line without =") << QByteArray("[rules]\nsize=1\nGames\n") << false;
    QTest::newRow("key twice") << QByteArray("[rules]\nsize=1\nsize=2\n") << false;
    QTest::newRow("quote left open") << QByteArray("[rules]\nname=\"a\nsize=1\n") << false;
    QTest::newRow("unknown escape") << QByteArray("[rules]\npath=C:\\Games\n") << false;
}

void TestApplication::readsCleanly()
{
    QFETCH(QByteArray, text);
    QTemporaryDir directory;
    QFile file(directory.filePath("Game.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    file.close();
    QTEST(KvSettingsBackup::readsCleanly(file.fileName()), "clean");
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
    // The organisation's settings as Qt writes them, the application's hand-edited.
    QSettings(QStringLiteral("Contoso")).setValue("guid", "{1}");
    QFile settings(QSettings().fileName());
    if (!QDir().mkpath(QFileInfo(settings).path()) || !settings.open(QIODevice::WriteOnly) ||
        settings.write(handEdited) != handEdited.size())
        return 1;
    settings.close();
    const bool wroteNothing = !QFile::exists(store.path(QStringLiteral("data")));
    application->start();
    TestApplication test(application, wroteNothing);
    const int result = QTest::qExec(&test, argc, argv);
    machine.uninstall();
    return result;
}

#include "tst_application.moc"
