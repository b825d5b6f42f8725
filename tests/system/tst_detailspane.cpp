// The details pane on a real X server, over a real busy process that a rule
// caps: the pane lists it, its share settles near the cap, and switching the
// rule off empties the pane.

#include "StoredRule.h"
#include "SystemTest.h"
#include "TestStore.h"
#include "XvfbServer.h"
#include "rules/RulesEngine.h"
#include "ui/RuleDetailsModel.h"
#include "ui/RuleDetailsPane.h"

#include <QTableView>
#include <QtTest>

#include <unistd.h>

class TestDetailsPane : public QObject
{
    Q_OBJECT

private slots:
    void showsARealCapAtWork()
    {
        if (!isTestChild()) {
            KV_REQUIRE_CAPABILITY(::geteuid() == 0, "capping a process needs root");
            XvfbServer server;
            KV_REQUIRE_CAPABILITY(server.start(), server.problem());
            QProcessEnvironment child;
            child.insert(QStringLiteral("DISPLAY"), server.display());
            child.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            QCOMPARE(runTestFunctionInChild(QTest::currentTestFunction(), child), 0);
            return;
        }
        const QString busy = store.path("corvane-test-busy");
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/yes"), busy));
        QProcess target;
        target.setStandardOutputFile(QProcess::nullDevice());
        target.start(busy, QStringList());
        QVERIFY(target.waitForStarted());
        StoredRule rule{QStringLiteral("busy"), true, {busy}};
        rule.cpuLimit = 25;
        storeRule(1, rule);
        RulesEngine engine;
        RuleDetailsPane pane(engine);
        pane.show();
        QVERIFY(QTest::qWaitForWindowExposed(&pane));
        pane.setRule(1);
        const auto *table = pane.findChild<QTableView *>(QStringLiteral("processes"));
        const QAbstractItemModel &rows = *table->model();
        QCOMPARE(rows.rowCount(), 1);
        QCOMPARE(rows.index(0, RuleDetailsModel::ProcessIdColumn).data().toLongLong(),
                 target.processId());
        // A few seconds under the cap: the share of the last three settles.
        QTest::qWait(5000);
        const QString share = rows.index(0, RuleDetailsModel::ShareColumn).data().toString();
        qInfo("capped at 25 %%, the pane shows %s", qPrintable(share));
        QVERIFY2(qAbs(share.chopped(2).toDouble() - 25) < 7, qPrintable(share));
        engine.store().setEnabled(1, false);
        QTRY_COMPARE(rows.rowCount(), 0);
        target.kill();
        target.waitForFinished();
    }

private:
    TestStore store;
};

QTEST_MAIN(TestDetailsPane)
#include "tst_detailspane.moc"
