// A rule on the real Linux backends: under its own Xvfb, a window that
// announces its process with _NET_WM_PID becomes the active window, reaches
// the rule as the foreground process, and the rule suspends its target, a
// real process; another window taking the foreground lifts it again.
//
// The test's programs are copies of sleep under unique names in a temporary
// folder, so that the rule can never reach anything else on the machine.

#include "ProcFsProbe.h"
#include "SystemTest.h"
#include "X11Client.h"
#include "XvfbServer.h"
#include "notifiers/KvWinEventNotifier.h"
#include "process/KvProcessGovernor.h"
#include "rules/Rule.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

const char ChildVariable[] = "CORVANE_TEST_RULE_X11_CHILD";

} // namespace

class TestRuleX11 : public QObject
{
    Q_OBJECT

private slots:
    void foregroundWindowDrivesARule();
};

void TestRuleX11::foregroundWindowDrivesARule()
{
    if (qEnvironmentVariableIsEmpty(ChildVariable)) {
        XvfbServer server;
        if (!server.start())
            KV_SKIP_OR_FAIL(server.problem());

        QProcessEnvironment child;
        child.insert(QString::fromLatin1(ChildVariable), QStringLiteral("1"));
        child.insert(QStringLiteral("DISPLAY"), server.display());
        child.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QCOMPARE(runTestFunctionInChild({}, QTest::currentTestFunction(), child), 0);
        return;
    }

    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QCoreApplication::setOrganizationName(QStringLiteral("CorvaneTests"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_rule_x11"));

    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    QVERIFY(!sleep.isEmpty());
    const QString playerPath = dir.filePath(QStringLiteral("corvane-test-player"));
    const QString targetPath = dir.filePath(QStringLiteral("corvane-test-target"));
    QVERIFY(QFile::copy(sleep, playerPath));
    QVERIFY(QFile::copy(sleep, targetPath));
    QProcess player;
    QProcess target;
    player.start(playerPath, {QStringLiteral("120")});
    target.start(targetPath, {QStringLiteral("120")});
    QVERIFY(player.waitForStarted());
    QVERIFY(target.waitForStarted());

    X11Client desktop;
    QVERIFY(desktop.isConnected());
    const xcb_window_t playerWindow = desktop.createWindow();
    desktop.setPid(playerWindow, uint32_t(player.processId()));
    const xcb_window_t ownWindow = desktop.createWindow();
    desktop.setPid(ownWindow, uint32_t(QCoreApplication::applicationPid()));

    {
        RuleOptions options(0x4242);
        options.setValue(QLatin1String(RuleOptions::nameKey), QStringLiteral("Player in front"));
        options.setEnabled(true);
        options.setSelectedProcesses(RuleOptions::Condition, {playerPath});
        options.setValue(QLatin1String(RuleOptions::conditionStateKey), RuleOptions::Foreground);
        options.setSelectedProcesses(RuleOptions::Target, {targetPath});
        options.setValue(QLatin1String(RuleOptions::targetActionKey), RuleOptions::Suspend);
    }

    {
        KvProcessGovernor governor(nullptr, dir.filePath(QStringLiteral("journal")));
        KvWinEventNotifier notifier;
        notifier.addHook(KvPlatformWinEvents::EventSystemForeground);
        Rule rule(0x4242, &governor);
        QSignalSpy statusChanges(&rule, &Rule::statusChanged);
        connect(&notifier, &KvWinEventNotifier::notify, &rule, &Rule::on_winEventNotifier_notify);

        desktop.activate(playerWindow);
        QTRY_COMPARE_WITH_TIMEOUT(rule.state(), RuleState::Active, 10000);
        QCOMPARE(rule.restrictedProcessIds(), QSet<DWORD>{DWORD(target.processId())});
        QTRY_COMPARE_WITH_TIMEOUT(ProcFsProbe::processState(target.processId()), 'T', 10000);
        QVERIFY(ProcFsProbe::processState(player.processId()) != 'T');

        desktop.activate(ownWindow);
        QTRY_COMPARE_WITH_TIMEOUT(rule.state(), RuleState::Inactive, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::processState(target.processId()) != 'T', 10000);
        QCOMPARE(statusChanges.size(), 2);

        // Active again when the rule goes away: nothing may stay suspended.
        desktop.activate(playerWindow);
        QTRY_COMPARE_WITH_TIMEOUT(ProcFsProbe::processState(target.processId()), 'T', 10000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(ProcFsProbe::processState(target.processId()) != 'T', 10000);

    player.kill();
    target.kill();
    player.waitForFinished();
    target.waitForFinished();
}

QTEST_MAIN(TestRuleX11)
#include "tst_rule_x11.moc"
