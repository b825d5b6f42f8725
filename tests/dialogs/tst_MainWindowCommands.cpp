#include "tst_MainWindowCommands.h"

#include "ui/KvAboutBox.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QPushButton>
#include <QTest>

void TestMainWindowCommands::initTestCase()
{
    QVERIFY(store.isValid());
}

void TestMainWindowCommands::init()
{
    TemporaryStore::clear();
}

void TestMainWindowCommands::aboutOpensTheAboutBox()
{
    MainWindow window;
    QObject scope;
    QWidget *parent = nullptr;
    onNextModal<KvAboutBox>(&scope, [&](KvAboutBox *about) {
        parent = about->parentWidget();
        child<QPushButton>(about, "okButton")->click();
    });
    child<QAction>(&window, "actionAbout")->trigger();
    QCOMPARE(parent, static_cast<QWidget *>(&window));
    // The box is gone once the command returns.
    QVERIFY(!window.findChild<KvAboutBox *>());
}
