#pragma once

#include "rules/RulesEngine.h"
#include "rules/RulesModel.h"
#include "ui/RemovedRule.h"
#include "ui/RuleDetailsPane.h"

#include <QItemSelection>
#include <QMainWindow>
#include <QModelIndex>
#include <QScopedPointer>
#include <QSortFilterProxyModel>
#include <QTimer>

#include <memory>

namespace Ui {
class MainWindow;
}

// The program's only top-level window: the list of rules with their enabled
// check boxes, status icons and names, the buttons that add, edit and remove
// rules, below them what the selected rule holds, and the File and Help
// menus. Closing it ends the program.
//
// On the list, Enter edits the rule, Delete removes it and Space switches it
// on or off. A removal can be undone (Ctrl+Z, or the bar that says it), which
// puts the rule back as it was stored, under its id.
//
// It is a view of the rules engine, which the application makes and keeps.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(RulesEngine &engine);
    ~MainWindow() override;

protected:
    // The first paint says in the log that the window is up, so that the
    // time a start takes can be read there.
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void editRule(const QModelIndex &index);
    void on_actionAbout_triggered(bool checked = false);
    void on_actionSendFeedback_triggered(bool checked = false);
    void on_actionShowLog_triggered(bool checked = false);
    void on_actionUndo_triggered(bool checked = false);
    void on_ruleAdd_clicked(bool checked = false);
    void on_ruleEdit_clicked(bool checked = false);
    void on_ruleRemove_clicked(bool checked = false);
    void on_rules_doubleClicked(const QModelIndex &index);
    void on_undoButton_clicked(bool checked = false);

private:
    // Not a slot: the view has no signal of this name, so the by-name
    // connection would only complain about it at every start. It is connected
    // to the view's selection model explicitly.
    void on_rules_selectionChanged(const QItemSelection &selected,
                                   const QItemSelection &deselected);
    // Has the store read what was written past it (by the rule dialog, or
    // an undo), and the list sort it.
    void takeInWrites();
    // After the list was made anew: the rule that was current is again, as
    // selected as it was, while the store holds it; else none is shown.
    void keepCurrentRule();
    // The details show the current rule while its row is selected.
    void showCurrentRule();
    // Makes the row of the view current and selected; none for -1.
    void selectRow(int row);
    void removeCurrentRule();

    QScopedPointer<Ui::MainWindow> ui;
    bool painted = false;
    RulesEngine &engine;
    QSortFilterProxyModel proxyModel;
    RulesModel rulesModel;
    RuleDetailsPane *detailsPane;
    // The rule of the current row, 0 for none, and whether the row was
    // selected as the list was made anew.
    unsigned currentRuleId = 0;
    bool currentSelected = false;
    bool keepingCurrent = false;
    // The rule that the last removal took, until it is put back.
    std::unique_ptr<RemovedRule> removed;
    QTimer undoBarTimer;
};
