#include "ui/RuleDialog.h"

#include "ui_RuleDialog.h"

#include "rules/RuleStore.h"
#include "ui/SelectProcessDialog.h"

#include <QItemSelectionModel>
#include <QPushButton>

RuleDialog::RuleDialog(unsigned id, QWidget *parent)
    : QDialog(parent)
    , binder(&settings) // only remembered here; used once settings is built
    , ui(new Ui::RuleDialog)
{
    settings.beginGroup(QLatin1String(RuleStore::rulesGroup));
    settings.beginGroup(RuleStore::groupName(id));
    ui->setupUi(this);

    ui->conditionSelectedProcessesList->setModel(&conditionProcessesModel);
    ui->targetSelectedProcessesList->setModel(&targetProcessesModel);

    ui->conditionInternetConnectionStatus->addItem(tr("Connected"), 1u);
    ui->conditionInternetConnectionStatus->addItem(tr("Disconnected"), 0u);
    ui->conditionStatusRunningState->addItem(tr("Anyhow"), 0u);
    ui->conditionStatusRunningState->addItem(tr("Foreground"), 1u);
    ui->conditionStatusRunningState->addItem(tr("Background"), 2u);

    ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);

    connect(ui->conditionSelectedProcessesList->selectionModel(),
            &QItemSelectionModel::selectionChanged, this,
            &RuleDialog::on_conditionSelectedProcessesList_selectionChanged);
    connect(ui->targetSelectedProcessesList->selectionModel(),
            &QItemSelectionModel::selectionChanged, this,
            &RuleDialog::on_targetSelectedProcessesList_selectionChanged);

    binder.bind(QLatin1String(RuleStore::nameKey), ui->name);
    binder.bind(QLatin1String(RuleStore::enabledKey), ui->enabled);
    binder.bind(QLatin1String(RuleStore::conditionProcessesKey),
                ui->conditionSelectedProcessesList);
    binder.bind(QLatin1String(RuleStore::internetConnectionKey), ui->conditionInternetConnection);
    binder.bind(QLatin1String(RuleStore::internetConnectionStatusKey),
                ui->conditionInternetConnectionStatus);
    binder.bindGroup(QLatin1String(RuleStore::conditionStatusKey),
                     {ui->conditionStatusRunning, ui->conditionStatusNotRunning});
    binder.bind(QLatin1String(RuleStore::conditionStateKey), ui->conditionStatusRunningState);
    binder.bind(QLatin1String(RuleStore::targetProcessesKey), ui->targetSelectedProcessesList);
    binder.bindGroup(QLatin1String(RuleStore::targetActionKey),
                     {ui->targetActionLimitCPU, ui->targetActionSuspend});
    binder.bind(QLatin1String(RuleStore::cpuLimitKey), ui->tagetCPULimit);
    binder.bind(QLatin1String(RuleStore::shareLimitKey), ui->targetShareLimit);
    binder.bind(QLatin1String(RuleStore::applyDelayKey), ui->targetApplyDelay);
    binder.bind(QLatin1String(RuleStore::applyDelayValueKey), ui->targetApplyDelayValue);
    binder.bind(QLatin1String(RuleStore::onlyWhenBusyKey), ui->targetOnlyWhenBusy);
    binder.bind(QLatin1String(RuleStore::busyPercentKey), ui->targetBusyPercent);
    binder.bind(QLatin1String(RuleStore::busySecondsKey), ui->targetBusySeconds);
    binder.bind(QLatin1String(RuleStore::calmSecondsKey), ui->targetCalmSeconds);
    binder.sync(false);
}

RuleDialog::~RuleDialog() = default;

void RuleDialog::accept()
{
    binder.sync(true);
    settings.publish();
    QDialog::accept();
}

void RuleDialog::on_conditionInternetConnection_stateChanged(int state)
{
    ui->conditionInternetConnectionStatus->setEnabled(state == Qt::Checked);
}

void RuleDialog::on_conditionProcessAdd_clicked(bool)
{
    addProcess(conditionProcessesModel);
}

void RuleDialog::on_conditionProcessRemove_clicked(bool)
{
    removeSelectedProcesses(ui->conditionSelectedProcessesList);
}

void RuleDialog::on_conditionSelectedProcessesList_selectionChanged(const QItemSelection &,
                                                                    const QItemSelection &)
{
    ui->conditionProcessRemove->setEnabled(hasSelectedRow(ui->conditionSelectedProcessesList));
}

void RuleDialog::on_conditionStatusNotRunning_clicked(bool)
{
    ui->conditionStatusRunningState->setEnabled(false);
}

void RuleDialog::on_conditionStatusRunning_clicked(bool)
{
    ui->conditionStatusRunningState->setEnabled(true);
}

void RuleDialog::on_name_textChanged(const QString &text)
{
    ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(!text.isEmpty());
}

void RuleDialog::on_targetApplyDelay_stateChanged(int state)
{
    ui->targetApplyDelayValue->setEnabled(state == Qt::Checked);
}

void RuleDialog::on_targetOnlyWhenBusy_stateChanged(int state)
{
    for (QWidget *widget :
         std::initializer_list<QWidget *>{ui->targetBusyPercent, ui->targetBusySeconds,
                                          ui->targetCalmSeconds, ui->targetBusyNote})
        widget->setEnabled(state == Qt::Checked);
}

void RuleDialog::on_targetProcessAdd_clicked(bool)
{
    addProcess(targetProcessesModel);
}

void RuleDialog::on_targetProcessRemove_clicked(bool)
{
    removeSelectedProcesses(ui->targetSelectedProcessesList);
}

void RuleDialog::on_targetSelectedProcessesList_selectionChanged(const QItemSelection &,
                                                                 const QItemSelection &)
{
    ui->targetProcessRemove->setEnabled(hasSelectedRow(ui->targetSelectedProcessesList));
}

void RuleDialog::addProcess(QAbstractItemModel &model)
{
    SelectProcessDialog dialog(this);
    if (dialog.exec() == QDialog::Accepted)
        appendProcess(model, dialog.process());
}

void RuleDialog::appendProcess(QAbstractItemModel &model, const QString &text)
{
    const int row = model.rowCount(QModelIndex());
    model.insertRow(row);
    model.setData(model.index(row, 0), text, Qt::EditRole);
}

void RuleDialog::removeSelectedProcesses(QAbstractItemView *view)
{
    // Every pass asks the selection again, since each removal renumbers the
    // rows below it.
    for (;;) {
        const QModelIndexList selected = view->selectionModel()->selectedRows(0);
        if (selected.isEmpty())
            return;
        if (!view->model()->removeRow(selected.first().row()))
            return; // a row the model refuses to drop would otherwise loop forever
    }
}

bool RuleDialog::hasSelectedRow(const QAbstractItemView *view)
{
    return !view->selectionModel()->selectedRows(0).isEmpty();
}
