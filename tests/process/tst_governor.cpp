#include "LogTail.h"
#include "TestStore.h"

#include "platform/simulated/KvSimulatedJobs.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "process/KvProcessGovernor.h"

#include <QFile>
#include <QtTest>

#include <memory>

using Restriction = KvProcessGovernor::Restriction;
using Journal = KvRestrictionJournal;

// The governor's effects on the simulated machine, its journal and its start-up.
class TestGovernor : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QDir(journals()).removeRecursively();
        machine = std::make_unique<KvSimulatedMachine>();
        jobs = std::make_unique<KvSimulatedJobs>(*machine);
        machine->installAsCurrent();
        jobs->installAsCurrent();
    }

    void cleanup()
    {
        governor.reset();
        jobs.reset();
        machine.reset();
    }

    void eachProcessHasOneRecordAndOneJob()
    {
        const DWORD target = machine->addProcess("/usr/bin/game");
        start();
        QVERIFY(governor->processes().contains(target));
        // A start reported for a known id replaces its record; an end removes it.
        governor->on_processNotifier_started(KvProcessInfo{target, 7, KvFileInfo()});
        QCOMPARE(governor->processes().value(target)->parentProcessId, DWORD(7));
        // The job comes back also when the process cannot join it; the next call retries.
        jobs->failAssignProcess(target, 5);
        expectCritical(5, target);
        const KvHandle job = governor->limitCpu(target, 30);
        QCOMPARE(jobs->cpuRateOf(target), DWORD(10000));
        jobs->failAssignProcess(target, 0);
        QCOMPARE(governor->limitCpu(target, 50).get(), job.get());
        QCOMPARE(jobs->cpuRateOf(target), DWORD(5000));
        QVERIFY(jobs->jobOf(job.get())->controlFlags & KvPlatformJobs::CpuRateControlHardCap);
        // A later process with the id gets a job of its own.
        governor->on_processNotifier_ended(target);
        QVERIFY(governor->processes().isEmpty());
        machine->addProcessWithId(target, "/usr/bin/other");
        QVERIFY(governor->limitCpu(target, 20).get() != job.get());
        QCOMPARE(jobs->cpuRateOf(target), DWORD(2000));
    }

    void executingAnotherProgramIsLogged()
    {
        const DWORD target = machine->addProcess("/usr/bin/game");
        start();
        cap(target, 30);
        LogTail log;
        governor->on_processNotifier_started(KvProcessInfo{target, 0, KvFileInfo("/usr/bin/b")});
        const QString message = QStringLiteral("process #%1 now runs %2 and stays restrained");
        QCOMPARE(log.governor(),
                 QStringList{message.arg(target).arg(QDir::toNativeSeparators("/usr/bin/b"))});
    }

    void liftingACapRestoresTheLatestOneStillHeld_data()
    {
        // Three rules cap one process at 30, 50 and 20 %, in that order.
        QTest::addColumn<QList<int>>("liftOrder");
        QTest::addColumn<QList<int>>("rates");
        QTest::newRow("latest first") << QList<int>{2, 1, 0} << QList<int>{5000, 3000, 10000};
        QTest::newRow("earliest first") << QList<int>{0, 1, 2} << QList<int>{2000, 2000, 10000};
    }

    void liftingACapRestoresTheLatestOneStillHeld()
    {
        QFETCH(QList<int>, liftOrder);
        QFETCH(QList<int>, rates);
        const DWORD target = machine->addProcess("/usr/bin/game");
        start();
        const QList<int> rules{cap(target, 30), cap(target, 50), cap(target, 20)};
        for (int i = 0; i < liftOrder.size(); ++i) {
            governor->removeRestrictionGroup(rules.at(liftOrder.at(i)));
            QCOMPARE(jobs->cpuRateOf(target), DWORD(rates.at(i)));
        }
        // The process stays in its job, raised to the whole machine.
        QVERIFY(jobs->jobOfProcess(target));
    }

    void suspensionsCountPerThreadAndAreLiftedOnce()
    {
        const DWORD target = machine->addProcess("/usr/bin/game", 0, 3);
        const DWORD bystander = machine->addProcess("/usr/bin/other");
        start();
        QCOMPARE(suspend(target), 1);
        QCOMPARE(suspend(target), 2);
        const QList<DWORD> threads = machine->threadIdsOf(target);
        for (DWORD thread : threads)
            QCOMPARE(jobs->suspendCount(thread), DWORD(2));
        QVERIFY(!jobs->isSuspended(bystander));
        // A group is lifted once; ids without a group do nothing.
        for (int id : {1, 1, -1, 99})
            governor->removeRestrictionGroup(id);
        for (DWORD thread : threads)
            QCOMPARE(jobs->suspendCount(thread), DWORD(1));
        governor->removeRestrictionGroup(2);
        QVERIFY(!jobs->isSuspended(target));
        // Ids are never handed out twice, nor over a group that appending made.
        const Restriction suspension(KvProcessGovernor::Suspend, target);
        governor->appendRestriction(4, suspension);
        governor->appendRestriction(4, suspension);
        QCOMPARE(governor->addRestrictionGroup(suspension), 3);
        QCOMPARE(governor->addRestrictionGroup(suspension), 5);
    }

    void failedThreadsAndRatesAreLoggedWithTheirCodes()
    {
        const DWORD target = machine->addProcess("/usr/bin/threads", 0, 2);
        // Where no cap can be set at all, the start says so once, and why.
        jobs->setCpuCapsUnavailable(QStringLiteral("no cpu controller"));
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression("cannot be applied.*: no cpu controller$"));
        start();
        jobs->setCpuCapsUnavailable(QString());
        const QList<DWORD> threads = machine->threadIdsOf(target);
        // A thread that cannot be opened keeps no other from its turn.
        jobs->failOpenThread(threads.first(), 1450);
        expectCritical(1450, threads.first());
        suspend(target);
        QCOMPARE(jobs->suspendCount(threads.last()), DWORD(1));
        const int capped = cap(target, 40);
        jobs->failSetCpuRate(5);
        expectCritical(5, target);
        governor->removeRestrictionGroup(capped);
        QCOMPARE(jobs->cpuRateOf(target), DWORD(4000));
        // A lift that failed stays in the journal and is tried again until
        // it works.
        QCOMPARE(journal().size(), 2);
        governor->checkCaps();
        jobs->failSetCpuRate(0);
        QTest::ignoreMessage(
            QtInfoMsg,
            QStringLiteral("process #%1 CPU limit removed").arg(target).toUtf8().constData());
        governor->checkCaps();
        QCOMPARE(jobs->cpuRateOf(target), DWORD(10000));
        QCOMPARE(journal().size(), 1);
        QVERIFY(!governor->checkingCaps());
    }

    void ownProcessIsNeverRestrained()
    {
        const DWORD own = machine->addProcess("/usr/bin/corvane", 0, 2);
        machine->setCurrentProcessId(own);
        start();
        QVERIFY(!governor->limitCpu(own, 10).isValid());
        governor->suspend(own);
        QVERIFY(jobs->jobNumbers().isEmpty());
        QVERIFY(!jobs->isSuspended(own));
        QVERIFY(Journal::filesIn(journals()).isEmpty());
    }

    void aLostCapIsDroppedAndReportedOnce()
    {
        const DWORD target = machine->addProcess("/usr/bin/game");
        const DWORD other = machine->addProcess("/usr/bin/other");
        start();
        QVERIFY(!governor->checkingCaps());
        const int rule = cap(target, 30);
        cap(target, 50);
        const int kept = cap(other, 40);
        QList<DWORD> lost;
        connect(governor.get(), &KvProcessGovernor::capLost, [&lost](DWORD id) { lost << id; });
        jobs->takeOutOfJob(target);
        const QString line =
            QStringLiteral("process #%1 CPU limit lost: the process was taken out of it by "
                           "something else")
                .arg(target);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(line));
        LogTail log;
        governor->checkCaps();
        governor->checkCaps();
        QCOMPARE(lost, QList<DWORD>{target});
        QCOMPARE(journal(), QList<Journal::Entry>{entry(Journal::Cap, other)});
        // Nothing of it comes back, and its rule's end has nothing to lift or say.
        QCOMPARE(jobs->job(1)->cpuRate, DWORD(10000));
        governor->removeRestrictionGroup(rule);
        QCOMPARE(log.governorEntries(), QStringList{"W " + line});
        QVERIFY(governor->checkingCaps());
        governor->removeRestrictionGroup(kept);
        QVERIFY(!governor->checkingCaps());
    }

    void suspensionOfAnEndedProcessDoesNotReachItsSuccessor()
    {
        const DWORD target = machine->addProcess("/usr/bin/first", 0, 2);
        start();
        const int ended = suspend(target);
        governor->appendRestriction(ended, Restriction(KvProcessGovernor::LimitCpu, target,
                                                       governor->limitCpu(target, 30)));
        // The process ends, and a new one is given its id and suspended in turn.
        machine->removeProcess(target);
        governor->on_processNotifier_ended(target);
        // What was held of it went with it: its end is not lifted later.
        QVERIFY(journal().isEmpty());
        QVERIFY(!governor->checkingCaps());
        machine->addProcessWithId(target, "/usr/bin/second", 0, 2);
        const int successor = suspend(target);
        LogTail log;
        governor->removeRestrictionGroup(ended);
        QVERIFY(log.governor().isEmpty());
        for (DWORD thread : machine->threadIdsOf(target))
            QCOMPARE(jobs->suspendCount(thread), DWORD(1));
        QCOMPARE(journal(), QList<Journal::Entry>{entry(Journal::Suspension, target)});
        governor->removeRestrictionGroup(successor);
        QVERIFY(!jobs->isSuspended(target));
    }

    void journalHoldsAnActionBeforeItTakesEffect()
    {
        const DWORD capped = machine->addProcess("/usr/bin/a");
        const DWORD suspended = machine->addProcess("/usr/bin/b");
        start();
        const Journal::Entry capEntry = entry(Journal::Cap, capped);
        const Journal::Entry suspension = entry(Journal::Suspension, suspended);
        // What the journal holds as each action reaches the machine (a run killed
        // right then must leave nothing in force that the next one misses).
        QList<QList<Journal::Entry>> seen;
        machine->setCallObserver([&](const QString &call) {
            if (call.startsWith("AssignProcessToJobObject") || call.startsWith("SuspendThread"))
                seen << journal();
        });
        const int rule = cap(capped, 40);
        governor->suspend(suspended);
        governor->appendRestriction(rule, Restriction(KvProcessGovernor::Suspend, suspended));
        const int other = suspend(suspended);
        machine->setCallObserver(nullptr);
        QCOMPARE(seen,
                 (QList<QList<Journal::Entry>>{
                     {capEntry}, {capEntry, suspension}, {capEntry, suspension, suspension}}));
        // Lifting a group forgets its entries, one suspension of two included.
        governor->removeRestrictionGroup(rule);
        QCOMPARE(jobs->cpuRateOf(capped), DWORD(10000));
        QCOMPARE(journal(), QList<Journal::Entry>{suspension});
        governor->removeRestrictionGroup(other);
        QVERIFY(!jobs->isSuspended(suspended));
        QVERIFY(Journal::filesIn(journals()).isEmpty());
    }

    void leftoversOfAKilledRunAreLifted()
    {
        const DWORD capped = machine->addProcess("/usr/bin/a");
        const DWORD suspended = machine->addProcess("/usr/bin/b", 0, 2);
        const DWORD successor = machine->addProcess("/usr/bin/c");
        // A capped job nobody holds that the journal omits, threads suspended twice as it
        // says, and the third id with another creation time (another process) in it.
        const int job = jobs->addLeftoverJob(capped, 2500);
        Journal killedRun(leftJournal());
        killedRun.add(Journal::Entry{Journal::Cap, successor, 99});
        for (const Journal::Entry &left :
             {entry(Journal::Suspension, suspended), entry(Journal::Suspension, suspended),
              Journal::Entry{Journal::Suspension, successor, 99}}) {
            killedRun.add(left);
            jobs->addLeftoverSuspension(left.processId);
        }
        LogTail log;
        start();
        QCOMPARE(jobs->cpuRateOf(capped), DWORD(10000));
        QVERIFY(!jobs->isSuspended(suspended));
        QVERIFY(jobs->isSuspended(successor));
        QVERIFY(Journal::filesIn(journals()).isEmpty());
        QCOMPARE(log.governor().filter(QStringLiteral("CPU limit")),
                 QStringList{QStringLiteral("process #%1 CPU limit left by a previous run removed")
                                 .arg(capped)});
        QVERIFY(log.governor().contains(
            QStringLiteral("job #%1 left by a previous run removed").arg(job)));
        // Where jobs of another run cannot be reached (Windows), one line says so.
        jobs->setLeftoverJobsReachable(false);
        Journal(leftJournal()).add(entry(Journal::Cap, capped));
        QTest::ignoreMessage(
            QtCriticalMsg, QRegularExpression(QStringLiteral("#%1 cannot be removed").arg(capped)));
        start();
    }

    void copiesLiftOnlyWhatEndedRunsLeft()
    {
        const DWORD suspended = machine->addProcess("/usr/bin/a", 0, 2);
        const DWORD capped = machine->addProcess("/usr/bin/b");
        // Copy A suspends one process and caps another; copy B starts meanwhile,
        // finds nothing to lift, and does the same with a looser cap.
        const DWORD copyA = startCopy();
        suspend(suspended);
        cap(capped, 30);
        LogTail log;
        startCopy();
        QVERIFY(log.governor().isEmpty());
        suspend(suspended);
        cap(capped, 50);
        // A is killed: a third copy lifts what A left, and nothing of B's.
        machine->removeProcess(copyA);
        log.mark();
        startCopy();
        QVERIFY(jobs->isSuspended(suspended));
        QCOMPARE(jobs->cpuRateOf(capped), DWORD(5000));
        QCOMPARE(
            log.governor(),
            (QStringList{
                QStringLiteral("process #%1 left suspended by a previous run stays suspended: a "
                               "running copy of the program suspends it too")
                    .arg(suspended),
                QStringLiteral("process #%1 CPU limit left by a previous run removed").arg(capped),
                QStringLiteral("job #1 left by a previous run removed")}));
    }

    void unreadableJournalStartsAfresh()
    {
        const DWORD suspended = machine->addProcess("/usr/bin/b");
        jobs->addLeftoverSuspension(suspended);
        QDir().mkpath(journals());
        QFile file(leftJournal());
        const auto write = [&file](QIODevice::OpenMode mode, const char *text) {
            QVERIFY(file.open(mode));
            file.write(text);
            file.close();
        };
        write(QIODevice::WriteOnly, "garbage");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("cannot be read"));
        start();
        QVERIFY(Journal::filesIn(journals()).isEmpty());
        QVERIFY(jobs->isSuspended(suspended));
        // A line that makes no sense is left out; the others are still lifted.
        Journal(leftJournal()).add(entry(Journal::Suspension, suspended));
        write(QIODevice::Append, "suspend x y\n");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("line\\(s\\) 3\\b"));
        start();
        QVERIFY(!jobs->isSuspended(suspended));
        QVERIFY(Journal::filesIn(journals()).isEmpty());
    }

private:
    void start() { governor = std::make_unique<KvProcessGovernor>(nullptr, journals()); }
    // A governor in another copy of the program; returns the copy's process.
    DWORD startCopy()
    {
        const DWORD copy = machine->addProcess("/usr/bin/corvane");
        machine->setCurrentProcessId(copy);
        start();
        return copy;
    }
    // One rule's action, as a group of its own.
    int cap(DWORD id, unsigned int percent)
    {
        return governor->addRestrictionGroup(
            Restriction(KvProcessGovernor::LimitCpu, id, governor->limitCpu(id, percent)));
    }
    int suspend(DWORD id)
    {
        governor->suspend(id);
        return governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, id));
    }
    // The next critical message must carry the error code and name the id.
    static void expectCritical(DWORD code, DWORD id)
    {
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("^%1 .*#%2\\b").arg(code).arg(id)));
    }
    QString journals() const { return store.path(QStringLiteral("journals")); }
    // The one journal of the versions before journals per run: a killed run's.
    QString leftJournal() const { return journals() + QStringLiteral("/restrictions.journal"); }
    // What the one journal there holds: the running governor's.
    QList<Journal::Entry> journal() const
    {
        QList<Journal::Entry> entries;
        QString problem;
        Journal(journals() + '/' + Journal::filesIn(journals()).value(0)).read(entries, problem);
        return entries;
    }
    Journal::Entry entry(Journal::Kind kind, DWORD id)
    {
        return {kind, id, machine->process(id)->startTime};
    }

    TestStore store;
    std::unique_ptr<KvSimulatedMachine> machine;
    std::unique_ptr<KvSimulatedJobs> jobs;
    std::unique_ptr<KvProcessGovernor> governor;
};

QTEST_GUILESS_MAIN(TestGovernor)
#include "tst_governor.moc"
