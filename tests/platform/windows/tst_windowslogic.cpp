// The Windows backend's translation logic, which needs no Windows: WMI's
// process properties, the Toolhelp names, job rates and the thread sweep.

#include "platform/windows/KvJobCpuRate.h"
#include "platform/windows/KvThreadSweep.h"
#include "platform/windows/KvWindowsProcessEntries.h"

#include <QTest>

using Properties = KvWindowsProcessEntries::Properties;

namespace {

const qint64 none = -1;
const quint32 noParent = KvProcessEntry::noProcessId;

} // namespace

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
        QTest::newRow("executable path wins") << Properties{{"CommandLine", "/other/app -f"},
                                                            {"ExecutablePath", "C:/opt/app.exe"},
                                                            {"Handle", "1234"},
                                                            {"Name", "app.exe"},
                                                            {"ParentProcessId", 8}}
                                              << qint64(1234) << 8u << "app.exe"
                                              << "C:/opt/app.exe" << false;
        QTest::newRow("quoted command line")
            << Properties{{"ExecutablePath", QVariant()},
                          {"CommandLine", "\"C:/My App/app.exe\" -f \"x y\""},
                          {"Handle", 77}}
            << qint64(77) << noParent << ""
            << "C:/My App/app.exe" << false;
        QTest::newRow("quote never closed")
            << Properties{{"CommandLine", "\"C:/My App/app -f"}, {"Handle", "5"}} << qint64(5)
            << noParent << ""
            << "C:/My App/app -f" << false;
        QTest::newRow("unquoted, with a blank")
            << Properties{{"CommandLine", "tool -v now"}, {"Handle", "5"}} << qint64(5) << noParent
            << ""
            << "tool" << false;
        QTest::newRow("blank in the first position")
            << Properties{{"CommandLine", " tool -v"}, {"Handle", "5"}} << qint64(5) << noParent
            << ""
            << " tool" << false;
        // Ids are unsigned though WMI may give them as signed integers; the
        // later valid value wins.
        QTest::newRow("name only, ids as integers") << Properties{{"Handle", 7},
                                                                  {"Handle", "555"},
                                                                  {"Handle", QVariant()},
                                                                  {"Name", "tool.exe"},
                                                                  {"ParentProcessId", -2}}
                                                    << qint64(555) << 0xFFFFFFFEu << "tool.exe"
                                                    << "" << true;
        QTest::newRow("parent unreadable")
            << Properties{{"Handle", "5"}, {"ParentProcessId", "x"}} << qint64(5) << noParent << ""
            << "" << true;
        QTest::newRow("idle process") << Properties{{"Handle", "0"}, {"Name", "[System Process]"}}
                                      << qint64(0) << noParent << "System Idle Process"
                                      << "" << false;
        QTest::newRow("system") << Properties{{"Handle", "4"}} << qint64(4) << noParent << "System"
                                << "" << false;
        QTest::newRow("no id") << Properties{{"Name", "x.exe"}} << none << noParent << ""
                               << "" << false;
        QTest::newRow("id unreadable")
            << Properties{{"Handle", "not a number"}} << none << noParent << ""
            << "" << false;
    }

    void creationEvents()
    {
        QFETCH(Properties, event);
        QFETCH(qint64, id);
        if (id == none) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 "process creation event without a process id ignored");
        }
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
        QFETCH(qint64, id);
        QFETCH(bool, logged);
        if (logged) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 "process deletion event without a process id ignored");
        }
        const std::optional<quint32> ended = KvWindowsProcessEntries::ended(event);
        QCOMPARE(ended ? qint64(*ended) : none, id);
    }

    void snapshotNames()
    {
        // The pseudo-processes are named as Task Manager names them.
        QCOMPARE(KvWindowsProcessEntries::listed(0, 0, "[System Process]").name,
                 QStringLiteral("System Idle Process"));
        const KvProcessEntry registry = KvWindowsProcessEntries::listed(4, 0, "Registry");
        QCOMPARE(registry.name, QStringLiteral("Registry"));
        QVERIFY(!KvWindowsProcessEntries::needsImagePath(registry));
        const KvProcessEntry app = KvWindowsProcessEntries::listed(812, 640, "app.exe");
        QCOMPARE(app.parentProcessId, 640u);
        QVERIFY(KvWindowsProcessEntries::needsImagePath(app));
    }

    void jobRates_data()
    {
        // A rate in hundredths of a percent; the job's rate (none: refused).
        QTest::addColumn<quint32>("rate");
        QTest::addColumn<qint64>("cpuRate");
        QTest::newRow("a quarter") << 2500u << qint64(2500);
        QTest::newRow("lift") << 10000u << qint64(10000);
        QTest::newRow("nothing") << 0u << none;
        QTest::newRow("beyond the machine") << 10001u << none;
    }

    void jobRates()
    {
        QFETCH(quint32, rate);
        const std::optional<KvJobCpuRate> cap = KvJobCpuRate::hardCapAt(rate);
        QTEST(cap ? qint64(cap->cpuRate) : none, "cpuRate");
        // JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP
        if (cap)
            QCOMPARE(cap->controlFlags, 5u);
    }

    void threadSweep_data()
    {
        // The threads, those that do not open; those acted on, those
        // reported, and whether any was reached.
        QTest::addColumn<QList<int>>("threads");
        QTest::addColumn<QList<int>>("closed");
        QTest::addColumn<QList<int>>("acted");
        QTest::addColumn<QList<int>>("unreachable");
        QTest::addColumn<bool>("reached");
        using L = QList<int>;
        QTest::newRow("all") << L{1, 2, 3} << L{} << L{1, 2, 3} << L{} << true;
        QTest::newRow("one closed") << L{1, 2, 3} << L{2} << L{1, 3} << L{2} << true;
        QTest::newRow("all closed") << L{1, 2} << L{1, 2} << L{} << L{1, 2} << false;
        QTest::newRow("no threads") << L{} << L{} << L{} << L{} << false;
    }

    void threadSweep()
    {
        QFETCH(QList<int>, threads);
        QFETCH(QList<int>, closed);
        QList<int> acted, unreachable;
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
