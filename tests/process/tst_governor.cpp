#include "LogTail.h"

#include "platform/simulated/KvSimulatedJobs.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "process/KvProcessGovernor.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Restriction = KvProcessGovernor::Restriction;

// The governor's logic on the simulated machine: every message it logs, the
// rates and suspend counts it leaves, and what it lifts after a crash.
class TestGovernor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void processTableFollowsSnapshotAndNotifier();
    void limitCpuRunsEveryStepOnEveryCall();
    void liftingOneOfTwoCapsRestoresTheOther_data();
    void liftingOneOfTwoCapsRestoresTheOther();
    void suspensionsCountPerThread();
    void groupIdsAndRemovalOfUnknownGroups();
    void revertFollowsOrderOfAddition();
    void failuresAreLoggedWithTheirErrorCodes();
    void ownProcessIsNeverRestrained();
    void suspensionOfAnEndedProcessDoesNotReachItsSuccessor();
    void journalHoldsWhatIsInForce();
    void leftoversOfAKilledRunAreLifted();
    void unreadableJournalStartsAfresh();

private:
    std::unique_ptr<KvProcessGovernor> makeGovernor();
    QString journalPath() const { return journalDir->filePath(QStringLiteral("journal")); }
    void writeJournal(const QByteArray &content);
    int callCount(const QString &prefix) const;

    std::unique_ptr<QTemporaryDir> journalDir;
    std::unique_ptr<KvSimulatedMachine> machine;
    std::unique_ptr<KvSimulatedJobs> jobs;
    LogTail log;
};

void TestGovernor::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestGovernor::init()
{
    journalDir = std::make_unique<QTemporaryDir>();
    machine = std::make_unique<KvSimulatedMachine>();
    jobs = std::make_unique<KvSimulatedJobs>(*machine);
    machine->installAsCurrent();
    jobs->installAsCurrent();
    log.mark();
}

void TestGovernor::cleanup()
{
    jobs->uninstall();
    machine->uninstall();
    jobs.reset();
    machine.reset();
}

std::unique_ptr<KvProcessGovernor> TestGovernor::makeGovernor()
{
    auto governor = std::make_unique<KvProcessGovernor>(nullptr, journalPath());
    machine->clearCalls();
    log.mark();
    return governor;
}

void TestGovernor::writeJournal(const QByteArray &content)
{
    QFile file(journalPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

int TestGovernor::callCount(const QString &prefix) const
{
    int count = 0;
    for (const QString &call : machine->calls())
        count += call.startsWith(prefix) ? 1 : 0;
    return count;
}

void TestGovernor::processTableFollowsSnapshotAndNotifier()
{
    const DWORD first = machine->addProcess(QStringLiteral("/usr/bin/first"));
    const DWORD second = machine->addProcess(QStringLiteral("/usr/bin/second"), first);
    auto governor = makeGovernor();
    QVERIFY(governor->processes().contains(first));
    QCOMPARE(governor->processes().value(second)->parentProcessId, first);
    QCOMPARE(governor->processes().value(second)->fileInfo.filePath(),
             QStringLiteral("/usr/bin/second"));

    // A process that starts afterwards enters only through the notifier.
    const DWORD later = machine->addProcess(QStringLiteral("/usr/bin/later"));
    QVERIFY(!governor->processes().contains(later));
    KvProcessInfo info;
    info.processId = later;
    info.parentProcessId = first;
    governor->on_processNotifier_started(info);
    QCOMPARE(governor->processes().value(later)->parentProcessId, first);
    info.parentProcessId = second; // the same id again replaces the record
    governor->on_processNotifier_started(info);
    QCOMPARE(governor->processes().value(later)->parentProcessId, second);

    governor->on_processNotifier_ended(later);
    QVERIFY(!governor->processes().contains(later));
    QCOMPARE(log.governorEntries(), QStringList());
    governor->on_processNotifier_ended(later);
    QCOMPARE(log.governorEntries(),
             QStringList{QStringLiteral("D process #%1 to remove not found").arg(later)});
    QCOMPARE(governor->processes().size(), machine->processIds().size() - 1);
}

void TestGovernor::limitCpuRunsEveryStepOnEveryCall()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/game"));
    auto governor = makeGovernor();

    const KvHandle job = governor->limitCpu(target, 30);
    QVERIFY(job.isValid());
    const KvSimulatedJob *record = jobs->jobOf(job.get());
    QVERIFY(record);
    QCOMPARE(record->limitFlags, DWORD(0x1000));
    QCOMPARE(record->controlFlags, DWORD(5));
    QCOMPARE(jobs->cpuRateOf(target), DWORD(3000));
    QVERIFY(machine->calls().contains(QStringLiteral("OpenProcess(0x101, %1)").arg(target)));

    // The same process again: the same job, every step again, the later rate.
    const KvHandle again = governor->limitCpu(target, 50);
    QCOMPARE(again.get(), job.get());
    QCOMPARE(callCount(QStringLiteral("CreateJobObjectW")), 1);
    QCOMPARE(callCount(QStringLiteral("AssignProcessToJobObject")), 2);
    QCOMPARE(record->extendedLimitCalls, 2);
    QCOMPARE(jobs->cpuRateOf(target), DWORD(5000));
    QCOMPARE(log.governorEntries(),
             (QStringList{QStringLiteral("I process #%1 CPU limited to 30%").arg(target),
                          QStringLiteral("I process #%1 CPU limited to 50%").arg(target)}));

    // Once the process has ended, the governor lets go of the job; a process
    // that later gets the id gets a job of its own.
    governor->on_processNotifier_ended(target);
    machine->addProcessWithId(target, QStringLiteral("/usr/bin/other"));
    const KvHandle fresh = governor->limitCpu(target, 20);
    QVERIFY(fresh.get() != job.get());
    QCOMPARE(jobs->cpuRateOf(target), DWORD(2000));
    QCOMPARE(record->cpuRate, DWORD(5000));
}

void TestGovernor::liftingOneOfTwoCapsRestoresTheOther_data()
{
    QTest::addColumn<bool>("liftLaterFirst");
    QTest::newRow("lift the 50 % rule first") << true;
    QTest::newRow("lift the 30 % rule first") << false;
}

void TestGovernor::liftingOneOfTwoCapsRestoresTheOther()
{
    QFETCH(bool, liftLaterFirst);
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/game"));
    auto governor = makeGovernor();
    const int ruleA = governor->addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, target, governor->limitCpu(target, 30)));
    const int ruleB = governor->addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, target, governor->limitCpu(target, 50)));
    QCOMPARE(jobs->cpuRateOf(target), DWORD(5000));
    log.mark();

    governor->removeRestrictionGroup(liftLaterFirst ? ruleB : ruleA);
    const QString remaining = liftLaterFirst ? QStringLiteral("30") : QStringLiteral("50");
    QCOMPARE(jobs->cpuRateOf(target), DWORD(remaining.toUInt() * 100));
    QCOMPARE(log.governorEntries(),
             (QStringList{
                 QStringLiteral("I process #%1 CPU limit removed").arg(target),
                 QStringLiteral("I process #%1 CPU limited to %2%").arg(target).arg(remaining)}));

    log.mark();
    governor->removeRestrictionGroup(liftLaterFirst ? ruleA : ruleB);
    QCOMPARE(jobs->cpuRateOf(target), DWORD(10000));
    // The process stays in its job, raised to the whole machine.
    QVERIFY(jobs->jobOfProcess(target));
    QCOMPARE(log.governorEntries(),
             QStringList{QStringLiteral("I process #%1 CPU limit removed").arg(target)});
}

void TestGovernor::suspensionsCountPerThread()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/game"), 0, 3);
    auto governor = makeGovernor();
    governor->suspend(target);
    const int ruleA =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target));
    governor->suspend(target);
    const int ruleB =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target));
    for (DWORD thread : machine->threadIdsOf(target))
        QCOMPARE(jobs->suspendCount(thread), DWORD(2));
    QCOMPARE(log.governorEntries(),
             (QStringList{QStringLiteral("I process #%1 threads suspended").arg(target),
                          QStringLiteral("I process #%1 threads suspended").arg(target)}));
    // A thread created after the suspension is left alone.
    const DWORD late = machine->addThread(target);
    QCOMPARE(jobs->suspendCount(late), DWORD(0));

    log.mark();
    governor->removeRestrictionGroup(ruleA);
    for (DWORD thread : machine->threadIdsOf(target).mid(0, 3))
        QCOMPARE(jobs->suspendCount(thread), DWORD(1));
    QVERIFY(jobs->isSuspended(target));
    governor->removeRestrictionGroup(ruleB);
    QVERIFY(!jobs->isSuspended(target));
    QCOMPARE(log.governorEntries(),
             (QStringList{QStringLiteral("I process #%1 threads resumed").arg(target),
                          QStringLiteral("I process #%1 threads resumed").arg(target)}));
    // The revert lists the threads anew; resuming the late one changed
    // nothing, and a new suspension takes it in.
    QVERIFY(machine->calls().contains(QStringLiteral("ResumeThread(%1)").arg(late)));
    QCOMPARE(jobs->suspendCount(late), DWORD(0));
    governor->suspend(target);
    QCOMPARE(jobs->suspendCount(late), DWORD(1));
}

void TestGovernor::groupIdsAndRemovalOfUnknownGroups()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/game"));
    auto governor = makeGovernor();
    governor->suspend(target);
    const int first =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target));
    QCOMPARE(first, 1);
    governor->removeRestrictionGroup(first);
    QVERIFY(!jobs->isSuspended(target));
    machine->clearCalls();
    log.mark();

    governor->removeRestrictionGroup(first);
    governor->removeRestrictionGroup(-1);
    governor->removeRestrictionGroup(99);
    QCOMPARE(machine->calls(), QStringList());
    QCOMPARE(log.governorEntries(), QStringList());

    // Never handed out twice, even after its group is gone.
    QCOMPARE(governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target)), 2);
    // Appending to an id without a group makes the group; the id counter
    // skips it rather than handing it out over the top of it.
    governor->appendRestriction(3, Restriction(KvProcessGovernor::Suspend, target));
    governor->appendRestriction(3, Restriction(KvProcessGovernor::Suspend, target));
    QCOMPARE(governor->restrictionGroups().value(3).size(), 2);
    QCOMPARE(governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target)), 4);
    QCOMPARE(governor->restrictionGroups().value(3).size(), 2);
}

void TestGovernor::revertFollowsOrderOfAddition()
{
    const DWORD capped = machine->addProcess(QStringLiteral("/usr/bin/a"));
    const DWORD suspended = machine->addProcess(QStringLiteral("/usr/bin/b"));
    const DWORD cappedToo = machine->addProcess(QStringLiteral("/usr/bin/c"));
    auto governor = makeGovernor();
    const int rule = governor->addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, capped, governor->limitCpu(capped, 10)));
    governor->suspend(suspended);
    governor->appendRestriction(rule, Restriction(KvProcessGovernor::Suspend, suspended));
    governor->appendRestriction(rule, Restriction(KvProcessGovernor::LimitCpu, cappedToo,
                                                  governor->limitCpu(cappedToo, 20)));
    log.mark();

    governor->removeRestrictionGroup(rule);
    QCOMPARE(log.governorEntries(),
             (QStringList{QStringLiteral("I process #%1 CPU limit removed").arg(capped),
                          QStringLiteral("I process #%1 threads resumed").arg(suspended),
                          QStringLiteral("I process #%1 CPU limit removed").arg(cappedToo)}));
    QVERIFY(governor->restrictionGroups().isEmpty());
}

void TestGovernor::failuresAreLoggedWithTheirErrorCodes()
{
    const DWORD refused = machine->addProcess(QStringLiteral("/usr/bin/refused"));
    const DWORD unopenable = machine->addProcess(QStringLiteral("/usr/bin/unopenable"));
    const DWORD threads = machine->addProcess(QStringLiteral("/usr/bin/threads"), 0, 2);
    const DWORD closed = machine->addProcess(QStringLiteral("/usr/bin/closed"), 0, 1);
    const DWORD threadless = machine->addProcess(QStringLiteral("/usr/bin/threadless"), 0, 0);
    const DWORD gone = machine->addProcess(QStringLiteral("/usr/bin/gone"));
    machine->removeProcess(gone);
    auto governor = makeGovernor();
    const QList<DWORD> twoThreads = machine->threadIdsOf(threads);

    jobs->failAssignProcess(refused, 5);
    machine->failOpenProcess(unopenable, 31);
    jobs->failOpenThread(twoThreads.first(), 5);
    jobs->failOpenThread(machine->threadIdsOf(closed).first(), 1450);

    const KvHandle job = governor->limitCpu(refused, 30);
    QVERIFY(job.isValid()); // the job, also when the assignment failed
    governor->limitCpu(unopenable, 30);
    governor->limitCpu(gone, 30);
    const int rule =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, threads));
    governor->suspend(threads);
    governor->suspend(closed);
    governor->suspend(threadless);
    QCOMPARE(jobs->suspendCount(twoThreads.last()), DWORD(1));

    jobs->failOpenThread(twoThreads.first(), 0);
    jobs->failOpenThread(twoThreads.last(), 6);
    governor->removeRestrictionGroup(rule);

    QCOMPARE(log.governorEntries(),
             (QStringList{
                 QStringLiteral("C 5 failed to assign process #%1 to job object").arg(refused),
                 QStringLiteral("C 31 failed to assign process #%1 to job object").arg(unopenable),
                 QStringLiteral("C 87 failed to assign process #%1 to job object").arg(gone),
                 QStringLiteral("C 5 failed to open thread #%1 to suspend").arg(twoThreads.first()),
                 QStringLiteral("I process #%1 threads suspended").arg(threads),
                 QStringLiteral("C 1450 failed to open thread #%1 to suspend")
                     .arg(machine->threadIdsOf(closed).first()),
                 QStringLiteral("C 6 failed to open thread #%1 to resume").arg(twoThreads.last()),
                 QStringLiteral("I process #%1 threads resumed").arg(threads),
             }));
    QCOMPARE(jobs->suspendCount(twoThreads.last()), DWORD(1));
    QCOMPARE(jobs->cpuRateOf(refused), DWORD(10000));

    // A cap that cannot be lifted is reported as such, never as removed.
    const DWORD capped = machine->addProcess(QStringLiteral("/usr/bin/capped"));
    const int cap = governor->addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, capped, governor->limitCpu(capped, 40)));
    jobs->failSetCpuRate(5);
    log.mark();
    governor->removeRestrictionGroup(cap);
    QCOMPARE(
        log.governorEntries(),
        QStringList{QStringLiteral("C 5 failed to remove CPU limit of process #%1").arg(capped)});
    QCOMPARE(jobs->cpuRateOf(capped), DWORD(4000));
}

void TestGovernor::ownProcessIsNeverRestrained()
{
    const DWORD own = machine->addProcess(QStringLiteral("/usr/bin/corvane"), 0, 2);
    machine->setCurrentProcessId(own);
    auto governor = makeGovernor();

    const KvHandle job = governor->limitCpu(own, 10);
    const int rule =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::LimitCpu, own, job));
    governor->suspend(own);
    governor->appendRestriction(rule, Restriction(KvProcessGovernor::Suspend, own));
    QVERIFY(!job.isValid());
    QVERIFY(!jobs->isSuspended(own));
    QCOMPARE(jobs->cpuRateOf(own), DWORD(10000));
    QCOMPARE(
        callCount(QStringLiteral("CreateJobObjectW")) + callCount(QStringLiteral("OpenThread")), 0);
    const QString skipped =
        QStringLiteral("I process #%1 is this program itself and is not restrained").arg(own);
    QCOMPARE(log.governorEntries(), (QStringList{skipped, skipped}));

    // Nothing was done, so lifting has nothing to undo or report.
    log.mark();
    governor->removeRestrictionGroup(rule);
    QCOMPARE(log.governorEntries(), QStringList());
    QVERIFY(!QFile::exists(journalPath()));
}

void TestGovernor::suspensionOfAnEndedProcessDoesNotReachItsSuccessor()
{
    const DWORD target = machine->addProcess(QStringLiteral("/usr/bin/first"), 0, 2);
    auto governor = makeGovernor();
    governor->suspend(target);
    const int ruleA =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target));

    // The process ends, and a new one is given its id and suspended in turn.
    machine->removeProcess(target);
    governor->on_processNotifier_ended(target);
    machine->addProcessWithId(target, QStringLiteral("/usr/bin/second"), 0, 2);
    governor->suspend(target);
    const int ruleB =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, target));
    machine->clearCalls();
    log.mark();

    governor->removeRestrictionGroup(ruleA);
    QVERIFY(jobs->isSuspended(target));
    QCOMPARE(callCount(QStringLiteral("ResumeThread")), 0);
    QCOMPARE(
        log.governorEntries(),
        QStringList{
            QStringLiteral("I process #%1 has ended; its threads are not resumed").arg(target)});

    governor->removeRestrictionGroup(ruleB);
    QVERIFY(!jobs->isSuspended(target));
}

void TestGovernor::journalHoldsWhatIsInForce()
{
    const DWORD capped = machine->addProcess(QStringLiteral("/usr/bin/a"));
    const DWORD suspended = machine->addProcess(QStringLiteral("/usr/bin/b"));
    auto governor = makeGovernor();
    const QByteArray cappedLine = "cap " + QByteArray::number(capped) + ' ' +
                                  QByteArray::number(machine->process(capped)->startTime);
    const QByteArray suspendedLine = "suspend " + QByteArray::number(suspended) + ' ' +
                                     QByteArray::number(machine->process(suspended)->startTime);
    auto journal = [this] {
        QFile file(journalPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };

    const int rule = governor->addRestrictionGroup(
        Restriction(KvProcessGovernor::LimitCpu, capped, governor->limitCpu(capped, 40)));
    governor->suspend(suspended);
    governor->appendRestriction(rule, Restriction(KvProcessGovernor::Suspend, suspended));
    governor->suspend(suspended);
    const int other =
        governor->addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, suspended));
    QCOMPARE(journal().split('\n').mid(1, 3),
             (QList<QByteArray>{cappedLine, suspendedLine, suspendedLine}));

    governor->removeRestrictionGroup(rule);
    QCOMPARE(journal().split('\n').mid(1), (QList<QByteArray>{suspendedLine, ""}));
    governor->removeRestrictionGroup(other);
    QVERIFY(!QFile::exists(journalPath()));
}

void TestGovernor::leftoversOfAKilledRunAreLifted()
{
    const DWORD capped = machine->addProcess(QStringLiteral("/usr/bin/a"));
    const DWORD suspended = machine->addProcess(QStringLiteral("/usr/bin/b"), 0, 2);
    const DWORD successor = machine->addProcess(QStringLiteral("/usr/bin/c"));
    // As a killed run leaves things: a capped job nobody holds, threads
    // suspended twice, and a journal saying so. The third process has an id
    // the journal names with another creation time: not the one suspended.
    jobs->addLeftoverJob(capped, 2500);
    jobs->addLeftoverSuspension(suspended);
    jobs->addLeftoverSuspension(suspended);
    jobs->addLeftoverSuspension(successor);
    const QByteArray suspendedLine = "suspend " + QByteArray::number(suspended) + ' ' +
                                     QByteArray::number(machine->process(suspended)->startTime) +
                                     '\n';
    writeJournal("Corvane restriction journal 1\ncap " + QByteArray::number(capped) + " " +
                 QByteArray::number(machine->process(capped)->startTime) + "\n" + suspendedLine +
                 suspendedLine + "suspend " + QByteArray::number(successor) + " 999999\n");
    QCOMPARE(jobs->cpuRateOf(capped), DWORD(2500));
    log.mark();

    KvProcessGovernor governor(nullptr, journalPath());
    QCOMPARE(jobs->cpuRateOf(capped), DWORD(10000));
    QVERIFY(!jobs->isSuspended(suspended));
    QVERIFY(jobs->isSuspended(successor));
    QVERIFY(machine->calls().contains(
        QStringLiteral("ResumeLeftoverSuspension(process %1, 2)").arg(suspended)));
    QCOMPARE(
        log.governorEntries(),
        (QStringList{
            QStringLiteral("I process #%1 resumed, left suspended by a previous run")
                .arg(suspended),
            QStringLiteral("I process #%1 that a previous run suspended has ended").arg(successor),
            QStringLiteral("I process #%1 CPU limit left by a previous run removed").arg(capped)}));
    QVERIFY(!QFile::exists(journalPath()));
    // Lifted before the process table is filled from the snapshot.
    const QStringList calls = machine->calls();
    QVERIFY(calls.indexOf(QStringLiteral("RemoveLeftoverJobs()")) <
            calls.indexOf(QStringLiteral("CreateToolhelp32Snapshot(0x2)")));
}

void TestGovernor::unreadableJournalStartsAfresh()
{
    const DWORD suspended = machine->addProcess(QStringLiteral("/usr/bin/b"));
    jobs->addLeftoverSuspension(suspended);

    writeJournal(QByteArray("\x7f"
                            "ELF\0\0garbage",
                            12));
    log.mark();
    {
        KvProcessGovernor governor(nullptr, journalPath());
        const QStringList lines = log.governorEntries();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(
            lines.first().startsWith(QStringLiteral("C restriction journal ")) &&
                lines.first().endsWith(QStringLiteral("cannot be read (it is not a restriction "
                                                      "journal); starting afresh")),
            qPrintable(lines.first()));
        QVERIFY(!QFile::exists(journalPath()));
        QVERIFY(jobs->isSuspended(suspended));
        // And it works as usual afterwards.
        governor.suspend(suspended);
        QVERIFY(QFile::exists(journalPath()));
        governor.removeRestrictionGroup(
            governor.addRestrictionGroup(Restriction(KvProcessGovernor::Suspend, suspended)));
        QVERIFY(jobs->isSuspended(suspended)); // the leftover suspension is still there
    }

    // A bad line is named; the good ones are still lifted.
    writeJournal("Corvane restriction journal 1\nsuspend x y\nsuspend " +
                 QByteArray::number(suspended) + ' ' +
                 QByteArray::number(machine->process(suspended)->startTime) + "\n");
    log.mark();
    KvProcessGovernor governor(nullptr, journalPath());
    QVERIFY(!jobs->isSuspended(suspended));
    const QStringList lines = log.governorEntries();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.first().endsWith(QStringLiteral("unreadable line(s) 2 left out")),
             qPrintable(lines.first()));
}

QTEST_GUILESS_MAIN(TestGovernor)
#include "tst_governor.moc"
