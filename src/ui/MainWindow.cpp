#include "ui/MainWindow.h"

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
#include <QVBoxLayout>

namespace {

// Where users' feedback goes.
const char feedbackAddress[] = "feedback@corvane.app";

} // namespace

MainWindow::MainWindow(RulesEngine &engine)
    : QMainWindow(nullptr, Qt::WindowFlags())
    , ui(new Ui::MainWindow)
    , engine(engine)
    , rulesModel(engine)
    , detailsPane(new RuleDetailsPane(engine))
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
    // Below the list, which keeps its place: what the current rule holds.
    auto *detailsLayout = new QVBoxLayout(ui->details);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    detailsLayout->addWidget(detailsPane);
    connect(ui->rules->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                const QModelIndex source = proxyModel.mapToSource(current);
                currentRuleId = source.isValid() ? unsigned(source.internalId()) : 0;
                detailsPane->setRule(currentRuleId);
            });
    // A list made anew (a rule added, or the store changed behind the window)
    // drops the current row and the selection without a word.
    connect(&proxyModel, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        currentSelected = ui->rules->selectionModel()->isSelected(ui->rules->currentIndex());
    });
    connect(&proxyModel, &QAbstractItemModel::modelReset, this, &MainWindow::keepCurrentRule);
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
    // The engine applies the edit as it reaches the store: a rule at work is
    // lifted and, if it still applies, applied again with its new settings.
    RuleDialog dialog(static_cast<unsigned>(source.internalId()), this);
    if (dialog.exec() == QDialog::Accepted)
        takeInDialog();
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
    RuleDialog dialog(RuleIdGenerator::newId(), this);
    if (dialog.exec() == QDialog::Accepted)
        takeInDialog();
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
    // A selection without a current row names no rule to remove. The rule
    // lifts whatever it restrains as it leaves the store.
    if (current.isValid())
        rulesModel.removeRow(current.row(), QModelIndex());
}

void MainWindow::on_rules_doubleClicked(const QModelIndex &index)
{
    editRule(index);
}

void MainWindow::takeInDialog()
{
    engine.store().reload();
    // A new name takes its sorted place.
    proxyModel.invalidate();
}

void MainWindow::keepCurrentRule()
{
    const QModelIndex current =
        proxyModel.mapFromSource(rulesModel.index(rulesModel.rowOf(currentRuleId), 0));
    if (current.isValid()) {
        ui->rules->selectionModel()->setCurrentIndex(
            current, currentSelected
                         ? QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows
                         : QItemSelectionModel::NoUpdate);
    } else {
        currentRuleId = 0;
        detailsPane->setRule(0);
    }
    on_rules_selectionChanged({}, {});
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
