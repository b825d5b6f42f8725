// A storm of process starts and ends through the kernel's process connector,
// with a Suspend rule for one name among them: every target is stopped, and
// afterwards the tables hold no process that has ended.

#include "ProcFsProbe.h"
#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "platform/linux/KvLinuxProcesses.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QtTest>

#include <csignal>

namespace {

TestStore store;

// The ids among these whose processes have ended.
QSet<quint32> ended(const QSet<quint32> &ids)
{
    QSet<quint32> gone;
    for (quint32 id : ids) {
        if (!QFile::exists(QStringLiteral("/proc/%1").arg(id)))
            gone.insert(id);
    }
    return gone;
}

} // namespace

class TestStorm : public QObject
{
    Q_OBJECT

private slots:
    void everyTargetIsStoppedAndNothingEndedStays()
    {
        KV_REQUIRE_CAPABILITY(::geteuid() == 0, "the process connector needs root");
        KV_REQUIRE_CAPABILITY(KvLinuxProcesses().watch()->description().contains("connector"),
                              "the process connector cannot be opened here");
        const QString target = store.path(QStringLiteral("corvane-storm-target"));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), target));
        StoredRule rule{QStringLiteral("storm"), true, {QStringLiteral("corvane-storm-target")}};
        rule.action = 1; // suspend
        storeRule(0x5707, rule);
        RulesEngine engine(nullptr, store.path(QStringLiteral("journal")));
        const Rule &stopper = *engine.rule(0x5707);

        // 3,000 programs and as many children that never run one; every
        // hundredth program a target, which lives long enough that only a
        // lost or mishandled start can let it go unstopped.
        QProcess storm;
        const QString pids = store.path(QStringLiteral("targets"));
        storm.start(QStringLiteral("sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("i=0; while [ $i -lt 3000 ]; do /bin/true; (exit 0); "
                                    "if [ $((i % 100)) = 50 ]; then \"$0\" 5 & echo $! >>\"$1\"; "
                                    "fi; i=$((i + 1)); done"),
                     target, pids});
        QTRY_VERIFY_WITH_TIMEOUT(storm.state() == QProcess::NotRunning, 240000);
        QFile file(pids);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<qint64> targets;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                targets << line.toLongLong();
        }
        QCOMPARE(targets.size(), 30);
        for (qint64 pid : targets) {
            QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::isStopped(pid), 3000);
            QVERIFY(stopper.restrictedProcessIds().contains(quint32(pid)));
            ::kill(pid_t(pid), SIGKILL);
        }

        // What has ended must go from every table; a process that ends right
        // now may still be on its way, so only what stays too long counts.
        const auto tables = [&] {
            const auto &governed = engine.governor().processes();
            const KvProcessNotifier &notifier = engine.processNotifier();
            return QSet<quint32>(governed.keyBegin(), governed.keyEnd()) +
                   notifier.knownProcessIds() + notifier.preexistingProcessIds() +
                   stopper.restrictedProcessIds();
        };
        const QSet<quint32> gone = ended(tables());
        QTRY_COMPARE_WITH_TIMEOUT(ended(tables().intersect(gone)), QSet<quint32>(), 10000);
    }
};

QTEST_MAIN(TestStorm)
#include "tst_storm.moc"
