#include "RulesFixture.h"

#include "ui/MainWindow.h"

#include <QAction>
#include <QDesktopServices>
#include <QPushButton>
#include <QTreeView>
#include <QUrl>
#include <QtTest>

#include <memory>

namespace {

// Outlives the application object, and with it the process notifier that
// subscribed to the simulated events.
RulesFixture fixture;

const QString gamePath = QStringLiteral("/opt/games/bin/game.exe");

QStringList storedNames()
{
    QSettings settings;
    settings.beginGroup(QLatin1String(RuleOptions::rulesGroup));
    QStringList names;
    for (const QString &group : settings.childGroups())
        names << settings.value(group + QStringLiteral("/name")).toString();
    names.sort();
    return names;
}

} // namespace

// Receives the links the window hands to the desktop.
class LinkCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> links;

public slots:
    void open(const QUrl &url) { links << url; }
};

// The main window on the offscreen platform, over the simulated machine.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void emptyStoreGivesAnEmptyListWithoutEditAndRemove();
    void listIsSortedByNameAndSelectionEnablesEditAndRemove();
    void removeTakesOnlyTheCurrentRowOfASelection();
    void removeLiftsRestrictionsBeforeTheRowGoes();
    void exitClosesTheWindow();
    void feedbackOpensAMailToTheMaker();

private:
    template<class T> T *child(const char *name) const
    {
        return window->findChild<T *>(QLatin1String(name));
    }
    QStringList shownNames() const;

    std::unique_ptr<MainWindow> window;
};

void TestMainWindow::initTestCase()
{
    QVERIFY(fixture.setUp());
}

void TestMainWindow::init()
{
    RulesFixture::clearStore();
}

void TestMainWindow::cleanup()
{
    window.reset();
    fixture.removeOtherProcesses();
}

QStringList TestMainWindow::shownNames() const
{
    QAbstractItemModel *model = child<QTreeView>("rules")->model();
    QStringList names;
    for (int row = 0; row < model->rowCount(); ++row)
        names << model->index(row, 2).data().toString();
    return names;
}

void TestMainWindow::emptyStoreGivesAnEmptyListWithoutEditAndRemove()
{
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QCOMPARE(child<QTreeView>("rules")->model()->rowCount(), 0);
    QVERIFY(child<QPushButton>("ruleAdd")->isEnabled());
    QVERIFY(!child<QPushButton>("ruleEdit")->isEnabled());
    QVERIFY(!child<QPushButton>("ruleRemove")->isEnabled());
    QVERIFY(!window->windowIcon().isNull());

    // Nothing to remove: pressing it anyway changes nothing.
    QMetaObject::invokeMethod(window.get(), "on_ruleRemove_clicked");
    QCOMPARE(child<QTreeView>("rules")->model()->rowCount(), 0);
}

void TestMainWindow::listIsSortedByNameAndSelectionEnablesEditAndRemove()
{
    RulesFixture::storeRule(0x11, {QStringLiteral("Charlie"), false, {"c.exe"}});
    RulesFixture::storeRule(0x22, {QStringLiteral("Alpha"), false, {"a.exe"}});
    RulesFixture::storeRule(0x33, {QStringLiteral("Bravo"), false, {"b.exe"}});
    window = std::make_unique<MainWindow>();
    window->show();

    QCOMPARE(shownNames(), (QStringList{"Alpha", "Bravo", "Charlie"}));

    QTreeView *view = child<QTreeView>("rules");
    view->setCurrentIndex(view->model()->index(1, 2));
    QVERIFY(child<QPushButton>("ruleEdit")->isEnabled());
    QVERIFY(child<QPushButton>("ruleRemove")->isEnabled());

    view->clearSelection();
    QVERIFY(!child<QPushButton>("ruleEdit")->isEnabled());
    QVERIFY(!child<QPushButton>("ruleRemove")->isEnabled());
    QVERIFY(child<QPushButton>("ruleAdd")->isEnabled());
}

void TestMainWindow::removeTakesOnlyTheCurrentRowOfASelection()
{
    RulesFixture::storeRule(0x11, {QStringLiteral("Charlie"), false, {"c.exe"}});
    RulesFixture::storeRule(0x22, {QStringLiteral("Alpha"), false, {"a.exe"}});
    RulesFixture::storeRule(0x33, {QStringLiteral("Bravo"), false, {"b.exe"}});
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QTreeView *view = child<QTreeView>("rules");
    QAbstractItemModel *model = view->model();
    // Click Alpha, then Ctrl-click Charlie: both selected, Charlie current.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier,
                      view->visualRect(model->index(0, 2)).center());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier,
                      view->visualRect(model->index(2, 2)).center());
    QCOMPARE(view->selectionModel()->selectedRows().size(), 2);
    QCOMPARE(view->currentIndex().row(), 2);

    QTest::mouseClick(child<QPushButton>("ruleRemove"), Qt::LeftButton);

    QCOMPARE(storedNames(), (QStringList{"Alpha", "Bravo"}));
    QCOMPARE(shownNames(), (QStringList{"Alpha", "Bravo"}));
}

void TestMainWindow::removeLiftsRestrictionsBeforeTheRowGoes()
{
    const DWORD game = fixture.machine.addProcess(gamePath);
    RulesFixture::storeRule(0x44, {QStringLiteral("Games"), true, {"game.exe"}});
    window = std::make_unique<MainWindow>();
    window->show();
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(3000));

    QTreeView *view = child<QTreeView>("rules");
    DWORD rateWhenRowWent = 0;
    connect(view->model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [&] { rateWhenRowWent = fixture.jobs.cpuRateOf(game); });
    view->setCurrentIndex(view->model()->index(0, 0));
    QTest::mouseClick(child<QPushButton>("ruleRemove"), Qt::LeftButton);

    QCOMPARE(rateWhenRowWent, DWORD(10000));
    QCOMPARE(fixture.jobs.cpuRateOf(game), DWORD(10000));
    QCOMPARE(storedNames(), QStringList());
    QCOMPARE(view->model()->rowCount(), 0);
}

void TestMainWindow::exitClosesTheWindow()
{
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(window->isVisible());
    child<QAction>("actionE_xit")->trigger();
    QVERIFY(!window->isVisible());
}

void TestMainWindow::feedbackOpensAMailToTheMaker()
{
    LinkCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &catcher, "open");
    window = std::make_unique<MainWindow>();
    child<QAction>("actionSendFeedback")->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));

    QCOMPARE(catcher.links.size(), 1);
    const QUrl link = catcher.links.first();
    QCOMPARE(link.scheme(), QStringLiteral("mailto"));
    QVERIFY(link.path().contains(QLatin1Char('@')));
    QCOMPARE(QUrlQuery(link).queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
             QStringLiteral("Feedback for Corvane"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
