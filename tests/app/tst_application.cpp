#include "app/KvApplication.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "support/KvLazySingleton.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <signal.h>

namespace {

const QString endLine(50, QLatin1Char('-'));

// The program's log: its executable's base name plus ".log" in the
// application's local data directory. Worked out while the application
// object exists.
QString logFile;

QStringList logMessages()
{
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList messages;
    // The message starts after the time stamp, the category, the level and
    // the error column: "dd.MM.yy hh:mm::ss " + 14 + " [I] " + 10 + " ".
    const int messageColumn = 19 + 14 + 5 + 10 + 1;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (!line.isEmpty())
            messages << line.mid(messageColumn);
    }
    return messages;
}

// Records, at its destruction, the order of destruction and the log's last
// message at that moment.
QStringList teardown;

template<int N> struct Probe
{
    ~Probe()
    {
        const QStringList messages = logMessages();
        teardown << QStringLiteral("probe %1 after \"%2\"")
                        .arg(N)
                        .arg(messages.isEmpty() ? QString() : messages.last());
    }
};

} // namespace

// The application object over a simulated machine whose running program
// carries our version resource.
class TestApplication : public QObject
{
    Q_OBJECT

public:
    TestApplication(int &argc, char **argv)
        : argc(argc)
        , argv(argv)
    {}

private slots:
    void initTestCase();
    void namesTheProgramFromItsVersionResource();
    void writesTheStartLine();
    void terminationRequestEndsTheEventLoop();
    void endLineBeforeSingletonsLastCreatedFirst();
    void cleanupTestCase();

private:
    int &argc;
    char **argv;
    QTemporaryDir home;
    KvSimulatedMachine machine;
    QScopedPointer<KvApplication> application;
};

void TestApplication::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    // Analytics comes up with the application: its system-wide settings stay
    // in the test's folder and its reports on the loopback address.
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::SystemScope, home.filePath("system-config"));
    qputenv("CORVANE_MEASUREMENT_HOST", "127.0.0.1:1");

    const QString path = QStringLiteral("/opt/veltrom/bin/corvane");
    machine.addProcessWithId(4321, path);
    machine.setCurrentProcessId(4321);
    KvVersionResourceBuilder resource;
    resource.setFileVersion(1, 0, 148, 0);
    resource.addStringTable(0x0409, 0x04B0,
                            {{"CompanyName", "Veltrom"}, {"ProductName", "Corvane"}});
    machine.setVersionBlock(path, resource.build());
    machine.installAsCurrent();

    application.reset(new KvApplication(argc, argv));
    // Named, but not started: help and the version must leave no trace.
    QVERIFY(!QFile::exists(QStandardPaths::writableLocation(QStandardPaths::DataLocation)));
    application->start();
    logFile = QStandardPaths::writableLocation(QStandardPaths::DataLocation) + QLatin1Char('/') +
              QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() +
              QStringLiteral(".log");
}

void TestApplication::namesTheProgramFromItsVersionResource()
{
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Veltrom"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Corvane"));
    // Three parts: the fourth part of the file version is not the program's.
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral("1.0.148"));
    QVERIFY(!QCoreApplication::organizationDomain().isEmpty());
    // The name of the installed desktop file and icon.
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("app.corvane.Corvane"));
    // The names place the settings store, where analytics counted this run.
    QCOMPARE(QSettings().value(QStringLiteral("analytics/runCount")).toInt(), 1);
}

void TestApplication::writesTheStartLine()
{
    const QStringList messages = logMessages();
    QCOMPARE(messages, QStringList{QStringLiteral("Corvane 1.0.148 started")});
}

void TestApplication::terminationRequestEndsTheEventLoop()
{
    bool loopRan = false;
    QTimer::singleShot(0, [&loopRan] {
        loopRan = true;
        raise(SIGTERM);
    });
    // A watchdog, so that a lost request fails instead of hanging.
    QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });

    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(loopRan);
    QCOMPARE(logMessages().last(), QStringLiteral("SIGTERM received, stopping"));
}

void TestApplication::endLineBeforeSingletonsLastCreatedFirst()
{
    teardown.clear();
    KvLazySingleton<Probe<1>>::instance();
    KvLazySingleton<Probe<2>>::instance();
    QVERIFY(teardown.isEmpty());

    application.reset();

    QCOMPARE(teardown, (QStringList{QStringLiteral("probe 2 after \"%1\"").arg(endLine),
                                    QStringLiteral("probe 1 after \"%1\"").arg(endLine)}));
    // Exactly fifty hyphens, nothing before or after them.
    QFile file(logFile);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.size() >= 2);
    QVERIFY(lines.last().isEmpty());
    const QByteArray last = lines.at(lines.size() - 2);
    QVERIFY(last.endsWith("  " + endLine.toLatin1()));
    QCOMPARE(last.count('-'), 50);
    // The analytics singleton went too, and counted the run's time.
    QVERIFY(QSettings().contains(QStringLiteral("analytics/runTime")));
}

void TestApplication::cleanupTestCase()
{
    application.reset();
    machine.uninstall();
}

int main(int argc, char *argv[])
{
    // The test object makes the application itself; QTest must not.
    TestApplication test(argc, argv);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
