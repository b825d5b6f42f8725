#include "support/KvLog.h"

#include "ShieldedProgramStart.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdlib>
#include <ctime>

namespace {

const QString timeStampPattern = QStringLiteral("\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d::\\d\\d");

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

// The line without its time stamp (the first 18 characters and a blank).
QString withoutTime(const QString &line)
{
    return line.mid(19);
}

QtMessageHandler testHandler = nullptr;

// The framework output of thousands of lines would bury the test's report.
void quietHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtInfoMsg && type != QtDebugMsg && type != QtCriticalMsg)
        testHandler(type, context, message);
}

int sideEffects = 0;
int countedSideEffect()
{
    ++sideEffects;
    return 1;
}

} // namespace

class LoggingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void examplesAreWrittenByteForByte();
    void categoryColumnIsCutOrPadded_data();
    void categoryColumnIsCutOrPadded();
    void errorColumn_data();
    void errorColumn();
    void timeStampIsUtc();
    void itemsAreStreamedWithoutSeparators();
    void errorCodeIsReadBeforeTheMessageIsBuilt();
    void disabledLevelBuildsNothing();
    void messageTextIsKeptButCannotForgeLines_data();
    void messageTextIsKeptButCannotForgeLines();
    void writersInThreadsNeverInterleave();
    void twoRunsOfTheProgramAppendToOneFile();

private:
    QStringList newLines();

    QString logPath;
    int seenLines = 0;
};

void LoggingTest::initTestCase()
{
    testHandler = qInstallMessageHandler(quietHandler);
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("VeltromTest"));
    QCoreApplication::setApplicationName(QStringLiteral("CorvaneLogging"));
    logPath = KvDebug::logFilePath();
    QVERIFY(logPath.endsWith(QStringLiteral("/VeltromTest/CorvaneLogging/tst_logging.log")));
    QFile::remove(logPath);
}

void LoggingTest::init()
{
    seenLines = readLines(logPath).size();
}

QStringList LoggingTest::newLines()
{
    const QStringList lines = readLines(logPath);
    const QStringList fresh = lines.mid(seenLines);
    seenLines = lines.size();
    return fresh;
}

void LoggingTest::examplesAreWrittenByteForByte()
{
    const QDateTime time(QDate(2026, 12, 5), QTime(19, 58, 25), Qt::UTC);
    QCOMPARE(KvDebug::formatLine(time, "KvProcessGovernor", QtInfoMsg, false, 0,
                                 QStringLiteral("process #1234 CPU limited to 30%")),
             QStringLiteral("05.12.26 19:58::25 [KvProcessGov] [I]            process #1234 CPU "
                            "limited to 30%"));

    kvInfo(lcGovernor) << "process #" << 1234 << " CPU limited to " << 30 << "%";
    KvPlatformKernel::current().setLastError(5);
    kvCriticalWithError(lcGovernor) << "failed to assign process #" << 1234 << " to job object";
    KvMessageLogger(nullptr, 0, nullptr).info() << QString(50, QLatin1Char('-'));

    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 3);
    for (const QString &line : lines)
        QVERIFY2(QRegularExpression(QStringLiteral("^") + timeStampPattern + QStringLiteral(" "))
                     .match(line)
                     .hasMatch(),
                 qPrintable(line));
    QCOMPARE(withoutTime(lines[0]),
             QStringLiteral("[KvProcessGov] [I]            process #1234 CPU limited to 30%"));
    QCOMPARE(withoutTime(lines[1]), QStringLiteral("[KvProcessGov] [C]          5 failed to "
                                                   "assign process #1234 to job object"));
    QCOMPARE(withoutTime(lines[2]),
             QStringLiteral("               [I]            "
                            "--------------------------------------------------"));
}

void LoggingTest::categoryColumnIsCutOrPadded_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("column");

    kvInfo(lcGovernor) << "x";
    kvInfo(lcNotifier) << "x";
    kvInfo(lcCorvane) << "x";
    kvDebug(lcCorvane) << "x";
    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 4);
    QTest::newRow("KvProcessGovernor") << lines[0] << QStringLiteral("[KvProcessGov] [I]");
    QTest::newRow("KvNotifier") << lines[1] << QStringLiteral("[KvNotifier  ] [I]");
    QTest::newRow("Corvane") << lines[2] << QStringLiteral("[Corvane     ] [I]");
    QTest::newRow("debug level") << lines[3] << QStringLiteral("[Corvane     ] [D]");
}

void LoggingTest::categoryColumnIsCutOrPadded()
{
    QFETCH(QString, line);
    QFETCH(QString, column);
    QCOMPARE(withoutTime(line).left(column.size()), column);
}

void LoggingTest::errorColumn_data()
{
    QTest::addColumn<bool>("hasCode");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no code") << false << 0 << QStringLiteral("[C]            m");
    QTest::newRow("code 0") << true << 0 << QStringLiteral("[C]          0 m");
    QTest::newRow("negative") << true << -5 << QStringLiteral("[C]         -5 m");
    QTest::newRow("wide") << true << int(0x80070005) << QStringLiteral("[C] -2147024891 m");
}

void LoggingTest::errorColumn()
{
    QFETCH(bool, hasCode);
    QFETCH(int, code);
    QFETCH(QString, expected);

    if (hasCode) {
        KvPlatformKernel::current().setLastError(DWORD(code));
        kvCriticalWithError(lcCorvane) << "m";
    } else {
        kvCritical(lcCorvane) << "m";
    }
    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(withoutTime(lines[0]).mid(15), expected);
}

void LoggingTest::timeStampIsUtc()
{
    // A zone far from UTC, so that local time would show.
    const QByteArray savedZone = qgetenv("TZ");
    qputenv("TZ", "Asia/Kathmandu");
    tzset();
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    kvInfo(lcCorvane) << "time";
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
    if (savedZone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", savedZone);
    tzset();

    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 1);
    QDateTime stamp =
        QDateTime::fromString(lines[0].left(18), QStringLiteral("dd.MM.yy hh:mm::ss"));
    QVERIFY(stamp.isValid());
    stamp.setTimeSpec(Qt::UTC);
    stamp = stamp.addYears(100); // "yy" reads as 19yy
    QVERIFY2(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after,
             qPrintable(lines[0]));
}

void LoggingTest::itemsAreStreamedWithoutSeparators()
{
    const DWORD processId = 4294967294u;
    kvInfo(lcNotifier) << "a" << QStringLiteral("b") << QChar(0x00E9) << 'c' << -12 << processId
                       << qint64(-9000000000) << "ü";
    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].endsWith(QStringLiteral("            abéc-124294967294-9000000000ü")),
             qPrintable(lines[0]));
}

void LoggingTest::errorCodeIsReadBeforeTheMessageIsBuilt()
{
    KvPlatformKernel &kernel = KvPlatformKernel::current();
    kernel.setLastError(13);
    // Building the message fails another call; the line keeps the first code.
    kvCriticalWithError(lcGovernor) << "failed " << (kernel.setLastError(2), 1);
    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(withoutTime(lines[0]).mid(15), QStringLiteral("[C]         13 failed 1"));
}

void LoggingTest::disabledLevelBuildsNothing()
{
    QLoggingCategory::setFilterRules(QStringLiteral("KvNotifier.debug=false"));
    sideEffects = 0;
    kvDebug(lcNotifier) << "hidden " << countedSideEffect();
    kvInfo(lcNotifier) << "shown " << countedSideEffect();
    QLoggingCategory::setFilterRules(QString());

    QCOMPARE(sideEffects, 1);
    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines[0].endsWith(QStringLiteral("shown 1")));
}

void LoggingTest::messageTextIsKeptButCannotForgeLines_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("written");

    QTest::newRow("line feed") << QStringLiteral("a\n05.12.26 19:58::25 [Corvane     ] [I] forged")
                               << QStringLiteral(
                                      "a\\n05.12.26 19:58::25 [Corvane     ] [I] forged");
    QTest::newRow("carriage return") << QStringLiteral("a\rb") << QStringLiteral("a\\rb");
    QTest::newRow("tab") << QStringLiteral("a\tb") << QStringLiteral("a\\tb");
    QTest::newRow("escape and nul")
        << QStringLiteral("a") + QChar(0x1B) + QChar(0) + QStringLiteral("b")
        << QStringLiteral("a\\x1b\\x00b");
    QTest::newRow("next line and separators")
        << QStringLiteral("a") + QChar(0x85) + QChar(0x2028) + QChar(0x2029) + QStringLiteral("b")
        << QStringLiteral("a\\x85\\u2028\\u2029b");
    QTest::newRow("percent signs and placeholders stay")
        << QStringLiteral("30% of %1 and %2 with %%") << QStringLiteral("30% of %1 and %2 with %%");
    QTest::newRow("backslashes stay")
        << QStringLiteral("C:\\Games\\n.exe") << QStringLiteral("C:\\Games\\n.exe");
}

void LoggingTest::messageTextIsKeptButCannotForgeLines()
{
    QFETCH(QString, name);
    QFETCH(QString, written);
    kvInfo(lcCorvane) << "rule \"" << name << "\" activated";
    const QStringList lines = newLines();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(withoutTime(lines[0]), QStringLiteral("[Corvane     ] [I]            rule \"") +
                                        written + QStringLiteral("\" activated"));
}

void LoggingTest::writersInThreadsNeverInterleave()
{
    const int writers = 4;
    const int linesEach = 200;
    QList<QThread *> threads;
    for (int writer = 0; writer < writers; ++writer) {
        threads.append(QThread::create([writer] {
            for (int i = 0; i < linesEach; ++i)
                kvInfo(lcGovernor) << "writer " << writer << " line " << i << " "
                                   << QString(100, QLatin1Char('a' + writer));
        }));
    }
    for (QThread *thread : threads)
        thread->start();
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }

    const QStringList lines = newLines();
    QCOMPARE(lines.size(), writers * linesEach);
    const QRegularExpression shape(
        QStringLiteral("^%1 \\[KvProcessGov\\] \\[I\\] {12}writer (\\d) line (\\d+) ([a-d]{100})$")
            .arg(timeStampPattern));
    QVector<int> next(writers, 0);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int writer = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), next[writer]++);
        QCOMPARE(match.captured(3), QString(100, QLatin1Char('a' + writer)));
    }
}

void LoggingTest::twoRunsOfTheProgramAppendToOneFile()
{
    QTemporaryDir data;
    QVERIFY(data.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    // No stored rules: the program must not act on anything of this machine.
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), data.path());
    environment.insert(QStringLiteral("HOME"), data.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const ShieldedProgramStart shield;
    const QString logFile = data.path() + QStringLiteral("/Veltrom/Corvane/corvane.log");
    for (int run = 0; run < 2; ++run) {
        QProcess program;
        program.setProcessEnvironment(environment);
        shield.start(program, QStringLiteral(CORVANE_EXECUTABLE));
        // The program runs until it is asked to end; SIGTERM is the orderly way.
        QTRY_COMPARE_WITH_TIMEOUT(
            readLines(logFile).filter(QStringLiteral("Corvane 1.0.148 started")).size(), run + 1,
            60000);
        program.terminate();
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    const QStringList lines = readLines(logFile);
    QVERIFY(lines.size() >= 4);
    const QString start = QStringLiteral("               [I]            Corvane 1.0.148 started");
    const QString end =
        QStringLiteral("               [I]            ") + QString(50, QLatin1Char('-'));
    QCOMPARE(withoutTime(lines.first()), start);
    QCOMPARE(withoutTime(lines.last()), end);
    QCOMPARE(lines.filter(QStringLiteral("Corvane 1.0.148 started")).size(), 2);
    QCOMPARE(lines.filter(QString(50, QLatin1Char('-'))).size(), 2);
}

QTEST_GUILESS_MAIN(LoggingTest)
#include "tst_logging.moc"
