#pragma once

#include "ui/RuleDetailsModel.h"

#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class RuleDetailsPane;
}

// The selected rule's processes and their share of the machine, in a table
// and a chart. The processor times are read once a second, and only while
// the pane is on screen with a rule selected: never while the window is
// hidden or minimised, nor without a rule.
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

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Starts or stops the sampling as the pane's circumstances say.
    void updateSampling();
    void sample();

    const std::unique_ptr<Ui::RuleDetailsPane> ui;
    RuleDetailsModel model;
    QTimer timer;
};
