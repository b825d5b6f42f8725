// The Windows backend's translation logic, which needs no Windows: WMI's
// process properties, the Toolhelp names and snapshots, job rates and the thread sweep.

#include "platform/windows/KvJobCpuRate.h"
#include "platform/windows/KvThreadSweep.h"
#include "platform/windows/KvWindowsProcessEntries.h"

#include <QTest>

using Properties = KvWindowsProcessEntries::Properties;
using Ids = QList<int>;

const qint64 none = -1;
const quint32 noParent = KvProcessEntry::noProcessId;

class TestWindowsLogic : public QObject
{
    Q_OBJECT

private slots:
    void creationEvents_data()
    {
        // The event's properties; the entry expected (id none: the event is
        // ignored, and logged), and whether its path is still to be read.
        QTest::addColumn<Properties>("event");
        QTest::addColumn<qint64>("id");
        QTest::addColumn<quint32>("parent");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("needsImage");
        const auto row = [](const char *tag, const Properties &event, qint64 id, quint32 parent,
                            const char *name, const char *path, bool needsImage) {
            QTest::newRow(tag) << event << id << parent << QString(name) << QString(path)
                               << needsImage;
        };
        row("executable path wins",
            {{"CommandLine", "/other/app -f"},
             {"ExecutablePath", "C:/opt/app.exe"},
             {"Handle", "1234"},
             {"Name", "app.exe"},
             {"ParentProcessId", 8}},
            1234, 8, "app.exe", "C:/opt/app.exe", false);
        row("quoted command line",
            {{"ExecutablePath", QVariant()},
             {"CommandLine", "\"C:/My App/app.exe\" -f \"x y\""},
             {"Handle", 77}},
            77, noParent, "", "C:/My App/app.exe", false);
        row("quote never closed", {{"CommandLine", "\"C:/My App/app -f"}, {"Handle", "5"}}, 5,
            noParent, "", "C:/My App/app -f", false);
        row("unquoted, with a blank", {{"CommandLine", "tool -v now"}, {"Handle", "5"}}, 5,
            noParent, "", "tool", false);
        row("blank in the first position", {{"CommandLine", " tool -v"}, {"Handle", "5"}}, 5,
            noParent, "", " tool", false);
        // Ids are unsigned though WMI may give them as signed integers; the later valid value wins.
        row("name only, ids as integers",
            {{"Handle", 7},
             {"Handle", "555"},
             {"Handle", QVariant()},
             {"Name", "tool.exe"},
             {"ParentProcessId", -2}},
            555, 0xFFFFFFFEu, "tool.exe", "", true);
        row("parent unreadable", {{"Handle", "5"}, {"ParentProcessId", "x"}}, 5, noParent, "", "",
            true);
        row("idle process", {{"Handle", "0"}, {"Name", "[System Process]"}}, 0, noParent,
            "System Idle Process", "", false);
        row("system", {{"Handle", "4"}}, 4, noParent, "System", "", false);
        row("no id", {{"Name", "x.exe"}}, none, noParent, "", "", false);
        row("id unreadable", {{"Handle", "not a number"}}, none, noParent, "", "", false);
    }
    void creationEvents()
    {
        QFETCH(Properties, event);
        QFETCH(qint64, id);
        if (id == none)
            QTest::ignoreMessage(QtCriticalMsg,
                                 "process creation event without a process id ignored");
        const std::optional<KvProcessEntry> entry = KvWindowsProcessEntries::started(event);
        QCOMPARE(entry.has_value(), id != none);
        if (!entry)
            return;
        QCOMPARE(qint64(entry->processId), id);
        QTEST(entry->parentProcessId, "parent");
        QTEST(entry->name, "name");
        QTEST(entry->path, "path");
        QTEST(KvWindowsProcessEntries::needsImagePath(*entry), "needsImage");
    }
    void deletionEvents_data()
    {
        // The event's properties; the id it names, and whether it is logged.
        QTest::addColumn<Properties>("event");
        QTest::addColumn<qint64>("id");
        QTest::addColumn<bool>("logged");
        QTest::newRow("first valid handle")
            << Properties{{"Handle", QVariant()}, {"Handle", "600"}, {"Handle", "601"}}
            << qint64(600) << false;
        QTest::newRow("no handle") << Properties{{"Name", "x"}} << none << false;
        QTest::newRow("handle unreadable")
            << Properties{{"Handle", "x"}, {"Handle", "9"}} << none << true;
    }
    void deletionEvents()
    {
        QFETCH(Properties, event);
        QFETCH(bool, logged);
        if (logged)
            QTest::ignoreMessage(QtCriticalMsg,
                                 "process deletion event without a process id ignored");
        const std::optional<quint32> ended = KvWindowsProcessEntries::ended(event);
        QTEST(ended ? qint64(*ended) : none, "id");
    }
    void snapshotNames()
    {
        // The pseudo-processes are named as Task Manager names them; a named 4 keeps its name.
        using Entries = KvWindowsProcessEntries;
        QCOMPARE(Entries::listed(0, 0, "[System Process]").name, "System Idle Process");
        QCOMPARE(Entries::listed(4, 0, "Registry").name, "Registry");
        QCOMPARE(Entries::listed(812, 640, "app.exe").parentProcessId, 640u);
        // Beside the last snapshot: 2 ended, 3 given to another program, 5 to the same
        // program by another parent, 4 started.
        QHash<quint32, Entries::Seen> known{
            {1, {"a.exe", 0}}, {2, {"b.exe", 0}}, {3, {"c.exe", 1}}, {5, {"cl.exe", 1}}};
        const Entries::Changes changes = Entries::compare(
            known, {Entries::listed(1, 0, "a.exe"), Entries::listed(3, 1, "d.exe"),
                    Entries::listed(4, 1, "e.exe"), Entries::listed(5, 4, "cl.exe")});
        QCOMPARE(QSet<quint32>(changes.ended.cbegin(), changes.ended.cend()),
                 (QSet<quint32>{2, 3, 5}));
        QCOMPARE(changes.started.size(), 3);
        QCOMPARE(changes.started.at(1).name + changes.started.at(2).name, "e.execl.exe");
        QCOMPARE(known.value(5), Entries::Seen("cl.exe", 4));
    }
    void jobRates()
    {
        // A rate in hundredths of a percent, and the job's rate (none: refused).
        for (const auto &row : QList<QPair<quint32, qint64>>{
                 {2500u, 2500}, {10000u, 10000}, {0u, none}, {10001u, none}}) {
            const std::optional<KvJobCpuRate> cap = KvJobCpuRate::hardCapAt(row.first);
            QCOMPARE(cap ? qint64(cap->cpuRate) : none, row.second);
            // JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP
            QVERIFY(!cap || cap->controlFlags == 5u);
        }
    }
    void threadSweep_data()
    {
        // The threads, those that do not open; those acted on, those
        // reported, and whether any was reached.
        for (const char *column : {"threads", "closed", "acted", "unreachable"})
            QTest::addColumn<Ids>(column);
        QTest::addColumn<bool>("reached");
        QTest::newRow("all") << Ids{1, 2, 3} << Ids{} << Ids{1, 2, 3} << Ids{} << true;
        QTest::newRow("one closed") << Ids{1, 2, 3} << Ids{2} << Ids{1, 3} << Ids{2} << true;
        QTest::newRow("all closed") << Ids{1, 2} << Ids{1, 2} << Ids{} << Ids{1, 2} << false;
        QTest::newRow("no threads") << Ids{} << Ids{} << Ids{} << Ids{} << false;
    }
    void threadSweep()
    {
        QFETCH(Ids, threads);
        QFETCH(Ids, closed);
        Ids acted, unreachable;
        // An opened thread is its id times ten; 0 stands for a failed open.
        const bool reached = KvThreadSweep::run(
            threads, [&](int id) { return closed.contains(id) ? 0 : id * 10; },
            [&](int thread) { acted << thread / 10; }, [&](int id) { unreachable << id; });
        QTEST(acted, "acted");
        QTEST(unreachable, "unreachable");
        QTEST(reached, "reached");
    }
};

QTEST_GUILESS_MAIN(TestWindowsLogic)
#include "tst_windowslogic.moc"
