// The /proc reader and the polling source, on a /proc tree the test writes.

#include "platform/linux/KvLinuxProcReader.h"
#include "platform/linux/KvProcPollingSource.h"

#include <QtTest>

#include <ctime>
#include <unistd.h>

using Ids = QList<quint32>;
const quint64 longAgo = 100; // clock ticks after boot
const uint kernelThread = 0x00208040;

Ids sorted(Ids ids)
{
    std::sort(ids.begin(), ids.end());
    return ids;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly))
        file.write(content);
}

// A /proc tree with init in it.
struct ProcTree
{
    ProcTree() { write(1, "init", 0, "/sbin/init"); }
    QString path(quint32 id) const { return dir.filePath(QString::number(id)); }
    // Writes /proc/<id>; an empty exe leaves a link that cannot be read, as
    // another user's is.
    void write(quint32 id, const QString &comm, quint32 parent, const QString &exe = {},
               const QByteArray &cmdline = {}, quint64 startTime = longAgo, uint flags = 0x400000)
    {
        // pid (comm) state ppid pgrp session tty tpgid flags, ten counters,
        // priority nice threads itrealvalue starttime
        writeFile(path(id) + "/stat",
                  QString::asprintf("%u (%s) S %u 1 1 0 -1 %u 0 0 0 0 0 0 0 0 20 0 1 0 %llu\n", id,
                                    qPrintable(comm), parent, flags, startTime)
                      .toUtf8());
        writeFile(path(id) + "/cmdline", cmdline);
        QFile::remove(path(id) + "/exe");
        if (exe.isEmpty())
            writeFile(path(id) + "/exe", {});
        else
            QFile::link(exe, path(id) + "/exe");
    }
    void remove(quint32 id) { QDir(path(id)).removeRecursively(); }
    // Ten seconds ahead of now: young for every poll that follows, however slow.
    static quint64 justNow()
    {
        timespec now{};
        ::clock_gettime(CLOCK_BOOTTIME, &now);
        return quint64(now.tv_sec + 10) * quint64(::sysconf(_SC_CLK_TCK));
    }
    QTemporaryDir dir;
};

// A polling source on a tree, and everything it reported.
struct Polling
{
    explicit Polling(const ProcTree &tree)
        : source(QString(), KvLinuxProcReader(tree.dir.path()))
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

class TestLinuxProcSources : public QObject
{
    Q_OBJECT

private slots:
    void readerCopesWithAwkwardEntries()
    {
        // The kernel hands such a listing out a page at a time, each read
        // short of the page by the line that did not fit; the stack comes last.
        QByteArray maps;
        QVERIFY(KvLinuxProcFs::readFile("/proc/self/maps", maps) && maps.contains("[stack]"));
        ProcTree tree;
        const KvLinuxProcReader reader(tree.dir.path());
        tree.write(42, "a) S 9 (b c", 7, {}, {}, 123456);
        KvLinuxProcReader::Stat stat;
        QVERIFY(reader.readStat(42, stat));
        QCOMPARE(stat.comm, QStringLiteral("a) S 9 (b c"));
        QVERIFY(stat.state == 'S' && stat.parentProcessId == 7 && stat.startTime == 123456);
        QVERIFY(!reader.readStat(43, stat));
        writeFile(tree.path(44) + "/stat", "44 (short) S 1 2 3");
        QVERIFY(!reader.readStat(44, stat));
        QDir().mkpath(tree.dir.filePath("self"));
        QCOMPARE(sorted(reader.processIds()), (Ids{1, 42, 44})); // not "self"
        tree.write(50, "appd", 1, "/opt/app/bin/app (deleted)",
                   QByteArray("/opt/app/bin/app\0--name\0two words\0\0", 35));
        QCOMPARE(reader.executablePath(50), QStringLiteral("/opt/app/bin/app"));
        QCOMPARE(reader.arguments(50),
                 (QStringList{"/opt/app/bin/app", "--name", "two words", ""}));
        QVERIFY(reader.executablePath(51).isEmpty() && reader.arguments(51).isEmpty());
        QCOMPARE(reader.describe(50).name, QStringLiteral("app"));
        // A creator known from the fork wins over the parent /proc names now.
        QCOMPARE(reader.describe(50, 77).parentProcessId, 77u);
        // The image unreadable: named as it was started, or as it named
        // itself, which is never a path.
        tree.write(60, "hidden-daemon", 1, {}, QByteArray("hidden-daemon\0-d\0", 17));
        const KvProcessEntry hidden = reader.describe(60);
        QVERIFY(hidden.processId == 60 && hidden.parentProcessId == 1 && hidden.path.isEmpty());
        QCOMPARE(hidden.name, QStringLiteral("hidden-daemon"));
        tree.write(61, "../usr/bin/ls", 1);
        QCOMPARE(reader.describe(61).name, QStringLiteral(".._usr_bin_ls"));
        tree.write(63, "a-long-daemon-n", 1, {}, QByteArray("/usr/sbin/a-long-daemon-name\0", 29));
        QCOMPARE(reader.describe(63).name, QStringLiteral("a-long-daemon-name")); // as listed
        // Gone before it could be read: only the id is left.
        const KvProcessEntry gone = reader.describe(62);
        QVERIFY(gone.processId == 62 && gone.name.isEmpty() &&
                gone.parentProcessId == KvProcessEntry::noProcessId);
    }
    void pollingReportsNewProgramsAndEnds()
    {
        ProcTree tree;
        tree.write(200, "shell", 1, "/bin/bash");
        tree.write(400, "sh", 1, "/bin/sh");
        tree.write(500, "old", 1, "/usr/bin/old");
        Polling polling(tree);
        polling.source.poll();
        QVERIFY(polling.started.isEmpty()); // running before the source: known, not reported
        // A new process; 400 runs another program; 500 ended and its id went
        // to a new process of the same program.
        tree.write(300, "editor", 200, {}, QByteArray("editor\0my file\0", 15));
        tree.write(400, "make", 1, "/usr/bin/make");
        tree.write(500, "old", 1, "/usr/bin/old", {}, longAgo + 50);
        polling.source.poll();
        QCOMPARE(polling.started.keys(), (Ids{300, 400, 500}));
        QCOMPARE(polling.ended, Ids{500});
        QCOMPARE(polling.started.value(300).parentProcessId, 200u);
        QCOMPARE(polling.started.value(300).name, QStringLiteral("editor"));
        QCOMPARE(polling.started.value(400).path, QStringLiteral("/usr/bin/make"));
        // 400 renames itself: no new program. Ends are reported once, also of
        // processes that ran before the source.
        tree.write(400, "make: worker", 1, "/usr/bin/make");
        tree.remove(300);
        tree.remove(200);
        polling.source.poll();
        polling.source.poll();
        QCOMPARE(polling.started.size(), 3);
        QCOMPARE(sorted(polling.ended), (Ids{200, 300, 500}));
    }
    void pollingDefersYoungChildrenAndIgnoresKernelThreads()
    {
        ProcTree tree;
        tree.write(600, "server", 1, "/usr/sbin/server");
        tree.write(2, "kthreadd", 0, {}, {}, longAgo, kernelThread);
        tree.write(90, "kworker/0:1", 2, {}, {}, longAgo, kernelThread);
        Polling polling(tree);
        // Just forked, still the parent's image: it may be about to run a program. Just started and
        // already another program: reported at once. Just forked too, but gone before the next
        // listing: never reported.
        const QString server = QStringLiteral("/usr/sbin/server");
        tree.write(601, "server", 600, server, {}, ProcTree::justNow());
        tree.write(602, "helper", 600, "/usr/bin/helper", {}, ProcTree::justNow());
        tree.write(603, "server", 600, server, {}, ProcTree::justNow());
        tree.write(91, "kworker/1:2", 2, {}, {}, longAgo, kernelThread);
        polling.source.poll();
        QCOMPARE(polling.started.keys(), Ids{602});
        for (quint32 gone : {603, 90, 91})
            tree.remove(gone);
        polling.source.poll();
        QCOMPARE(polling.started.keys(), (Ids{601, 602}));
        QCOMPARE(polling.started.value(601).path, server);
        QVERIFY(polling.ended.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLinuxProcSources)
#include "tst_linuxprocsources.moc"
