#include "ui/MainWindow.h"

#include "ui_MainWindow.h"

#include "ui/KvAboutBox.h"
#include "ui/RuleDialog.h"
#include "ui/RuleIdGenerator.h"

#include "support/KvDebug.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
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
    // Below the list: what the current rule holds, with the larger share of
    // the height that the window gains.
    auto *detailsLayout = new QVBoxLayout(ui->details);
    detailsLayout->setContentsMargins(0, 0, 0, 0);
    detailsLayout->addWidget(detailsPane);
    ui->splitter->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(1, 2);
    ui->splitter->setSizes({150, 350});
    connect(ui->rules->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current, const QModelIndex &previous) {
                // The first row made current from the keyboard (as the list
                // takes the focus) is selected, or no key could select it.
                if (current.isValid() && !previous.isValid() && !keepingCurrent &&
                    !ui->rules->selectionModel()->hasSelection())
                    ui->rules->selectionModel()->select(current, QItemSelectionModel::Select |
                                                                     QItemSelectionModel::Rows);
                showCurrentRule();
            });
    ui->rules->installEventFilter(this);
    undoBarTimer.setSingleShot(true);
    undoBarTimer.setInterval(10000);
    connect(&undoBarTimer, &QTimer::timeout, ui->undoBar, &QWidget::hide);
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

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ui->rules || event->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const QModelIndex current = ui->rules->currentIndex();
    if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier || !current.isValid())
        return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!ui->ruleEdit->isEnabled())
            return false;
        editRule(current);
        return true;
    case Qt::Key_Delete:
        if (!ui->ruleRemove->isEnabled())
            return false;
        removeCurrentRule();
        return true;
    case Qt::Key_Space: {
        const QModelIndex box = current.sibling(current.row(), 0);
        const bool checked = box.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        proxyModel.setData(box, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        return true;
    }
    default:
        return false;
    }
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
        takeInWrites();
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

void MainWindow::on_actionShowLog_triggered(bool checked)
{
    Q_UNUSED(checked)
    // The file where the desktop has a program for it, else its folder.
    const QFileInfo log(KvDebug::logFilePath());
    if (!log.exists() || !QDesktopServices::openUrl(QUrl::fromLocalFile(log.filePath())))
        QDesktopServices::openUrl(QUrl::fromLocalFile(log.path()));
}

void MainWindow::on_actionUndo_triggered(bool checked)
{
    Q_UNUSED(checked)
    const std::unique_ptr<RemovedRule> rule = std::move(removed);
    ui->actionUndo->setEnabled(false);
    ui->undoBar->hide();
    // Read as any rule added: it acts at once if its conditions hold.
    if (!rule || !rule->restore())
        return;
    takeInWrites();
    selectRow(proxyModel.mapFromSource(rulesModel.index(rulesModel.rowOf(rule->id()), 0)).row());
}

void MainWindow::on_undoButton_clicked(bool checked)
{
    Q_UNUSED(checked)
    ui->actionUndo->trigger();
}

void MainWindow::on_ruleAdd_clicked(bool checked)
{
    Q_UNUSED(checked)
    RuleDialog dialog(RuleIdGenerator::newId(), this);
    if (dialog.exec() == QDialog::Accepted)
        takeInWrites();
}

void MainWindow::on_ruleEdit_clicked(bool checked)
{
    Q_UNUSED(checked)
    editRule(ui->rules->currentIndex());
}

void MainWindow::on_ruleRemove_clicked(bool checked)
{
    Q_UNUSED(checked)
    removeCurrentRule();
}

void MainWindow::removeCurrentRule()
{
    const int row = ui->rules->currentIndex().row();
    const QModelIndex current = proxyModel.mapToSource(ui->rules->currentIndex());
    // A selection without a current row names no rule to remove. The rule
    // lifts whatever it restrains as it leaves the store.
    if (!current.isValid())
        return;
    removed = std::make_unique<RemovedRule>(unsigned(current.internalId()));
    rulesModel.removeRow(current.row(), QModelIndex());
    // The next rule takes its place, or the one before at the end.
    selectRow(qMin(row, proxyModel.rowCount() - 1));
    ui->undoText->setText(tr("Rule %1 removed").arg(removed->name()));
    ui->undoBar->show();
    ui->actionUndo->setEnabled(true);
    undoBarTimer.start();
}

void MainWindow::selectRow(int row)
{
    const QModelIndex index = proxyModel.index(row, 0);
    if (!index.isValid()) {
        ui->rules->selectionModel()->clear();
        return;
    }
    ui->rules->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                            QItemSelectionModel::Rows);
}

void MainWindow::on_rules_doubleClicked(const QModelIndex &index)
{
    editRule(index);
}

void MainWindow::takeInWrites()
{
    engine.store().reload();
    // A new name takes its sorted place.
    proxyModel.invalidate();
}

void MainWindow::keepCurrentRule()
{
    const QModelIndex current =
        proxyModel.mapFromSource(rulesModel.index(rulesModel.rowOf(currentRuleId), 0));
    keepingCurrent = true;
    if (current.isValid()) {
        ui->rules->selectionModel()->setCurrentIndex(
            current, currentSelected
                         ? QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows
                         : QItemSelectionModel::NoUpdate);
    }
    keepingCurrent = false;
    on_rules_selectionChanged({}, {});
}

void MainWindow::showCurrentRule()
{
    const QModelIndex current = ui->rules->currentIndex();
    const QModelIndex source = proxyModel.mapToSource(current);
    currentRuleId = source.isValid() ? unsigned(source.internalId()) : 0;
    const bool selected = current.isValid() &&
                          ui->rules->selectionModel()->isRowSelected(current.row(), QModelIndex());
    detailsPane->setRule(selected ? currentRuleId : 0);
}

void MainWindow::on_rules_selectionChanged(const QItemSelection &selected,
                                           const QItemSelection &deselected)
{
    Q_UNUSED(selected)
    Q_UNUSED(deselected)
    const bool enabled = !ui->rules->selectionModel()->selectedRows(0).isEmpty();
    ui->ruleEdit->setEnabled(enabled);
    ui->ruleRemove->setEnabled(enabled);
    showCurrentRule();
}
