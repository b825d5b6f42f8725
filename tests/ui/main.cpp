#include "tst_KvAboutBox.h"
#include "tst_RuleDialog.h"
#include "tst_RuleIdGenerator.h"
#include "tst_SelectProcessDialog.h"

#include <QApplication>
#include <QTest>

// Several test classes share one executable; each runs in turn and the exit
// code counts the failing ones.
int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int failed = 0;
    auto run = [&](QObject &&test) { failed += QTest::qExec(&test, argc, argv) != 0; };
    run(TestKvAboutBox());
    run(TestRuleDialog());
    run(TestSelectProcessDialog());
    run(TestRuleIdGenerator());
    return failed;
}
