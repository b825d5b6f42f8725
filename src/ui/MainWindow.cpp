#include "ui/MainWindow.h"

#include "rules/Rule.h"

#include "ui_MainWindow.h"

#include "ui/KvAboutBox.h"
#include "ui/RuleDialog.h"
#include "ui/RuleIdGenerator.h"

#include "support/KvLog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHeaderView>
#include <QTimer>
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
    proxyModel.setSourceModel(&rulesModel);
    ui->rules->setModel(&proxyModel);

    QHeaderView *header = ui->rules->header();
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(2, QHeaderView::Stretch);
    // The check box and the status icon are as wide in every row: the rows
    // in sight tell, rather than all of a thousand rules.
    header->setResizeContentsPrecision(0);
    header->setSortIndicator(2, Qt::AscendingOrder);

    connect(ui->rules->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::on_rules_selectionChanged);
}

MainWindow::~MainWindow() = default;

void MainWindow::paintEvent(QPaintEvent *event)
{
    QMainWindow::paintEvent(event);
    if (painted)
        return;
    painted = true;
    // After the rest of this paint, the rules list included.
    QTimer::singleShot(0, this, [] { kvInfo(lcCorvane) << "main window shown"; });
}

void MainWindow::editRule(const QModelIndex &index)
{
    const QModelIndex source = proxyModel.mapToSource(index);
    // No row, no rule: its id would read as 0, and accepting the dialog
    // would store a rule nobody asked for.
    if (!source.isValid())
        return;
    const unsigned id = static_cast<unsigned>(source.internalId());

    RuleDialog dialog(id, this);
    if (dialog.exec() != QDialog::Accepted)
        return;

    // An inactive rule is left to its next event; one that was acting is
    // lifted and, if it still applies, applied again with its new settings.
    const QSharedPointer<Rule> rule = rulesModel.ruleFor(id);
    if (rule->state() != RuleState::Inactive) {
        rule->deactivate();
        rule->activateIfApplicable();
    }
    announceChangedRule(id);
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
    const unsigned id = RuleIdGenerator::newId();

    RuleDialog dialog(id, this);
    if (dialog.exec() != QDialog::Accepted)
        return;

    // The dialog has written the rule's group; the model only announces it.
    const int row = rulesModel.rowOf(id);
    if (row >= 0)
        rulesModel.insertRow(row, QModelIndex());
    rulesModel.ruleFor(id)->activateIfApplicable();
    announceChangedRule(id);
}

void MainWindow::on_ruleEdit_clicked(bool checked)
{
    Q_UNUSED(checked)
    editRule(ui->rules->currentIndex());
}

void MainWindow::on_ruleRemove_clicked(bool checked)
{
    Q_UNUSED(checked)
    const QModelIndex current = proxyModel.mapToSource(ui->rules->currentIndex());
    // A selection without a current row names no rule to remove.
    if (!current.isValid())
        return;

    const QSharedPointer<Rule> rule =
        rulesModel.ruleFor(static_cast<unsigned>(current.internalId()));
    // Lift the restrictions (or cancel the pending delay) while the rule
    // still knows what it did.
    if (rule->state() != RuleState::Inactive)
        rule->deactivate();
    rulesModel.removeRow(current.row(), QModelIndex());
}

void MainWindow::on_rules_doubleClicked(const QModelIndex &index)
{
    editRule(index);
}

void MainWindow::announceChangedRule(unsigned id)
{
    // Activating from here is not announced by the rule itself, and a new
    // name must take its sorted place; the list shows both at once.
    const int row = rulesModel.rowOf(id);
    if (row >= 0)
        rulesModel.ruleStatusChanged(row);
    proxyModel.invalidate();
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
