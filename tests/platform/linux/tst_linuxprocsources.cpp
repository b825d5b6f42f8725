#include "platform/common/KvProcessEventProperties.h"
#include "platform/linux/KvLinuxProcReader.h"
#include "platform/linux/KvProcPollingSource.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <unistd.h>

// The /proc readers and the polling source, on a /proc tree the test writes.
namespace {

const quint64 longAgo = 100; // clock ticks after boot
const uint kernelThread = 0x00208040;

// A start time that stays young for the polls that follow however slowly a
// loaded machine gets to them: ten seconds ahead of now.
quint64 justNow()
{
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    const quint64 ticks = quint64(::sysconf(_SC_CLK_TCK));
    return quint64(now.tv_sec + 10) * ticks + quint64(now.tv_nsec) * ticks / 1000000000ull;
}

const auto valueOf = &KvProcessEventProperties::value;

// What a spy recorded, by process id.
QMap<QString, KvPropertyList> reports(const QSignalSpy &spy)
{
    QMap<QString, KvPropertyList> found;
    for (const QList<QVariant> &signal : spy) {
        const KvPropertyList properties = signal.at(0).value<KvPropertyList>();
        found.insert(valueOf(properties, "Handle").toString(), properties);
    }
    return found;
}

// A polling source on the tree, and what it reports.
struct Polling
{
    explicit Polling(const QString &root)
        : source(QString(), KvLinuxProcReader(root))
    {}
    KvProcPollingSource source;
    QSignalSpy created{&source, &KvProcessEventSource::instanceCreated};
    QSignalSpy deleted{&source, &KvProcessEventSource::instanceDeleted};
};

} // namespace

class TestLinuxProcSources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<KvPropertyList>("KvPropertyList"); }
    void init();

    void kernelListingsAreReadWhole();
    void readerCopesWithAwkwardEntries();
    void pollingReportsNewProgramsAndEnds();
    void pollingDefersYoungChildrenAndIgnoresKernelThreads();

private:
    // Writes /proc/<id> of the tree; an empty exe leaves no link.
    void writeProcess(DWORD id, const QString &comm, DWORD parent, const QString &exe = QString(),
                      const QByteArray &cmdline = QByteArray(), quint64 startTime = longAgo,
                      uint flags = 0x400000);
    QString path(DWORD id) const { return root->filePath(QString::number(id)); }
    void removeProcess(DWORD id) { QDir(path(id)).removeRecursively(); }

    std::unique_ptr<QTemporaryDir> root;
};

void TestLinuxProcSources::init()
{
    root = std::make_unique<QTemporaryDir>();
    writeProcess(1, "init", 0, "/sbin/init");
}

void TestLinuxProcSources::writeProcess(DWORD id, const QString &comm, DWORD parent,
                                        const QString &exe, const QByteArray &cmdline,
                                        quint64 startTime, uint flags)
{
    QDir().mkpath(path(id));
    QFile stat(path(id) + QStringLiteral("/stat"));
    QVERIFY(stat.open(QIODevice::WriteOnly));
    // pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime priority nice threads itrealvalue
    // starttime vsize ...
    stat.write(QStringLiteral("%1 (%2) S %3 1 1 0 -1 %4 0 0 0 0 0 0 0 0 20 0 1 0 %5 1000 10 0\n")
                   .arg(id)
                   .arg(comm)
                   .arg(parent)
                   .arg(flags)
                   .arg(startTime)
                   .toUtf8());
    QFile::remove(path(id) + QStringLiteral("/exe"));
    QVERIFY(exe.isEmpty() || QFile::link(exe, path(id) + QStringLiteral("/exe")));
    QFile commandLine(path(id) + QStringLiteral("/cmdline"));
    QVERIFY(commandLine.open(QIODevice::WriteOnly));
    commandLine.write(cmdline);
}

void TestLinuxProcSources::kernelListingsAreReadWhole()
{
    // The kernel hands such a listing out a page at a time, each read short
    // of the page by the line that did not fit; the stack comes after the
    // program's libraries.
    QByteArray maps;
    QVERIFY(KvLinuxProcFs::readFile("/proc/self/maps", maps) && maps.contains("[stack]"));
}

void TestLinuxProcSources::readerCopesWithAwkwardEntries()
{
    const KvLinuxProcReader reader(root->path());
    writeProcess(42, "a) S 9 (b c", 7, QString(), QByteArray(), 123456);
    KvLinuxProcReader::Stat stat;
    QVERIFY(reader.readStat(42, stat));
    QCOMPARE(stat.comm, QStringLiteral("a) S 9 (b c"));
    QCOMPARE(stat.state, 'S');
    QCOMPARE(stat.parentProcessId, DWORD(7));
    QCOMPARE(stat.startTime, quint64(123456));

    QVERIFY(!reader.readStat(43, stat));
    QDir().mkpath(path(44));
    QFile truncated(path(44) + QStringLiteral("/stat"));
    QVERIFY(truncated.open(QIODevice::WriteOnly));
    truncated.write("44 (short) S 1 2 3");
    truncated.close();
    QVERIFY(!reader.readStat(44, stat));
    QDir().mkpath(root->filePath(QStringLiteral("self")));
    QCOMPARE(reader.processIds().size(), 3); // 1, 42, 44; not "self"

    writeProcess(50, "appd", 1, "/opt/app/bin/app (deleted)",
                 QByteArray("/opt/app/bin/app\0--name\0two words\0\0", 35));
    writeProcess(60, "hidden-daemon", 1, QString(), QByteArray("hidden-daemon\0-d\0", 17));
    QCOMPARE(reader.executablePath(50), QStringLiteral("/opt/app/bin/app"));
    QCOMPARE(reader.arguments(50),
             (QStringList{QStringLiteral("/opt/app/bin/app"), QStringLiteral("--name"),
                          QStringLiteral("two words"), QString()}));
    QVERIFY(reader.executablePath(51).isEmpty() && reader.arguments(51).isEmpty());

    // The image unreadable: named as the kernel names it.
    const KvPropertyList hidden = reader.creationProperties(60);
    QCOMPARE(valueOf(hidden, "Handle").toString(), QStringLiteral("60"));
    QVERIFY(!valueOf(hidden, "ExecutablePath").isValid());
    QCOMPARE(valueOf(hidden, "Name").toString(), QStringLiteral("hidden-daemon"));
    QCOMPARE(valueOf(hidden, "CommandLine").toString(), QStringLiteral("hidden-daemon -d"));
    QCOMPARE(valueOf(hidden, "ParentProcessId").toInt(), 1);
    // A name a program gave itself is never a path.
    writeProcess(61, "../usr/bin/ls", 1);
    QCOMPARE(valueOf(reader.creationProperties(61), "Name").toString(), QString(".._usr_bin_ls"));
    // A creator known from the fork wins over the parent /proc names now.
    QCOMPARE(valueOf(reader.creationProperties(50, 77), "ParentProcessId").toInt(), 77);
    QCOMPARE(valueOf(reader.creationProperties(50), "Name").toString(), QStringLiteral("app"));
    // Gone before it could be read: only the id is left.
    const KvPropertyList gone = reader.creationProperties(62);
    QCOMPARE(valueOf(gone, "Handle").toString(), QStringLiteral("62"));
    QVERIFY(!valueOf(gone, "Name").isValid() && !valueOf(gone, "ParentProcessId").isValid());
}

void TestLinuxProcSources::pollingReportsNewProgramsAndEnds()
{
    writeProcess(200, "shell", 1, "/bin/bash");
    writeProcess(400, "sh", 1, "/bin/sh");
    writeProcess(500, "old", 1, "/usr/bin/old");
    Polling polling(root->path());
    polling.source.poll();
    QCOMPARE(polling.created.size(), 0); // running before the source: known, not reported

    // A new process; 400 runs another program; 500 ended and its id went to
    // a new process of the same program.
    writeProcess(300, "editor", 200, QString(), QByteArray("editor\0my file\0", 15));
    writeProcess(400, "make", 1, "/usr/bin/make");
    writeProcess(500, "old", 1, "/usr/bin/old", QByteArray(), longAgo + 50);
    polling.source.poll();
    const QMap<QString, KvPropertyList> created = reports(polling.created);
    QCOMPARE(created.keys(), (QStringList{"300", "400", "500"}));
    QCOMPARE(reports(polling.deleted).keys(), QStringList{"500"});
    QCOMPARE(valueOf(created["300"], "ParentProcessId").toInt(), 200);
    QCOMPARE(valueOf(created["300"], "CommandLine").toString(), QString("editor \"my file\""));
    QCOMPARE(valueOf(created["400"], "ExecutablePath").toString(), QString("/usr/bin/make"));

    // 400 renames itself: no new program. Ends are reported once, also of
    // processes that ran before the source.
    writeProcess(400, "make: worker", 1, "/usr/bin/make");
    removeProcess(300);
    removeProcess(200);
    polling.source.poll();
    polling.source.poll();
    QCOMPARE(polling.created.size(), 3);
    QCOMPARE(polling.deleted.size(), 3);
    QCOMPARE(reports(polling.deleted).keys(), (QStringList{"200", "300", "500"}));
}

void TestLinuxProcSources::pollingDefersYoungChildrenAndIgnoresKernelThreads()
{
    writeProcess(600, "server", 1, "/usr/sbin/server");
    writeProcess(2, "kthreadd", 0, QString(), QByteArray(), longAgo, kernelThread);
    writeProcess(90, "kworker/0:1", 2, QString(), QByteArray(), longAgo, kernelThread);
    Polling polling(root->path());

    // Just forked, still the parent's image: it may be about to run a
    // program. Just started and already another program: reported at once.
    // Just forked too, but gone before the next listing: never reported.
    const QString server = QStringLiteral("/usr/sbin/server");
    writeProcess(601, "server", 600, server, QByteArray(), justNow());
    writeProcess(602, "helper", 600, "/usr/bin/helper", QByteArray(), justNow());
    writeProcess(603, "server", 600, server, QByteArray(), justNow());
    writeProcess(91, "kworker/1:2", 2, QString(), QByteArray(), longAgo, kernelThread);
    polling.source.poll();
    QCOMPARE(reports(polling.created).keys(), QStringList{"602"});

    removeProcess(603);
    removeProcess(90);
    removeProcess(91);
    polling.source.poll();
    QCOMPARE(reports(polling.created).keys(), (QStringList{"601", "602"}));
    QCOMPARE(valueOf(reports(polling.created)["601"], "ExecutablePath").toString(), server);
    QCOMPARE(polling.deleted.size(), 0);
}

QTEST_GUILESS_MAIN(TestLinuxProcSources)
#include "tst_linuxprocsources.moc"
