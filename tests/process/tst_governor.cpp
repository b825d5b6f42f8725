// The governor's effects on the simulated machine, its journal and its
// start-up, and the process list it starts from.

#include "LogTail.h"
#include "SimulatedMachine.h"
#include "TestStore.h"

#include "process/KvProcessGovernor.h"
#include "process/KvProcessesModel.h"

#include <QtTest>

using Action = KvProcessGovernor::Action;
using Journal = KvRestrictionJournal;
using Kind = Journal::Kind;
using Entries = QList<Journal::Entry>;

// Runs observe whenever a restriction reaches the machine.
struct ObservedMachine : SimulatedMachine
{
    KvResult<std::unique_ptr<KvCpuGroup>> create(bool shared) override
    {
        return observe(), SimulatedMachine::create(shared);
    }
    KvStatus suspend(quint32 id) override { return observe(), SimulatedMachine::suspend(id); }
    std::function<void()> observe = [] {};
};

class TestGovernor : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        governor.reset();
        machine.reset();
        QDir(journals()).removeRecursively();
        machine = std::make_unique<ObservedMachine>();
        a = machine->addProcess("/usr/bin/a");
        b = machine->addProcess("/usr/bin/b");
        start();
    }
    void eachProcessHasOneRecordAndOneGroup()
    {
        // The table lists what runs; a start reported for a known id replaces its record.
        QVERIFY(governor->processes().contains(a));
        governor->followStart(KvProcessInfo{a, 7, KvFileInfo()});
        QCOMPARE(governor->processes().value(a)->parentProcessId, quint32(7));
        // A cap failing at any step is logged with its code; the next one is tried afresh.
        for (auto fail : {&SimulatedMachine::createFailure, &SimulatedMachine::setRateFailure,
                          &SimulatedMachine::addFailure}) {
            machine.get()->*fail = 5;
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(line("^5 .*#%1\\b", a)));
            QVERIFY(!governor->hold(-1, Action::LimitCpu, a, 30).inForce);
            machine.get()->*fail = 0;
            QCOMPARE(machine->cpuRateOf(a), KvCpuGroup::unlimited);
        }
        QVERIFY(journal().isEmpty()); // none took effect: a later start has nothing to lift
        const int capped = cap(a, 50);
        QVERIFY(machine->cpuRateOf(a) == 5000 && machine->groupCount() == 1);
        // Running another program, it stays restrained, and the log says so.
        LogTail log;
        governor->followStart(KvProcessInfo{a, 0, KvFileInfo("/usr/bin/c")});
        QCOMPARE(log.governor(), QStringList{line("process #%1 now runs %2 and stays restrained", a)
                                                 .arg(QDir::toNativeSeparators("/usr/bin/c"))});
        // The group goes with its process; a later one with the id gets its own.
        const std::weak_ptr<KvCpuGroup> group = governor->restrictionGroups()[capped][0].group;
        machine->removeProcess(a);
        governor->followEnd(a);
        QVERIFY(!governor->processes().contains(a) && group.expired());
        machine->addProcessWithId(a, "/usr/bin/other");
        cap(a, 20);
        QCOMPARE(machine->cpuRateOf(a), quint32(2000));
    }
    void liftingACapRestoresTheLatestOneStillHeld()
    {
        // Three rules cap at 30, 50 and 20 %, lifted latest first, then earliest first.
        const QList<QList<int>> orders{{2, 1, 0}, {0, 1, 2}};
        const QList<QList<int>> rates{{5000, 3000, 10000}, {2000, 2000, 10000}};
        for (int run = 0; run < 2; ++run) {
            const QList<int> rules{cap(a, 30), cap(a, 50), cap(a, 20)};
            for (int i = 0; i < 3; ++i) {
                governor->lift(rules.at(orders[run][i]));
                QCOMPARE(machine->cpuRateOf(a), quint32(rates[run][i]));
            }
        }
        // A cap that fails to take the process leaves the one in force, then and when lifted.
        const int held = cap(a, 50);
        machine->addFailure = 5;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("assign process"));
        const int failed = cap(a, 20);
        machine->addFailure = 0;
        QCOMPARE(machine->cpuRateOf(a), 5000u);
        governor->lift(failed);
        QCOMPARE(machine->cpuRateOf(a), 5000u);
        governor->lift(held);
    }
    void holdsAreJournalledFirstCountedAndLiftedOnce()
    {
        // Noted before it reaches the machine: a run killed then leaves nothing unnoted.
        QList<Entries> seen;
        machine->observe = [&] { seen << journal(); };
        QCOMPARE(suspend(a), 1);
        QCOMPARE(governor->hold(1, Action::LimitCpu, b, 40).groupId, 1);
        QCOMPARE(suspend(a), 2);
        machine->observe = [] {};
        const Journal::Entry held = entry(Kind::Suspension, a), capped = entry(Kind::Cap, b);
        QCOMPARE(seen, (QList<Entries>{{held}, {held, capped}, {held, capped, held}}));
        QVERIFY(machine->suspensionsOf(a) == 2 && !machine->isSuspended(b));
        // A group is lifted once, its entries with it; ids without a group do nothing.
        for (int id : {1, 1, -1, 99})
            governor->lift(id);
        QVERIFY(machine->suspensionsOf(a) == 1 && machine->cpuRateOf(b) == KvCpuGroup::unlimited);
        QCOMPARE(journal(), Entries{held});
        governor->lift(2);
        QVERIFY(!machine->isSuspended(a) && Journal::filesIn(journals()).isEmpty());
        // Ids are never handed out twice, nor over a group that a hold made.
        governor->hold(4, Action::Suspend, a);
        QCOMPARE(governor->hold(4, Action::Suspend, a).groupId, 4);
        QCOMPARE(suspend(a), 3);
        QCOMPARE(suspend(a), 5);
        // The program's own process is never restrained, nor noted.
        QVERIFY(!governor->hold(-1, Action::LimitCpu, machine->ownId(), 10).inForce);
        suspend(machine->ownId());
        const quint32 own = machine->ownId();
        QVERIFY(machine->cpuRateOf(own) == KvCpuGroup::unlimited && !machine->isSuspended(own));
        QCOMPARE(journal().size(), 4);
    }
    void failuresAreLoggedWithTheirCodesAndLiftsRetried()
    {
        // Where no cap can be set at all, the start says so once, and why.
        machine->capsUnavailable = "no cpu controller";
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("be applied.*: no cpu controller$"));
        start();
        machine->capsUnavailable = QString();
        // A suspension that fails is held all the same, but leaves the journal at once: a
        // later start finds nothing of it to lift.
        machine->suspendFailure = 3;
        const KvProcessGovernor::Held failed = governor->hold(-1, Action::Suspend, a);
        QVERIFY(!failed.inForce && governor->holds(failed.groupId, a) && journal().isEmpty());
        machine->suspendFailure = 0;
        governor->lift(failed.groupId);
        // Nothing is restrained that the journal cannot hold, and the log says so once.
        const QString blocked =
            journals() + '/' + Journal::fileName(KvPlatformProcesses::current().runId()) + ".new";
        QVERIFY(QDir().mkpath(blocked));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("journal .* nothing more is"));
        const KvProcessGovernor::Held unnoted = governor->hold(-1, Action::Suspend, b);
        QVERIFY(!unnoted.inForce && !machine->isSuspended(b) && QDir().rmdir(blocked));
        governor->lift(unnoted.groupId);
        // A failed lift stays in force and journalled, retried every few seconds even alone.
        const int capped = cap(a, 40);
        machine->setRateFailure = 5;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(line("^5 .*#%1\\b", a)));
        governor->lift(capped);
        QVERIFY(governor->checkingCaps()); // nothing else held: the retry alone arms the check
        governor->checkCaps();             // the first retry fails as well
        QVERIFY(machine->cpuRateOf(a) == 4000 && journal() == Entries{entry(Kind::Cap, a)});
        machine->setRateFailure = 0;
        LogTail log;
        governor->checkCaps();
        QCOMPARE(log.governor(), QStringList{line("process #%1 CPU limit removed", a)});
        QVERIFY(machine->cpuRateOf(a) == KvCpuGroup::unlimited && journal().isEmpty() &&
                !governor->checkingCaps());
    }
    void aLostCapIsDroppedAndReportedOnce()
    {
        const int rule = cap(a, 30);
        cap(a, 50);
        const int kept = cap(b, 40);
        const std::shared_ptr<KvCpuGroup> group = governor->restrictionGroups()[rule][0].group;
        QList<quint32> lost;
        connect(governor.get(), &KvProcessGovernor::capLost, [&lost](quint32 id) { lost << id; });
        machine->takeOutOfGroups(a);
        const QString warning = line(
            "process #%1 CPU limit lost: the process was taken out of it by something else", a);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        LogTail log;
        governor->checkCaps();
        governor->checkCaps();
        QCOMPARE(lost, QList<quint32>{a});
        QCOMPARE(journal(), Entries{entry(Kind::Cap, b)});
        // It stays off should the process rejoin the group; its rule's end is silent.
        QVERIFY(group->add(a));
        QCOMPARE(machine->cpuRateOf(a), KvCpuGroup::unlimited);
        governor->lift(rule);
        QCOMPARE(log.governorEntries(), QStringList{"W " + warning});
        QVERIFY(governor->checkingCaps());
        governor->lift(kept);
        QVERIFY(!governor->checkingCaps());
    }
    void liftNeverReachesANewcomerWithTheId_data()
    {
        // Whether the end of the id's first process, and the start of the next, were heard.
        QTest::addColumn<bool>("endHeard");
        QTest::addColumn<bool>("startHeard");
        QTest::newRow("end heard") << true << true;
        QTest::newRow("end missed, newcomer polled") << false << true;
        QTest::newRow("end and start lost") << false << false;
    }
    void liftNeverReachesANewcomerWithTheId()
    {
        QFETCH(bool, endHeard);
        QFETCH(bool, startHeard);
        const int first = suspend(b);
        if (endHeard)
            governor->hold(first, Action::LimitCpu, b, 30);
        machine->removeProcess(b);
        if (endHeard) {
            // What was held of it goes with it: its lift is not tried later.
            governor->followEnd(b);
            QVERIFY(journal().isEmpty() && !governor->checkingCaps());
        }
        machine->addProcessWithId(b, "/usr/bin/newcomer");
        if (startHeard) // the newcomer has the highest id
            governor->followStart(KvProcessInfo::running().last());
        // Another rule suspends the newcomer.
        const int second = suspend(b);
        LogTail log;
        governor->lift(first);
        QCOMPARE(machine->suspensionsOf(b), 1);
        const QString ended = line("process #%1 has ended; its threads are not resumed", b);
        QCOMPARE(log.governor(), endHeard ? QStringList() : QStringList{ended});
        QCOMPARE(journal(), Entries{entry(Kind::Suspension, b)});
        governor->lift(second);
        QVERIFY(!machine->isSuspended(b));
    }
    void leftoversOfAKilledRunAreLifted()
    {
        // A group no journal names, b suspended twice, and c's id with another start time.
        const quint32 c = machine->addProcess("/usr/bin/c");
        machine->leaveGroup(a, 2500);
        Journal killedRun(leftJournal());
        const Entries left{entry(Kind::Suspension, b), entry(Kind::Suspension, b),
                           Journal::Entry{Kind::Suspension, c, 99}};
        killedRun.add({Journal::Entry{Kind::Cap, c, 99}});
        killedRun.add(left);
        for (const Journal::Entry &suspension : left)
            machine->leaveSuspension(suspension.processId);
        // A line that makes no sense is left out; the others are still lifted.
        QVERIFY(write(leftJournal(), QIODevice::Append, "suspend x y\n"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("line\\(s\\) 6\\b"));
        LogTail log;
        start();
        QCOMPARE(machine->cpuRateOf(a), KvCpuGroup::unlimited);
        QVERIFY(!machine->isSuspended(b) && machine->isSuspended(c));
        QCOMPARE(log.governor().filter(QRegularExpression("(CPU limit|job) .* by a previous run")),
                 (QStringList{line("process #%1 CPU limit left by a previous run removed", a),
                              "job leftover-1 left by a previous run removed"}));
        // An unreadable journal is dropped, nothing of it lifted; unreachable groups are said once.
        machine->leaveSuspension(b);
        QVERIFY(write(leftJournal(), QIODevice::WriteOnly, "garbage"));
        Journal(journals() + "/restrictions-77-1.journal").add({entry(Kind::Cap, a)});
        machine->leftoversReachable = false;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("cannot be read"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(line("#%1 cannot be removed", a)));
        start();
        QVERIFY(Journal::filesIn(journals()).isEmpty() && machine->isSuspended(b));
    }
    void copiesLiftOnlyWhatEndedRunsLeft()
    {
        // Copy A holds a and b; copy B starts meanwhile and finds nothing to lift.
        const quint32 copyA = startCopy();
        suspend(a);
        cap(b, 30);
        std::unique_ptr<KvProcessGovernor> copy = std::move(governor);
        LogTail log;
        const quint32 copyB = startCopy();
        QVERIFY(log.governor().isEmpty());
        // A is killed; B does as A did, with a looser cap.
        machine->abandonHolds();
        copy.reset();
        machine->removeProcess(copyA);
        suspend(a);
        cap(b, 50);
        // A third copy lifts what A left, and nothing of B's.
        copy = std::move(governor);
        log.mark();
        startCopy();
        QVERIFY(machine->isSuspended(a) && machine->cpuRateOf(b) == 5000);
        QCOMPARE(log.governor(),
                 (QStringList{line("process #%1 left suspended by a previous run stays suspended: "
                                   "a running copy of the program suspends it too",
                                   a),
                              line("process #%1 CPU limit left by a previous run removed", b),
                              "job leftover-1 left by a previous run removed"}));
        // B is killed too, and nothing changes in the journals: the third copy lifts what B left.
        machine->abandonHolds();
        copy.reset();
        machine->removeProcess(copyB);
        QTRY_VERIFY(!machine->isSuspended(a) && machine->cpuRateOf(b) == KvCpuGroup::unlimited);
    }
    void modelListsTheProcessesWithAPath()
    {
        machine->addProcessWithId(a, "kthreadd"); // no path to show
        machine->addProcessWithId(4000000000u, "/usr/bin/make");
        KvProcessesModel model;
        QStringList shown;
        for (int row = -1; row <= model.rowCount(); ++row) {
            for (int column = 0; column < model.columnCount(); ++column)
                shown << (row < 0 ? model.headerData(column, Qt::Horizontal)
                                  : model.index(row, column).data())
                             .toString();
        }
        // Paths are shown as the system writes them. A row the model never had reads as nothing
        // rather than as garbage.
        const auto path = [](const char *path) { return QDir::toNativeSeparators(path); };
        QCOMPARE(shown,
                 (QStringList{"Name", "#", "Filepath", "tests", "500", path("/usr/bin/tests"), "b",
                              QString::number(b), path("/usr/bin/b"), "make", "4000000000",
                              path("/usr/bin/make"), "", "", ""}));
        QCOMPARE(model.index(2, 1).data().userType(), int(QMetaType::UInt));
        machine->listingFailure = 5;
        QCOMPARE(KvProcessesModel().rowCount(), 0);
    }

private:
    void start() { governor = std::make_unique<KvProcessGovernor>(nullptr, journals()); }
    // A governor in another copy of the program; returns the copy's process.
    quint32 startCopy()
    {
        machine->setOwnId(machine->addProcess("/usr/bin/corvane"));
        start();
        return machine->ownId();
    }
    // One rule's action, as a group of its own.
    int cap(quint32 id, unsigned p) { return governor->hold(-1, Action::LimitCpu, id, p).groupId; }
    int suspend(quint32 id) { return governor->hold(-1, Action::Suspend, id).groupId; }
    static bool write(const QString &path, QIODevice::OpenMode mode, const char *text)
    {
        QFile file(path);
        return QDir().mkpath(QFileInfo(path).path()) && file.open(mode) && file.write(text) > 0;
    }
    QString journals() const { return store.path(QStringLiteral("journals")); }
    // The one journal of the versions before journals per run: a killed run's.
    QString leftJournal() const { return journals() + QStringLiteral("/restrictions.journal"); }
    // What the one journal there holds: the running governor's.
    Entries journal() const
    {
        Entries held;
        QString problem;
        Journal(journals() + '/' + Journal::filesIn(journals()).value(0)).read(held, problem);
        return held;
    }
    Journal::Entry entry(Kind k, quint32 id) { return {k, id, machine->startTime(id).value()}; }
    static QString line(const char *format, quint32 id) { return QString(format).arg(id); }

    TestStore store;
    std::unique_ptr<ObservedMachine> machine;
    std::unique_ptr<KvProcessGovernor> governor;
    quint32 a = 0, b = 0;
};

QTEST_MAIN(TestGovernor)
#include "tst_governor.moc"
