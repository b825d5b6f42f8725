#include "ui/SelectProcessDialog.h"

#include "ui_SelectProcessDialog.h"

#include "platform/KvPlatformShell.h"

#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>

SelectProcessDialog::SelectProcessDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SelectProcessDialog)
{
    ui->setupUi(this);
    ui->processesView->setModel(&processesModel);
    ui->processesView->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    ui->processesView->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    connect(ui->processesView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &SelectProcessDialog::on_processesView_currentChanged);

    // The text field is the dialog's answer, so it starts with the focus. A
    // view that got the focus first would make its first row current and so
    // fill in a process the user never chose.
    ui->process->setFocus();
}

SelectProcessDialog::~SelectProcessDialog() = default;

QString SelectProcessDialog::process() const
{
    return ui->process->text();
}

void SelectProcessDialog::on_browse_clicked(bool)
{
    const QString file = QFileDialog::getOpenFileName(
        this, tr("Select file"), QString(), KvPlatformShell::current().executableNameFilter());
    if (!file.isNull())
        ui->process->setText(QDir::toNativeSeparators(file));
}

void SelectProcessDialog::on_process_textChanged(const QString &text)
{
    ui->okButton->setEnabled(!text.isEmpty());
}

void SelectProcessDialog::on_processesView_currentChanged(const QModelIndex &current,
                                                          const QModelIndex &)
{
    if (!current.isValid())
        return;
    const QModelIndex path = current.sibling(current.row(), 2);
    ui->process->setText(path.data(Qt::DisplayRole).toString());
}
