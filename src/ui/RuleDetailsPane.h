#pragma once

#include "ui/RuleDetailsModel.h"
#include "ui/RuleShareHistory.h"

#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class RuleDetailsPane;
}

// The selected rule's processes and their share of the machine, in a table
// and a chart, or, while it holds nothing, why not ("Switched off").
//
// Once a second, and only while its window is on screen and not minimised,
// the pane reads the processor times of what every rule holds, so that each
// rule's last minute is there when it is selected; the first time a second
// after the window is shown, so that nothing is read or drawn while the
// program starts. The table and the chart then repaint what changed.
class RuleDetailsPane : public QWidget
{
    Q_OBJECT

public:
    RuleDetailsPane(RulesEngine &engine, QWidget *parent = nullptr);
    ~RuleDetailsPane() override;

    // The rule to show; 0 for none.
    void setRule(unsigned id);
    const RuleDetailsModel &details() const { return model; }
    bool isSampling() const { return timer.isActive(); }
    // What the pane says in place of the table; empty while it shows rows.
    QString emptyText() const;
    // Reads the processor times and brings everything shown up to date.
    void sample();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Starts or stops the sampling as the pane's circumstances say.
    void updateSampling();
    // The texts around the table and the chart, changed where they differ.
    void updateTexts();

    const std::unique_ptr<Ui::RuleDetailsPane> ui;
    RulesEngine &engine;
    RuleShareHistory history;
    RuleDetailsModel model;
    QTimer timer;
};
