#include "notifiers/KvProcessNotifier.h"

#include "platform/simulated/KvSimulatedMachine.h"
#include "platform/simulated/KvSimulatedProcessEvents.h"
#include "platform/common/KvProcessEventProperties.h"

#include <QRegularExpression>
#include <QTimerEvent>
#include <QtTest>

namespace {

const QVariant invalid;

KvPropertyList handleOnly(DWORD processId)
{
    return {{QStringLiteral("Handle"), QString::number(processId)}};
}

} // namespace

class TestProcessNotifier : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void creationDerivesFilePath_data();
    void creationDerivesFilePath();
    void creationWalksPropertiesInOrderSkippingInvalidValues();
    void creationWithoutProcessIdIsIgnored();
    void startedIsEmittedBeforeProcessBecomesKnown();
    void deletionIsEmittedForAnyIdAndForgetsKnownOnes();
    void reconciliationReportsLostEndAndLateDeletionRepeatsIt();
    void reconciliationSkipsPassWhenSnapshotFails();
    void missingEventSourceIsLoggedAndNotFatal();
    void destructionEndsSubscription();

private:
    void reconcile(KvProcessNotifier &notifier);

    KvSimulatedMachine *m_machine = nullptr;
    KvSimulatedProcessEvents *m_events = nullptr;
    KvProcessNotifier *m_notifier = nullptr;
    QList<KvProcessInfo> m_started;
    QList<DWORD> m_ended;

    void createNotifier();
};

void TestProcessNotifier::init()
{
    m_machine = new KvSimulatedMachine;
    m_machine->installAsCurrent();
    m_events = new KvSimulatedProcessEvents;
    KvPlatformProcessEvents::install(m_events);
    m_started.clear();
    m_ended.clear();
}

void TestProcessNotifier::createNotifier()
{
    m_notifier = new KvProcessNotifier;
    connect(m_notifier, &KvProcessNotifier::started, this,
            [this](const KvProcessInfo &info) { m_started.append(info); });
    connect(m_notifier, &KvProcessNotifier::ended, this, [this](DWORD id) { m_ended.append(id); });
}

void TestProcessNotifier::cleanup()
{
    delete m_notifier;
    m_notifier = nullptr;
    KvPlatformProcessEvents::install(nullptr);
    delete m_events;
    m_machine->uninstall();
    delete m_machine;
}

void TestProcessNotifier::reconcile(KvProcessNotifier &notifier)
{
    // The pass does not look at which timer fired.
    QTimerEvent event(0);
    QCoreApplication::sendEvent(&notifier, &event);
}

void TestProcessNotifier::creationDerivesFilePath_data()
{
    QTest::addColumn<QString>("executablePath");
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("imagePath"); // what the system knows; empty: already ended
    QTest::addColumn<QString>("expected");

    QTest::newRow("executable path wins") << "/opt/app/bin/app"
                                          << "/other/path --flag"
                                          << "app"
                                          << "/elsewhere/app"
                                          << "/opt/app/bin/app";
    QTest::newRow("quoted path with blanks, then arguments") << ""
                                                             << "\"/opt/My App/app\" --flag \"x y\""
                                                             << "app"
                                                             << ""
                                                             << "/opt/My App/app";
    QTest::newRow("quote never closed") << ""
                                        << "\"/opt/My App/app --flag"
                                        << ""
                                        << ""
                                        << "/opt/My App/app --flag";
    QTest::newRow("unquoted, with a blank") << ""
                                            << "/usr/bin/tool -v now"
                                            << ""
                                            << ""
                                            << "/usr/bin/tool";
    QTest::newRow("unquoted, without a blank") << ""
                                               << "/usr/bin/tool"
                                               << ""
                                               << ""
                                               << "/usr/bin/tool";
    QTest::newRow("blank in the first position is no separator") << ""
                                                                 << " tool -v"
                                                                 << ""
                                                                 << ""
                                                                 << " tool";
    // A path taken from the command line is used even without a directory.
    QTest::newRow("bare name from command line is not resolved") << ""
                                                                 << "tool -v"
                                                                 << "tool"
                                                                 << "/usr/bin/tool"
                                                                 << "tool";
    QTest::newRow("name only, process still running") << ""
                                                      << ""
                                                      << "tool"
                                                      << "/usr/local/bin/tool"
                                                      << "/usr/local/bin/tool";
    QTest::newRow("name only, process already ended") << ""
                                                      << ""
                                                      << "tool"
                                                      << ""
                                                      << "tool";
    QTest::newRow("nothing, process still running") << ""
                                                    << ""
                                                    << ""
                                                    << "/usr/local/bin/tool"
                                                    << "/usr/local/bin/tool";
}

void TestProcessNotifier::creationDerivesFilePath()
{
    QFETCH(QString, executablePath);
    QFETCH(QString, commandLine);
    QFETCH(QString, name);
    QFETCH(QString, imagePath);
    QFETCH(QString, expected);

    const DWORD processId = 4321;
    if (!imagePath.isEmpty())
        m_machine->addProcessWithId(processId, imagePath, 100);
    createNotifier();

    QTest::ignoreMessage(
        QtInfoMsg,
        qPrintable(
            QStringLiteral("process #4321 started (%1)").arg(QDir::toNativeSeparators(expected))));
    m_events->fireCreated(KvProcessEventProperties::creation(
        processId, 100, executablePath, commandLine, name));

    QCOMPARE(m_started.size(), 1);
    QCOMPARE(m_started.first().processId, processId);
    QCOMPARE(m_started.first().parentProcessId, DWORD(100));
    QCOMPARE(m_started.first().fileInfo.filePath(), expected);
}

void TestProcessNotifier::creationWalksPropertiesInOrderSkippingInvalidValues()
{
    createNotifier();
    m_events->fireCreated({
        {QStringLiteral("ExecutablePath"), QStringLiteral("/first/app")},
        {QStringLiteral("Handle"), QStringLiteral("700")},
        {QStringLiteral("ExecutablePath"), QStringLiteral("/second/app")},
        // Values of other types arrive invalid and change nothing.
        {QStringLiteral("ExecutablePath"), invalid},
        {QStringLiteral("ParentProcessId"), invalid},
        {QStringLiteral("Handle"), invalid},
        // Names compare exactly.
        {QStringLiteral("executablepath"), QStringLiteral("/wrong/case")},
        {QStringLiteral("ProcessId"), 999},
        {QStringLiteral("ParentProcessId"), 12},
    });

    QCOMPARE(m_started.size(), 1);
    QCOMPARE(m_started.first().processId, DWORD(700));
    QCOMPARE(m_started.first().parentProcessId, DWORD(12));
    QCOMPARE(m_started.first().fileInfo.filePath(), QStringLiteral("/second/app"));

    // A parent id beyond the signed range arrives as a negative integer.
    m_events->fireCreated({{QStringLiteral("Handle"), QStringLiteral("701")},
                           {QStringLiteral("ParentProcessId"), -2}});
    QCOMPARE(m_started.size(), 2);
    QCOMPARE(m_started.last().parentProcessId, DWORD(0xFFFFFFFE));
}

void TestProcessNotifier::creationWithoutProcessIdIsIgnored()
{
    createNotifier();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("creation event without a process id"));
    m_events->fireCreated({{QStringLiteral("ExecutablePath"), QStringLiteral("/usr/bin/a")}});
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("creation event without a process id"));
    m_events->fireCreated({{QStringLiteral("Handle"), QStringLiteral("not a number")},
                           {QStringLiteral("Name"), QStringLiteral("a")}});

    QVERIFY(m_started.isEmpty());
    QVERIFY(m_notifier->knownProcessIds().isEmpty());
}

void TestProcessNotifier::startedIsEmittedBeforeProcessBecomesKnown()
{
    createNotifier();
    bool knownDuringEmission = true;
    connect(m_notifier, &KvProcessNotifier::started, this, [&](const KvProcessInfo &info) {
        knownDuringEmission = m_notifier->knownProcessIds().contains(info.processId);
    });
    m_events->fireCreated(KvProcessEventProperties::creation(
        555, 1, QStringLiteral("/bin/x"), QString(), QString()));

    QVERIFY(!knownDuringEmission);
    QVERIFY(m_notifier->knownProcessIds().contains(555));
}

void TestProcessNotifier::deletionIsEmittedForAnyIdAndForgetsKnownOnes()
{
    createNotifier();
    m_events->fireCreated(handleOnly(600));
    m_events->fireCreated(handleOnly(601));
    QCOMPARE(m_started.first().parentProcessId, KvProcessInfo::noProcessId);

    // One that started before the notifier existed.
    QTest::ignoreMessage(QtInfoMsg, "process #42 ended");
    m_events->fireDeleted(KvProcessEventProperties::deletion(42));
    QTest::ignoreMessage(QtInfoMsg, "process #600 ended");
    m_events->fireDeleted({{QStringLiteral("Handle"), invalid},
                           {QStringLiteral("Handle"), QStringLiteral("600")},
                           {QStringLiteral("Handle"), QStringLiteral("601")}});
    // Without a valid "Handle" nothing happens.
    m_events->fireDeleted(
        {{QStringLiteral("Handle"), invalid}, {QStringLiteral("Name"), QStringLiteral("x")}});

    QCOMPARE(m_ended, (QList<DWORD>{42, 600}));
    QCOMPARE(m_notifier->knownProcessIds(), QSet<DWORD>{601});
}

void TestProcessNotifier::reconciliationReportsLostEndAndLateDeletionRepeatsIt()
{
    const DWORD lost = m_machine->addProcess(QStringLiteral("/usr/bin/lost"), 1);
    const DWORD alive = m_machine->addProcess(QStringLiteral("/usr/bin/alive"), 1);
    createNotifier();
    m_events->fireCreated(handleOnly(lost));
    m_events->fireCreated(handleOnly(alive));

    reconcile(*m_notifier);
    QVERIFY(m_ended.isEmpty());

    // The deletion event of this one never comes in time.
    m_machine->removeProcess(lost);
    reconcile(*m_notifier);
    QCOMPARE(m_ended, QList<DWORD>{lost});
    QCOMPARE(m_notifier->knownProcessIds(), QSet<DWORD>{alive});

    reconcile(*m_notifier);
    QCOMPARE(m_ended.size(), 1);

    m_events->fireDeleted(handleOnly(lost));
    QCOMPARE(m_ended, (QList<DWORD>{lost, lost}));
    QCOMPARE(m_notifier->knownProcessIds(), QSet<DWORD>{alive});
}

void TestProcessNotifier::reconciliationSkipsPassWhenSnapshotFails()
{
    // A machine never runs nothing: an empty snapshot means it failed.
    m_machine->addProcess(QStringLiteral("/sbin/init"), 0);
    const DWORD running = m_machine->addProcess(QStringLiteral("/usr/bin/running"), 1);
    createNotifier();
    m_events->fireCreated(handleOnly(running));

    m_machine->failSnapshots(5);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("snapshot failed"));
    reconcile(*m_notifier);
    reconcile(*m_notifier); // logged once per failure, not every second
    QVERIFY(m_ended.isEmpty());
    QCOMPARE(m_notifier->knownProcessIds(), QSet<DWORD>{running});

    m_machine->failSnapshots(0);
    m_machine->removeProcess(running);
    reconcile(*m_notifier);
    QCOMPARE(m_ended, QList<DWORD>{running});
}

void TestProcessNotifier::missingEventSourceIsLoggedAndNotFatal()
{
    m_events->setSubscribeFailure(13);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("no process event source"));
    createNotifier();

    m_machine->addProcess(QStringLiteral("/usr/bin/a"), 1);
    reconcile(*m_notifier);
    QVERIFY(m_ended.isEmpty());
    QCOMPARE(m_events->liveSubscriptions(), 0);
}

void TestProcessNotifier::destructionEndsSubscription()
{
    createNotifier();
    QCOMPARE(m_events->liveSubscriptions(), 1);
    delete m_notifier;
    m_notifier = nullptr;
    QCOMPARE(m_events->liveSubscriptions(), 0);
}

QTEST_GUILESS_MAIN(TestProcessNotifier)
#include "tst_processnotifier.moc"
