// The /proc reader and the polling source, on a /proc tree the test writes.

#include "platform/linux/KvLinuxProcReader.h"
#include "platform/linux/KvProcPollingSource.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <ctime>
#include <unistd.h>

namespace {

using Ids = QList<quint32>;
const quint64 longAgo = 100; // clock ticks after boot
const uint kernelThread = 0x00208040;

// Ten seconds ahead of now: young for every poll that follows, however slow.
quint64 justNow()
{
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return quint64(now.tv_sec + 10) * quint64(::sysconf(_SC_CLK_TCK));
}

Ids sorted(Ids ids)
{
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A polling source on the tree, and everything it reported.
struct Polling
{
    explicit Polling(const QString &root)
        : source(QString(), KvLinuxProcReader(root))
    {
        QObject::connect(
            &source, &KvProcessEventSource::started,
            [this](const KvProcessEntry &entry) { started.insert(entry.processId, entry); });
        QObject::connect(&source, &KvProcessEventSource::ended,
                         [this](quint32 id) { ended << id; });
    }
    KvProcPollingSource source;
    QMultiMap<quint32, KvProcessEntry> started;
    Ids ended;
};

} // namespace

class TestLinuxProcSources : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readerCopesWithAwkwardEntries();
    void pollingReportsNewProgramsAndEnds();
    void pollingDefersYoungChildrenAndIgnoresKernelThreads();

private:
    // Writes /proc/<id> of the tree; an empty exe leaves no link.
    void writeProcess(quint32 id, const QString &comm, quint32 parent, const QString &exe = {},
                      const QByteArray &cmdline = {}, quint64 startTime = longAgo,
                      uint flags = 0x400000);
    QString path(quint32 id) const { return root->filePath(QString::number(id)); }
    void removeProcess(quint32 id) { QDir(path(id)).removeRecursively(); }

    std::unique_ptr<QTemporaryDir> root;
};

void TestLinuxProcSources::init()
{
    root = std::make_unique<QTemporaryDir>();
    writeProcess(1, "init", 0, "/sbin/init");
}

void TestLinuxProcSources::writeProcess(quint32 id, const QString &comm, quint32 parent,
                                        const QString &exe, const QByteArray &cmdline,
                                        quint64 startTime, uint flags)
{
    // pid (comm) state ppid pgrp session tty tpgid flags, ten counters,
    // priority nice threads itrealvalue starttime vsize ...
    const QString stat =
        QString::asprintf("%u (%s) S %u 1 1 0 -1 %u 0 0 0 0 0 0 0 0 20 0 1 0 %llu\n", id,
                          qPrintable(comm), parent, flags, startTime);
    QVERIFY(QDir().mkpath(path(id)) && write(path(id) + "/stat", stat.toUtf8()) &&
            write(path(id) + "/cmdline", cmdline));
    QFile::remove(path(id) + QStringLiteral("/exe"));
    QVERIFY(exe.isEmpty() || QFile::link(exe, path(id) + QStringLiteral("/exe")));
}

void TestLinuxProcSources::readerCopesWithAwkwardEntries()
{
    // The kernel hands such a listing out a page at a time, each read short
    // of the page by the line that did not fit; the stack comes last.
    QByteArray maps;
    QVERIFY(KvLinuxProcFs::readFile("/proc/self/maps", maps) && maps.contains("[stack]"));

    const KvLinuxProcReader reader(root->path());
    writeProcess(42, "a) S 9 (b c", 7, {}, {}, 123456);
    KvLinuxProcReader::Stat stat;
    QVERIFY(reader.readStat(42, stat));
    QCOMPARE(stat.comm, QStringLiteral("a) S 9 (b c"));
    QVERIFY(stat.state == 'S' && stat.parentProcessId == 7 && stat.startTime == 123456);
    QVERIFY(!reader.readStat(43, stat));
    QVERIFY(QDir().mkpath(path(44)) && write(path(44) + "/stat", "44 (short) S 1 2 3"));
    QVERIFY(!reader.readStat(44, stat));
    QDir().mkpath(root->filePath(QStringLiteral("self")));
    QCOMPARE(sorted(reader.processIds()), (Ids{1, 42, 44})); // not "self"

    writeProcess(50, "appd", 1, "/opt/app/bin/app (deleted)",
                 QByteArray("/opt/app/bin/app\0--name\0two words\0\0", 35));
    QCOMPARE(reader.executablePath(50), QStringLiteral("/opt/app/bin/app"));
    QCOMPARE(reader.arguments(50), (QStringList{"/opt/app/bin/app", "--name", "two words", ""}));
    QVERIFY(reader.executablePath(51).isEmpty() && reader.arguments(51).isEmpty());
    QCOMPARE(reader.describe(50).name, QStringLiteral("app"));
    // A creator known from the fork wins over the parent /proc names now.
    QCOMPARE(reader.describe(50, 77).parentProcessId, 77u);

    // The image unreadable: named as it was started, or as it named itself,
    // which is never a path.
    writeProcess(60, "hidden-daemon", 1, {}, QByteArray("hidden-daemon\0-d\0", 17));
    const KvProcessEntry hidden = reader.describe(60);
    QVERIFY(hidden.processId == 60 && hidden.parentProcessId == 1 && hidden.path.isEmpty());
    QCOMPARE(hidden.name, QStringLiteral("hidden-daemon"));
    writeProcess(61, "../usr/bin/ls", 1);
    QCOMPARE(reader.describe(61).name, QStringLiteral(".._usr_bin_ls"));
    // Gone before it could be read: only the id is left.
    const KvProcessEntry gone = reader.describe(62);
    QVERIFY(gone.processId == 62 && gone.name.isEmpty() &&
            gone.parentProcessId == KvProcessEntry::noProcessId);
}

void TestLinuxProcSources::pollingReportsNewProgramsAndEnds()
{
    writeProcess(200, "shell", 1, "/bin/bash");
    writeProcess(400, "sh", 1, "/bin/sh");
    writeProcess(500, "old", 1, "/usr/bin/old");
    Polling polling(root->path());
    polling.source.poll();
    QVERIFY(polling.started.isEmpty()); // running before the source: known, not reported

    // A new process; 400 runs another program; 500 ended and its id went to
    // a new process of the same program.
    writeProcess(300, "editor", 200, {}, QByteArray("editor\0my file\0", 15));
    writeProcess(400, "make", 1, "/usr/bin/make");
    writeProcess(500, "old", 1, "/usr/bin/old", {}, longAgo + 50);
    polling.source.poll();
    QCOMPARE(polling.started.keys(), (Ids{300, 400, 500}));
    QCOMPARE(polling.ended, Ids{500});
    QCOMPARE(polling.started.value(300).parentProcessId, 200u);
    QCOMPARE(polling.started.value(300).name, QStringLiteral("editor"));
    QCOMPARE(polling.started.value(400).path, QStringLiteral("/usr/bin/make"));

    // 400 renames itself: no new program. Ends are reported once, also of
    // processes that ran before the source.
    writeProcess(400, "make: worker", 1, "/usr/bin/make");
    removeProcess(300);
    removeProcess(200);
    polling.source.poll();
    polling.source.poll();
    QCOMPARE(polling.started.size(), 3);
    QCOMPARE(sorted(polling.ended), (Ids{200, 300, 500}));
}

void TestLinuxProcSources::pollingDefersYoungChildrenAndIgnoresKernelThreads()
{
    writeProcess(600, "server", 1, "/usr/sbin/server");
    writeProcess(2, "kthreadd", 0, {}, {}, longAgo, kernelThread);
    writeProcess(90, "kworker/0:1", 2, {}, {}, longAgo, kernelThread);
    Polling polling(root->path());

    // Just forked, still the parent's image: it may be about to run a
    // program. Just started and already another program: reported at once.
    // Just forked too, but gone before the next listing: never reported.
    const QString server = QStringLiteral("/usr/sbin/server");
    writeProcess(601, "server", 600, server, {}, justNow());
    writeProcess(602, "helper", 600, "/usr/bin/helper", {}, justNow());
    writeProcess(603, "server", 600, server, {}, justNow());
    writeProcess(91, "kworker/1:2", 2, {}, {}, longAgo, kernelThread);
    polling.source.poll();
    QCOMPARE(polling.started.keys(), Ids{602});

    removeProcess(603);
    removeProcess(90);
    removeProcess(91);
    polling.source.poll();
    QCOMPARE(polling.started.keys(), (Ids{601, 602}));
    QCOMPARE(polling.started.value(601).path, server);
    QVERIFY(polling.ended.isEmpty());
}

QTEST_GUILESS_MAIN(TestLinuxProcSources)
#include "tst_linuxprocsources.moc"
