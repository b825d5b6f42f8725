#include "ui/MainWindow.h"

#include "ui_MainWindow.h"

#include "ui/KvAboutBox.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QUrl>

namespace {

// Where users' feedback goes.
const char feedbackAddress[] = "feedback@corvane.app";

} // namespace

MainWindow::MainWindow()
    : QMainWindow(nullptr, Qt::WindowFlags())
    , ui(new Ui::MainWindow)
{
    // The images live in a static library; make sure the linker keeps them.
    Q_INIT_RESOURCE(MainWindow);

    ui->setupUi(this);
    ui->rules->setModel(&proxyModel);

    connect(ui->rules->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::on_rules_selectionChanged);
}

MainWindow::~MainWindow() = default;

void MainWindow::editRule(const QModelIndex &index)
{
    Q_UNUSED(index)
}

void MainWindow::on_actionAbout_triggered(bool checked)
{
    Q_UNUSED(checked)
    KvAboutBox about(this);
    about.exec();
}

void MainWindow::on_actionSendFeedback_triggered(bool checked)
{
    Q_UNUSED(checked)
    const QString link = QStringLiteral("mailto:") + QLatin1String(feedbackAddress) +
                         QStringLiteral("?subject=Feedback for ") +
                         QCoreApplication::applicationName();
    QDesktopServices::openUrl(QUrl(link, QUrl::TolerantMode));
}

void MainWindow::on_ruleAdd_clicked(bool checked)
{
    Q_UNUSED(checked)
}

void MainWindow::on_ruleEdit_clicked(bool checked)
{
    Q_UNUSED(checked)
    editRule(ui->rules->currentIndex());
}

void MainWindow::on_rules_doubleClicked(const QModelIndex &index)
{
    editRule(index);
}

void MainWindow::on_rules_selectionChanged(const QItemSelection &selected,
                                           const QItemSelection &deselected)
{
    Q_UNUSED(selected)
    Q_UNUSED(deselected)
    const bool enabled = !ui->rules->selectionModel()->selectedRows(0).isEmpty();
    ui->ruleEdit->setEnabled(enabled);
    ui->ruleRemove->setEnabled(enabled);
}
