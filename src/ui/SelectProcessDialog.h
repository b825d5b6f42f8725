#pragma once

#include "process/KvProcessesModel.h"

#include <QDialog>

#include <memory>

class QModelIndex;

namespace Ui {
class SelectProcessDialog;
}

// Lets the user supply one process pattern: pick a running process (its full
// path), browse for a program file, or type any text such as a bare name or
// a wildcard pattern. The table shows the processes as they were when the
// dialog opened.
class SelectProcessDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SelectProcessDialog(QWidget *parent = nullptr);
    ~SelectProcessDialog() override;

    // The pattern as it stands in the text field; never empty once the
    // dialog has been accepted.
    QString process() const;

private slots:
    void on_browse_clicked(bool checked);
    void on_process_textChanged(const QString &text);

private:
    // Connected to the view's selection model by hand: the view has no
    // signal of that name for the by-name connection to find.
    void on_processesView_currentChanged(const QModelIndex &current, const QModelIndex &previous);

    KvProcessesModel processesModel;
    const std::unique_ptr<Ui::SelectProcessDialog> ui;
};
