#pragma once

#include "rules/KvSettings.h"
#include "rules/KvSettingsBinder.h"
#include "ui/ProcessListModel.h"

#include <QDialog>

#include <memory>

class QAbstractItemModel;
class QAbstractItemView;
class QItemSelection;

namespace Ui {
class RuleDialog;
}

// The modal editor of one rule. It loads every key of the rule's group into
// its controls when it is made and writes them all back on OK only, so a
// cancelled dialog leaves no trace, not even for a new rule. Whoever opened
// it has the rule store read what it wrote.
class RuleDialog : public QDialog
{
    Q_OBJECT

public:
    RuleDialog(unsigned id, QWidget *parent = nullptr);
    ~RuleDialog() override;

public slots:
    void accept() override;

private slots:
    void on_conditionInternetConnection_stateChanged(int state);
    void on_conditionProcessAdd_clicked(bool checked = false);
    void on_conditionProcessRemove_clicked(bool checked = false);
    void on_conditionStatusNotRunning_clicked(bool checked = false);
    void on_conditionStatusRunning_clicked(bool checked = false);
    void on_name_textChanged(const QString &text);
    void on_targetApplyDelay_stateChanged(int state);
    void on_targetOnlyWhenBusy_stateChanged(int state);
    void on_targetProcessAdd_clicked(bool checked = false);
    void on_targetProcessRemove_clicked(bool checked = false);

private:
    // Connected to the lists' selection models by hand: the views have no
    // signal of that name for the by-name connection to find.
    void on_conditionSelectedProcessesList_selectionChanged(const QItemSelection &selected,
                                                            const QItemSelection &deselected);
    void on_targetSelectedProcessesList_selectionChanged(const QItemSelection &selected,
                                                         const QItemSelection &deselected);

    void addProcess(QAbstractItemModel &model);
    static void appendProcess(QAbstractItemModel &model, const QString &text);
    static void removeSelectedProcesses(QAbstractItemView *view);
    static bool hasSelectedRow(const QAbstractItemView *view);

    KvSettingsBinder binder;
    ProcessListModel conditionProcessesModel;
    ProcessListModel targetProcessesModel;
    // Positioned on the rule's group.
    KvSettings settings;
    const std::unique_ptr<Ui::RuleDialog> ui;
};
