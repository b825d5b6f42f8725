#include "LogTail.h"
#include "ShieldedProgramStart.h"
#include "TestStore.h"
#include "support/KvLog.h"
#include "support/KvLogFile.h"

#include <QtTest>

const QString endLine(50, QLatin1Char('-'));

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Runs work(0), work(1), ... each on a thread of its own, let go at once.
void together(int count, const std::function<void(int)> &work)
{
    QReadWriteLock gate;
    gate.lockForWrite();
    QList<QThread *> threads;
    for (int i = 0; i < count; ++i) {
        threads << QThread::create([&, i] {
            QReadLocker go(&gate);
            work(i);
        });
        threads.last()->start();
    }
    gate.unlock();
    for (QThread *thread : threads)
        QVERIFY(thread->wait(60000));
    qDeleteAll(threads);
}

// The one test of the log line's exact format.
class TestLogging : public QObject
{
    Q_OBJECT

private slots:
    void init() { newLines(); }
    void linesAreWrittenByteForByte()
    {
        // Written in UTC, whatever the zone of the time given.
        const QDateTime kathmandu(QDate(2026, 12, 6), QTime(1, 43, 25), Qt::OffsetFromUTC, 20700);
        QCOMPARE(KvDebug::formatLine(kathmandu, "KvProcessGovernor", QtInfoMsg, false, 0, "m"),
                 QStringLiteral("05.12.26 19:58::25 [KvProcessGov] [I]            m"));
        kvInfo(lcGovernor) << "process #" << 1234 << " CPU limited to " << 30 << "%";
        kvCriticalWithCode(lcGovernor, 5)
            << "failed to assign process #" << 1234 << " to job object";
        KvMessageLogger(nullptr, 0, nullptr).info() << endLine;
        kvInfo(lcNotifier) << "a" << QStringLiteral("b") << QChar(0x00E9) << 'c' << -12
                           << quint32(4294967294u) << qint64(-9000000000) << "ü";
        kvDebug(lcCorvane) << "debug";
        // A disabled level builds nothing.
        QLoggingCategory::setFilterRules(QStringLiteral("KvNotifier.debug=false"));
        int built = 0;
        kvDebug(lcNotifier) << "hidden " << ++built;
        kvInfo(lcNotifier) << "shown " << ++built;
        QLoggingCategory::setFilterRules(QString());
        kvCritical(lcCorvane) << "no code";
        for (const quint32 code : {0u, quint32(-5), 0x80070005u})
            kvCriticalWithCode(lcCorvane, code) << "code";
        QCOMPARE(
            newLines(),
            QStringList(
                {"[KvProcessGov] [I]            process #1234 CPU limited to 30%",
                 "[KvProcessGov] [C]          5 failed to assign process #1234 to job object",
                 "               [I]            " + endLine,
                 "[KvNotifier  ] [I]            abéc-124294967294-9000000000ü",
                 "[Corvane     ] [D]            debug", "[KvNotifier  ] [I]            shown 1",
                 "[Corvane     ] [C]            no code", "[Corvane     ] [C]          0 code",
                 "[Corvane     ] [C]         -5 code", "[Corvane     ] [C] -2147024891 code"}));
    }
    void messageTextCannotForgeLines()
    {
        // Control characters are escaped; placeholders and backslashes stay.
        const QString name = QStringLiteral("a\n05.12.26 19:58::25 [Corvane     ] [I] forged\r\t") +
                             QChar(0) + QChar(0x1F) + QChar(0x7F) + QChar(0x9F) + QChar(0x2028) +
                             QChar(0x2029) + "30% of %1 and %2 with %% C:\\Games\\n.exe";
        const QString escaped = "rule \"a\\n05.12.26 19:58::25 [Corvane     ] [I] forged\\r\\t\\x00"
                                "\\x1f\\x7f\\x9f\\u2028\\u2029"
                                "30% of %1 and %2 with %% C:\\Games\\n.exe\" activated";
        // The terminal is shown the same: no escape sequence reaches it raw.
        QTest::ignoreMessage(QtInfoMsg, qPrintable(escaped));
        kvInfo(lcCorvane) << "rule \"" << name << "\" activated";
        QCOMPARE(newLines(), QStringList{"[Corvane     ] [I]            " + escaped});
    }
    void writersInThreadsNeverInterleave()
    {
        together(4, [](int writer) {
            const char name = char('a' + writer);
            for (int i = 0; i < 200; ++i)
                kvInfo(lcGovernor)
                    << "writer " << name << " line " << i << " " << QString(100, QLatin1Char(name));
        });
        // Every line whole.
        const QStringList lines = newLines();
        QCOMPARE(lines.size(), 800);
        const QRegularExpression shape(
            QStringLiteral("^\\[KvProcessGov\\] \\[I\\] {12}writer (\\w) line \\d+ \\1{100}$"));
        for (const QString &line : lines)
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
    }
    void twoRunsOfTheProgramAppendToOneFile()
    {
        // On the test's store (no rules), named after its own version resource.
        const QString programLog =
            QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/corvane.log";
        const QString started =
            QStringLiteral("               [I]            Corvane " CORVANE_VERSION " started");
        const ShieldedProgramStart shield;
        for (int run = 1; run <= 2; ++run) {
            QProcess program;
            shield.start(program, QStringLiteral(CORVANE_EXECUTABLE));
            QTRY_COMPARE_WITH_TIMEOUT(readLines(programLog).filter(started).size(), run, 60000);
            program.terminate();
            QVERIFY(program.waitForFinished(60000));
            QVERIFY(program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0);
        }
        const QStringList lines = readLines(programLog);
        const QString ended = QStringLiteral("               [I]            ") + endLine;
        QVERIFY(lines.first().endsWith(started) && lines.last().endsWith(ended));
        QCOMPARE(lines.filter(ended).size(), 2);
    }
    void fullFilesAreSwitchedWithoutLosingALine()
    {
        if (QLibrary::resolve("ntdll", "wine_get_version"))
            QSKIP("Wine appends to a file at the size it read before: writers of one file "
                  "through handles of their own write over each other's lines");
        // Writers with files of their own on one name, as copies of the program have.
        const QString path = store.path(QStringLiteral("switched.log"));
        const int limit = 40000, writers = 4, lineCount = 2000;
        const auto lineOf = [](int writer, int i) {
            return QStringLiteral("writer %1 line %2 ").arg(writer).arg(i, 4, 10, QChar('0')) +
                   QString(40, 'x');
        };
        together(writers, [&](int writer) {
            KvLogFile file(path, limit, 100);
            for (int i = 0; i < lineCount; ++i)
                file.append((lineOf(writer, i) + QLatin1Char('\n')).toUtf8());
        });
        // Each older file was switched once full, and only then; how far past full it grew
        // depends on what the others wrote while one switched (no writer waits for that).
        // Each line is in one file, whole, after its writer's earlier ones.
        const KvLogFile names(path, limit, 100);
        QStringList lines = readLines(path);
        int number = 1;
        for (; QFile::exists(names.olderFile(number)); ++number) {
            const qint64 size = QFileInfo(names.olderFile(number)).size();
            QVERIFY2(size >= limit, qPrintable(QString::number(size)));
            lines = readLines(names.olderFile(number)) + lines;
        }
        QVERIFY(number > 2); // switched again and again, not once: 480 000 bytes in all
        QCOMPARE(lines.size(), writers * lineCount);
        for (int writer = 0; writer < writers; ++writer) {
            const QStringList own = lines.filter(QStringLiteral("writer %1 ").arg(writer));
            for (int i = 0; i < lineCount; ++i)
                QCOMPARE(own.value(i), lineOf(writer, i));
        }
        // An idle writer goes on in the file another switched to; the newest older ones are kept.
        KvLogFile busy(store.path(QStringLiteral("few.log")), 1000, 2);
        KvLogFile idle(store.path(QStringLiteral("few.log")), 1000, 2);
        idle.append("idle\n");
        for (int i = 0; i < 90; ++i) // three switches, the new file not yet full
            busy.append(QByteArray(40, 'y') + '\n');
        idle.append("idle again\n");
        QCOMPARE(readLines(idle.path()).filter("idle"), QStringList{"idle again"});
        QVERIFY(QFileInfo(idle.path()).size() < 1000 && QFile::exists(idle.olderFile(2)) &&
                !QFile::exists(idle.olderFile(3)));
    }

private:
    // The lines written since the last call, without their time stamps.
    QStringList newLines()
    {
        static const QRegularExpression stamp("^\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d::\\d\\d ");
        QStringList fresh;
        for (const QString &line : log.lines())
            fresh << (stamp.match(line).hasMatch() ? line.mid(19) : line);
        log.mark();
        return fresh;
    }

    const TestStore store;
    LogTail log;
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
