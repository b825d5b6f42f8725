#include "LogTail.h"
#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "rules/RulesEngine.h"

#include <QDir>
#include <QLibraryInfo>
#include <QLocalSocket>
#include <QSettings>
#include <QtTest>

#include <unistd.h>

// The foreground on a real Sway: the test starts Sway headless as an
// ordinary user (it refuses to run as root) and Qt windows on it, each a
// copy of a small window program under a name of its own. Sway gives every
// new window the focus; Corvane follows it through Sway's IPC socket alone,
// with no session bus, and a Foreground rule suspends its target while its
// condition's window has the focus. Sway ending and starting again, on a
// socket of another name, is survived.
namespace {

// Sway on a runtime folder of its own, as nobody, ended with the object.
class SwayServer : public QProcess
{
public:
    explicit SwayServer(const QString &runtime)
        : runtime(runtime)
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
        environment.insert(QStringLiteral("HOME"), runtime);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
        environment.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
        environment.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
        setProcessEnvironment(environment);
        setProcessChannelMode(QProcess::MergedChannels);
    }
    ~SwayServer() override { stop(); }

    // False with Sway's output when it ends or has no sockets after 30 s.
    bool start()
    {
        QProcess::start(QStringLiteral("setpriv"),
                        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                         QStringLiteral("--clear-groups"), QStringLiteral("sway"),
                         QStringLiteral("-c"), runtime + QStringLiteral("/config")});
        waitForStarted();
        return QTest::qWaitFor(
                   [this] {
                       return state() != Running || (!socket().isEmpty() && !display().isEmpty());
                   },
                   30000) &&
               state() == Running;
    }
    void stop()
    {
        terminate();
        if (!waitForFinished(10000))
            kill();
        waitForFinished();
    }
    QString socket() const { return find(QStringLiteral("sway-ipc.*.sock")); }
    QString display() const { return QFileInfo(find(QStringLiteral("wayland-?"))).fileName(); }
    QString problem() { return QStringLiteral("sway did not start: ") + readAll(); }

    // A copy of the window program at path, on this Sway.
    QProcess *window(const QString &path) const
    {
        QFile::copy(QStringLiteral(TEST_WINDOW), path);
        auto *window = new QProcess;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), display());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
        window->setProcessEnvironment(environment);
        window->start(path, QStringList());
        return window;
    }

private:
    QString find(const QString &pattern) const
    {
        const QFileInfoList found = QDir(runtime).entryInfoList({pattern}, QDir::System);
        return found.isEmpty() ? QString() : found.first().filePath();
    }

    QString runtime;
};

// Ends a window program with its object.
struct WindowEnd
{
    void operator()(QProcess *window) const
    {
        window->kill();
        window->waitForFinished();
        delete window;
    }
};
using Window = std::unique_ptr<QProcess, WindowEnd>;

} // namespace

class TestSway : public QObject
{
    Q_OBJECT

private slots:
    void focusDrivesAForegroundRule();
    void aRuleOnEverythingSparesTheDesktop();

private:
    TestStore store;
};

void TestSway::focusDrivesAForegroundRule()
{
    KV_REQUIRE_CAPABILITY(::geteuid() == 0, QStringLiteral("Sway runs as nobody: needs root"));
    KV_REQUIRE_CAPABILITY(!QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty(),
                          QStringLiteral("sway is not installed (Debian package sway)"));
    KV_REQUIRE_CAPABILITY(
        QFile::exists(QLibraryInfo::location(QLibraryInfo::PluginsPath) +
                      QStringLiteral("/platforms/libqwayland-generic.so")),
        QStringLiteral("Qt's Wayland platform is not installed (Debian package qtwayland5)"));
    QTemporaryDir runtime;
    QFile config(runtime.filePath(QStringLiteral("config")));
    QVERIFY(config.open(QIODevice::WriteOnly) && config.write("xwayland disable\n") > 0);
    config.close();
    QVERIFY(::chown(QFile::encodeName(runtime.path()).constData(), 65534, 65534) == 0);
    SwayServer sway(runtime.path());
    KV_REQUIRE_CAPABILITY(sway.start(), sway.problem());

    qputenv("SWAYSOCK", QFile::encodeName(sway.socket()));
    qputenv("WAYLAND_DISPLAY", sway.display().toUtf8());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    const LogTail log;
    const auto closings = [&] {
        return log.lines().filter(QStringLiteral("Sway's IPC socket at")).size();
    };
    SleepingCopy target(store.path(QStringLiteral("corvane-test-target")));
    const QString player = store.path(QStringLiteral("corvane-test-player"));
    StoredRule stored{{}, true, {target.program()}, {player}};
    stored.conditionState = 1; // foreground
    stored.action = 1;         // suspend
    storeRule(1, stored);
    RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));

    for (int run = 0; run < 2; ++run) {
        if (run == 1) {
            sway.stop();
            QTRY_COMPARE_WITH_TIMEOUT(closings(), 1, 10000);
            QVERIFY2(sway.start(), qPrintable(sway.problem()));
        }
        const Window playing(sway.window(player));
        QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(target.processId()), 20000);
        Window other(sway.window(store.path(QStringLiteral("corvane-test-other"))));
        QTRY_VERIFY_WITH_TIMEOUT(!ProcFsProbe::isStopped(target.processId()), 20000);
        // The focus goes back to the player's window, which is no new window.
        other.reset();
        QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(target.processId()), 20000);
        other.reset(sway.window(store.path(QStringLiteral("corvane-test-other"))));
        QTRY_VERIFY_WITH_TIMEOUT(!ProcFsProbe::isStopped(target.processId()), 20000);
    }
    QCOMPARE(closings(), 1);
    QCOMPARE(log.lines().filter(QStringLiteral("native Wayland windows are not seen")),
             QStringList());
}

namespace {

// Whether Sway answers a request on its IPC socket (get_version).
bool answers(const QString &socket)
{
    QLocalSocket ipc;
    ipc.connectToServer(socket);
    if (!ipc.waitForConnected(5000))
        return false;
    QByteArray request("i3-ipc");
    const quint32 header[2] = {0, 7};
    request.append(reinterpret_cast<const char *>(header), sizeof header);
    ipc.write(request);
    return ipc.waitForBytesWritten(5000) && ipc.waitForReadyRead(5000) &&
           ipc.readAll().startsWith("i3-ipc");
}

} // namespace

void TestSway::aRuleOnEverythingSparesTheDesktop()
{
    KV_REQUIRE_CAPABILITY(::geteuid() == 0, QStringLiteral("Sway runs as nobody: needs root"));
    KV_REQUIRE_CAPABILITY(!QStandardPaths::findExecutable(QStringLiteral("sway")).isEmpty(),
                          QStringLiteral("sway is not installed (Debian package sway)"));
    // Sway, the program and one more process, all of one ordinary user, as a
    // desktop session has them; the program suspends whatever it may.
    QTemporaryDir runtime, home;
    QFile config(runtime.filePath(QStringLiteral("config")));
    QVERIFY(config.open(QIODevice::WriteOnly) && config.write("xwayland disable\n") > 0);
    config.close();
    {
        QSettings rules(home.filePath(QStringLiteral("config/Veltrom/Corvane.conf")),
                        QSettings::IniFormat);
        rules.setValue(QStringLiteral("rules/{1}/name"), QStringLiteral("everything"));
        rules.setValue(QStringLiteral("rules/{1}/enabled"), 2);
        rules.setValue(QStringLiteral("rules/{1}/target/selectedProcesses/1/value"), "*");
        rules.setValue(QStringLiteral("rules/{1}/target/selectedProcesses/size"), 1);
        rules.setValue(QStringLiteral("rules/{1}/target/action"), 1);
    }
    for (const QString &path : {runtime.path(), home.path()})
        QVERIFY(QProcess::execute(QStringLiteral("chown"), {"-R", "65534:65534", path}) == 0);
    SwayServer sway(runtime.path());
    KV_REQUIRE_CAPABILITY(sway.start(), sway.problem());
    const QStringList asNobody{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups")};
    QProcess other, corvane;
    other.start(QStringLiteral("setpriv"), asNobody + QStringList{"sleep", "600"});
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.insert(QStringLiteral("SWAYSOCK"), sway.socket());
    environment.insert(QStringLiteral("CORVANE_MEASUREMENT_HOST"),
                       qEnvironmentVariable("CORVANE_MEASUREMENT_HOST"));
    corvane.setProcessEnvironment(environment);
    corvane.start(QStringLiteral("setpriv"),
                  asNobody + QStringList{QStringLiteral(CORVANE_EXECUTABLE)});

    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(other.processId()), 30000);
    QVERIFY(!ProcFsProbe::isStopped(sway.processId()));
    QVERIFY(!ProcFsProbe::isStopped(corvane.processId()));
    QVERIFY(answers(sway.socket()));
    QFile log(home.filePath(QStringLiteral("data/Veltrom/Corvane/corvane.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains(QStringLiteral("rule \"everything\" leaves process #%1 (%2) "
                                                  "alone: it is the display server")
                                       .arg(sway.processId())
                                       .arg(QStandardPaths::findExecutable("sway"))
                                       .toUtf8()));
    corvane.terminate();
    QVERIFY(corvane.waitForFinished(30000));
    QVERIFY(!ProcFsProbe::isStopped(other.processId()));
    other.kill();
    other.waitForFinished();
}

QTEST_MAIN(TestSway)
#include "tst_sway.moc"
