#include "ui/RuleDetailsPane.h"

#include "ui_RuleDetailsPane.h"

#include <QEvent>
#include <QHeaderView>

#include <cmath>

RuleDetailsPane::RuleDetailsPane(RulesEngine &engine, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::RuleDetailsPane)
    , model(engine)
{
    ui->setupUi(this);
    ui->processes->setModel(&model);
    ui->processes->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->chart->setModel(&model);
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &RuleDetailsPane::sample);
}

RuleDetailsPane::~RuleDetailsPane() = default;

void RuleDetailsPane::setRule(unsigned id)
{
    model.setRule(id);
    ui->chart->update();
    updateSampling();
}

void RuleDetailsPane::sample()
{
    model.sample();
    ui->chart->update();
    QStringList shares;
    for (int row = 0; row < model.rowCount(); ++row) {
        shares.append(model.index(row, RuleDetailsModel::NameColumn).data().toString() +
                      QLatin1Char(' ') +
                      model.index(row, RuleDetailsModel::ShareColumn).data().toString());
    }
    // A shared limit: the family's total stands above its members.
    const QVector<double> total = model.total();
    const bool together = !total.isEmpty() && !std::isnan(total.last());
    if (together) {
        const QString share = tr("together %1 %").arg(total.last() * 100, 0, 'f', 1);
        shares.prepend(share);
        const QString held = model.cap() > 0
                                 ? tr("under one limit of %1 %").arg(model.cap() * 100, 0, 'f', 0)
                                 : tr("suspended together");
        ui->total->setText(
            tr("All %n processes: %1 of the machine, %2", "", model.rowCount()).arg(share, held));
    }
    ui->total->setVisible(together);
    ui->chart->setAccessibleDescription(shares.join(QStringLiteral(", ")));
}

void RuleDetailsPane::updateSampling()
{
    const bool wanted = model.rule() != 0 && isVisible() && !window()->isMinimized();
    if (wanted && !timer.isActive())
        timer.start();
    else if (!wanted)
        timer.stop();
}

void RuleDetailsPane::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    window()->installEventFilter(this);
    updateSampling();
}

void RuleDetailsPane::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    updateSampling();
}

bool RuleDetailsPane::eventFilter(QObject *watched, QEvent *event)
{
    // Minimising leaves the pane "visible": its window's state tells.
    if (watched == window() && event->type() == QEvent::WindowStateChange)
        updateSampling();
    return QWidget::eventFilter(watched, event);
}
