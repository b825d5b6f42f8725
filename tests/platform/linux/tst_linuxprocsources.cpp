#include "platform/linux/KvLinuxProcReader.h"
#include "platform/linux/KvProcPollingSource.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>
#include <unistd.h>

namespace {

// Start times in clock ticks after boot: long ago, and now.
quint64 longAgo()
{
    return 100;
}

quint64 justNow()
{
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return quint64(now.tv_sec) * quint64(::sysconf(_SC_CLK_TCK)) +
           quint64(now.tv_nsec) * quint64(::sysconf(_SC_CLK_TCK)) / 1000000000ull;
}

QVariant propertyValue(const KvPropertyList &properties, const QString &name)
{
    for (const auto &entry : properties) {
        if (entry.first == name)
            return entry.second;
    }
    return QVariant(QStringLiteral("<absent>"));
}

QString handleOf(const KvPropertyList &properties)
{
    return propertyValue(properties, QStringLiteral("Handle")).toString();
}

} // namespace

class TestLinuxProcSources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<KvPropertyList>("KvPropertyList"); }
    void init();

    void statParsingSurvivesAwkwardNames();
    void executablePathAndArguments();
    void creationPropertiesFallBackWhereImageIsUnreadable();

    void pollingReportsNewAndEndedButNotInitialProcesses();
    void pollingReportsExecButNotSelfRename();
    void pollingTellsReusedIdFromSameProcess();
    void pollingDefersYoungChildWithParentImage();
    void pollingIgnoresKernelThreads();

private:
    // Writes /proc/<id> of the fake tree. An empty exe leaves no link.
    void writeProcess(DWORD id, const QString &comm, DWORD parent, quint64 startTime,
                      const QString &exe, const QByteArray &cmdline = QByteArray(),
                      uint flags = 0x400000);
    void removeProcess(DWORD id);
    QString root() const { return m_root->path(); }

    std::unique_ptr<QTemporaryDir> m_root;
};

void TestLinuxProcSources::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void TestLinuxProcSources::writeProcess(DWORD id, const QString &comm, DWORD parent,
                                        quint64 startTime, const QString &exe,
                                        const QByteArray &cmdline, uint flags)
{
    const QString directory = root() + QLatin1Char('/') + QString::number(id);
    QDir().mkpath(directory);
    QFile stat(directory + QStringLiteral("/stat"));
    QVERIFY(stat.open(QIODevice::WriteOnly | QIODevice::Truncate));
    // pid (comm) state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime priority nice threads itrealvalue
    // starttime vsize ...
    stat.write(QStringLiteral("%1 (%2) S %3 1 1 0 -1 %5 0 0 0 0 0 0 0 0 20 0 1 0 %4 1000 "
                              "10 0\n")
                   .arg(id)
                   .arg(comm)
                   .arg(parent)
                   .arg(startTime)
                   .arg(flags)
                   .toUtf8());
    stat.close();
    QFile::remove(directory + QStringLiteral("/exe"));
    if (!exe.isEmpty())
        QVERIFY(QFile::link(exe, directory + QStringLiteral("/exe")));
    QFile commandLine(directory + QStringLiteral("/cmdline"));
    QVERIFY(commandLine.open(QIODevice::WriteOnly | QIODevice::Truncate));
    commandLine.write(cmdline);
}

void TestLinuxProcSources::removeProcess(DWORD id)
{
    QDir(root() + QLatin1Char('/') + QString::number(id)).removeRecursively();
}

void TestLinuxProcSources::statParsingSurvivesAwkwardNames()
{
    writeProcess(42, QStringLiteral("a) S 9 (b c"), 7, 123456, QString());
    const KvLinuxProcReader reader(root());
    KvLinuxProcReader::Stat stat;
    QVERIFY(reader.readStat(42, stat));
    QCOMPARE(stat.comm, QStringLiteral("a) S 9 (b c"));
    QCOMPARE(stat.parentProcessId, DWORD(7));
    QCOMPARE(stat.startTime, quint64(123456));
    QCOMPARE(stat.state, 'S');

    QVERIFY(!reader.readStat(43, stat));
    QFile truncated(root() + QStringLiteral("/44/stat"));
    QDir().mkpath(root() + QStringLiteral("/44"));
    QVERIFY(truncated.open(QIODevice::WriteOnly));
    truncated.write("44 (short) S 1 2 3");
    truncated.close();
    QVERIFY(!reader.readStat(44, stat));
    QCOMPARE(reader.processIds().size(), 2); // 42 and 44; not "self" or other names
}

void TestLinuxProcSources::executablePathAndArguments()
{
    writeProcess(50, QStringLiteral("app"), 1, longAgo(),
                 QStringLiteral("/opt/app/bin/app (deleted)"),
                 QByteArray("/opt/app/bin/app\0--name\0two words\0\0", 35));
    const KvLinuxProcReader reader(root());
    QCOMPARE(reader.executablePath(50), QStringLiteral("/opt/app/bin/app"));
    QCOMPARE(reader.arguments(50),
             (QStringList{QStringLiteral("/opt/app/bin/app"), QStringLiteral("--name"),
                          QStringLiteral("two words"), QString()}));
    QVERIFY(reader.executablePath(51).isEmpty());
    QVERIFY(reader.arguments(51).isEmpty());
}

void TestLinuxProcSources::creationPropertiesFallBackWhereImageIsUnreadable()
{
    writeProcess(60, QStringLiteral("hidden-daemon"), 1, longAgo(), QString(),
                 QByteArray("hidden-daemon\0-d\0", 17));
    writeProcess(61, QStringLiteral("tool"), 60, longAgo(), QStringLiteral("/usr/bin/tool"));
    const KvLinuxProcReader reader(root());

    const KvPropertyList hidden = reader.creationProperties(60);
    QCOMPARE(handleOf(hidden), QStringLiteral("60"));
    QVERIFY(!propertyValue(hidden, QStringLiteral("ExecutablePath")).isValid());
    QCOMPARE(propertyValue(hidden, QStringLiteral("Name")).toString(),
             QStringLiteral("hidden-daemon"));
    QCOMPARE(propertyValue(hidden, QStringLiteral("CommandLine")).toString(),
             QStringLiteral("hidden-daemon -d"));
    QCOMPARE(propertyValue(hidden, QStringLiteral("ParentProcessId")).toInt(), 1);

    // A creator known from the fork wins over the parent /proc names now.
    const KvPropertyList tool = reader.creationProperties(61, 77);
    QCOMPARE(propertyValue(tool, QStringLiteral("ExecutablePath")).toString(),
             QStringLiteral("/usr/bin/tool"));
    QCOMPARE(propertyValue(tool, QStringLiteral("Name")).toString(), QStringLiteral("tool"));
    QVERIFY(!propertyValue(tool, QStringLiteral("CommandLine")).isValid()); // kernel-thread-like
    QCOMPARE(propertyValue(tool, QStringLiteral("ParentProcessId")).toInt(), 77);

    // Gone before it could be read: only the id is left.
    const KvPropertyList gone = reader.creationProperties(62);
    QCOMPARE(handleOf(gone), QStringLiteral("62"));
    QVERIFY(!propertyValue(gone, QStringLiteral("Name")).isValid());
    QVERIFY(!propertyValue(gone, QStringLiteral("ParentProcessId")).isValid());
}

void TestLinuxProcSources::pollingReportsNewAndEndedButNotInitialProcesses()
{
    writeProcess(1, QStringLiteral("init"), 0, longAgo(), QStringLiteral("/sbin/init"));
    writeProcess(200, QStringLiteral("shell"), 1, longAgo(), QStringLiteral("/bin/bash"));
    KvProcPollingSource source{QString(), KvLinuxProcReader(root())};
    QSignalSpy created(&source, &KvProcessEventSource::instanceCreated);
    QSignalSpy deleted(&source, &KvProcessEventSource::instanceDeleted);

    source.poll();
    QCOMPARE(created.size(), 0);

    writeProcess(300, QStringLiteral("editor"), 200, longAgo(), QStringLiteral("/usr/bin/editor"),
                 QByteArray("editor\0my file\0", 15));
    source.poll();
    QCOMPARE(created.size(), 1);
    const KvPropertyList properties = created.at(0).at(0).value<KvPropertyList>();
    QCOMPARE(handleOf(properties), QStringLiteral("300"));
    QCOMPARE(propertyValue(properties, QStringLiteral("ParentProcessId")).toInt(), 200);
    QCOMPARE(propertyValue(properties, QStringLiteral("CommandLine")).toString(),
             QStringLiteral("editor \"my file\""));

    removeProcess(300);
    removeProcess(200); // running before the source: its end is reported too
    source.poll();
    QCOMPARE(deleted.size(), 2);
    QSet<QString> ended{handleOf(deleted.at(0).at(0).value<KvPropertyList>()),
                        handleOf(deleted.at(1).at(0).value<KvPropertyList>())};
    QCOMPARE(ended, (QSet<QString>{QStringLiteral("200"), QStringLiteral("300")}));
    source.poll();
    QCOMPARE(deleted.size(), 2);
    QCOMPARE(created.size(), 1);
}

void TestLinuxProcSources::pollingReportsExecButNotSelfRename()
{
    writeProcess(1, QStringLiteral("init"), 0, longAgo(), QStringLiteral("/sbin/init"));
    writeProcess(400, QStringLiteral("sh"), 1, longAgo(), QStringLiteral("/bin/sh"));
    KvProcPollingSource source{QString(), KvLinuxProcReader(root())};
    QSignalSpy created(&source, &KvProcessEventSource::instanceCreated);

    // The same process runs another program.
    writeProcess(400, QStringLiteral("make"), 1, longAgo(), QStringLiteral("/usr/bin/make"));
    source.poll();
    QCOMPARE(created.size(), 1);
    QCOMPARE(
        propertyValue(created.at(0).at(0).value<KvPropertyList>(), QStringLiteral("ExecutablePath"))
            .toString(),
        QStringLiteral("/usr/bin/make"));

    // It renames itself: no new program.
    writeProcess(400, QStringLiteral("make: worker"), 1, longAgo(),
                 QStringLiteral("/usr/bin/make"));
    source.poll();
    QCOMPARE(created.size(), 1);
}

void TestLinuxProcSources::pollingTellsReusedIdFromSameProcess()
{
    writeProcess(1, QStringLiteral("init"), 0, longAgo(), QStringLiteral("/sbin/init"));
    writeProcess(500, QStringLiteral("old"), 1, longAgo(), QStringLiteral("/usr/bin/old"));
    KvProcPollingSource source{QString(), KvLinuxProcReader(root())};
    QSignalSpy created(&source, &KvProcessEventSource::instanceCreated);
    QSignalSpy deleted(&source, &KvProcessEventSource::instanceDeleted);

    // Between two listings the old process ended and its id was given to a
    // new one that runs the same program.
    writeProcess(500, QStringLiteral("old"), 1, longAgo() + 50, QStringLiteral("/usr/bin/old"));
    source.poll();
    QCOMPARE(deleted.size(), 1);
    QCOMPARE(created.size(), 1);
    QCOMPARE(handleOf(created.at(0).at(0).value<KvPropertyList>()), QStringLiteral("500"));
}

void TestLinuxProcSources::pollingDefersYoungChildWithParentImage()
{
    writeProcess(1, QStringLiteral("init"), 0, longAgo(), QStringLiteral("/sbin/init"));
    writeProcess(600, QStringLiteral("server"), 1, longAgo(), QStringLiteral("/usr/sbin/server"));
    KvProcPollingSource source{QString(), KvLinuxProcReader(root())};
    QSignalSpy created(&source, &KvProcessEventSource::instanceCreated);
    QSignalSpy deleted(&source, &KvProcessEventSource::instanceDeleted);

    // Just forked, still the parent's image: it may be about to run a program.
    writeProcess(601, QStringLiteral("server"), 600, justNow(), QStringLiteral("/usr/sbin/server"));
    // Just started and already another program: reported at once.
    writeProcess(602, QStringLiteral("helper"), 600, justNow(), QStringLiteral("/usr/bin/helper"));
    // Just forked too, but gone before the next listing.
    writeProcess(603, QStringLiteral("server"), 600, justNow(), QStringLiteral("/usr/sbin/server"));
    source.poll();
    QCOMPARE(created.size(), 1);
    QCOMPARE(handleOf(created.at(0).at(0).value<KvPropertyList>()), QStringLiteral("602"));

    removeProcess(603);
    source.poll();
    QCOMPARE(created.size(), 2);
    const KvPropertyList child = created.at(1).at(0).value<KvPropertyList>();
    QCOMPARE(handleOf(child), QStringLiteral("601"));
    QCOMPARE(propertyValue(child, QStringLiteral("ExecutablePath")).toString(),
             QStringLiteral("/usr/sbin/server"));
    QCOMPARE(deleted.size(), 0);
}

void TestLinuxProcSources::pollingIgnoresKernelThreads()
{
    const uint kernelThreadFlags = 0x00208040;
    writeProcess(2, QStringLiteral("kthreadd"), 0, longAgo(), QString(), QByteArray(),
                 kernelThreadFlags);
    writeProcess(90, QStringLiteral("kworker/0:1"), 2, longAgo(), QString(), QByteArray(),
                 kernelThreadFlags);
    KvProcPollingSource source{QString(), KvLinuxProcReader(root())};
    QSignalSpy created(&source, &KvProcessEventSource::instanceCreated);
    QSignalSpy deleted(&source, &KvProcessEventSource::instanceDeleted);

    writeProcess(91, QStringLiteral("kworker/1:2"), 2, longAgo(), QString(), QByteArray(),
                 kernelThreadFlags);
    source.poll();
    source.poll();
    removeProcess(90);
    removeProcess(91);
    source.poll();
    QCOMPARE(created.size(), 0);
    QCOMPARE(deleted.size(), 0);
}

QTEST_GUILESS_MAIN(TestLinuxProcSources)
#include "tst_linuxprocsources.moc"
