#include "ui/RuleDetailsPane.h"

#include "ui_RuleDetailsPane.h"

#include "rules/Rule.h"
#include "rules/RuleStatusText.h"
#include "rules/RulesEngine.h"

#include <QEvent>
#include <QHeaderView>

#include <cmath>

namespace {

// A label's new text, if it has another.
void retext(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

} // namespace

RuleDetailsPane::RuleDetailsPane(RulesEngine &engine, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::RuleDetailsPane)
    , engine(engine)
    , history(engine)
    , model(engine, history)
{
    ui->setupUi(this);
    ui->processes->setModel(&model);
    ui->chart->setModel(&model);
    // Columns sized once, for the widest text each can show: sizing them to
    // what they show would measure every row at every sample.
    QHeaderView *header = ui->processes->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(RuleDetailsModel::NameColumn, QHeaderView::Stretch);
    const QFontMetrics metrics(ui->processes->font());
    QString widestRestraint;
    for (auto restraint :
         {RuleDetailsModel::Restraint::Limited, RuleDetailsModel::Restraint::Sharing,
          RuleDetailsModel::Restraint::Suspended, RuleDetailsModel::Restraint::SuspendedTogether,
          RuleDetailsModel::Restraint::Waiting}) {
        for (const bool busy : {false, true}) {
            const QString text = RuleDetailsModel::restraintText(restraint, 100, busy);
            if (metrics.horizontalAdvance(text) > metrics.horizontalAdvance(widestRestraint))
                widestRestraint = text;
        }
    }
    const QPair<int, QString> widest[] = {{RuleDetailsModel::ProcessIdColumn, "4194304"},
                                          {RuleDetailsModel::RestraintColumn, widestRestraint},
                                          {RuleDetailsModel::ShareColumn, "100.0 %"}};
    for (const auto &column : widest) {
        header->resizeSection(column.first, qMax(header->sectionSizeHint(column.first),
                                                 metrics.horizontalAdvance(column.second) + 16));
    }
    timer.setParent(this);
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &RuleDetailsPane::sample);
    connect(&engine.store(), &RuleStore::listChanged, this, &RuleDetailsPane::updateTexts);
    updateTexts();
}

RuleDetailsPane::~RuleDetailsPane() = default;

void RuleDetailsPane::setRule(unsigned id)
{
    model.setRule(id);
    ui->chart->update();
    updateTexts();
}

void RuleDetailsPane::sample()
{
    history.sample();
    model.refresh();
    ui->chart->refresh();
    updateTexts();
}

QString RuleDetailsPane::emptyText() const
{
    return ui->stack->currentWidget() == ui->emptyState ? ui->emptyState->text() : QString();
}

void RuleDetailsPane::updateTexts()
{
    const unsigned id = model.rule();
    QString empty;
    if (id == 0)
        empty = engine.store().ids().isEmpty()
                    ? tr("No rules yet — Add one to cap or pause a program")
                    : tr("Select a rule to see what it holds");
    else if (model.rowCount() == 0)
        empty = RuleStatusText::idle(engine, id);
    retext(ui->emptyState, empty);
    ui->stack->setCurrentWidget(empty.isEmpty() ? static_cast<QWidget *>(ui->processes)
                                                : ui->emptyState);
    ui->chart->setVisible(id != 0);

    // Above the rows: the countdown of the delay, or what a shared limit's
    // processes take together.
    const Rule *live = engine.rule(id);
    const RuleShareHistory::Record *record = model.record();
    const double total = record && !record->ticks.isEmpty() ? record->ticks.last().total : NAN;
    QString summary;
    if (model.rowCount() > 0 && live && live->state() == RuleState::Delayed) {
        summary = RuleStatusText::waiting(live->delayLeft());
    } else if (model.rowCount() > 0 && !std::isnan(total)) {
        const QString share = tr("together %1 %").arg(total * 100, 0, 'f', 1);
        const QString held = model.cap() > 0
                                 ? tr("under one limit of %1 %").arg(model.cap() * 100, 0, 'f', 0)
                                 : tr("suspended together");
        summary =
            tr("All %n processes: %1 of the machine, %2", "", model.rowCount()).arg(share, held);
    }
    retext(ui->summary, summary);
    ui->summary->setVisible(!summary.isEmpty());

    QStringList shares;
    for (int row = 0; row < model.rowCount(); ++row) {
        shares.append(model.index(row, RuleDetailsModel::NameColumn).data().toString() +
                      QLatin1Char(' ') +
                      model.index(row, RuleDetailsModel::ShareColumn).data().toString());
    }
    const QString description = shares.join(QStringLiteral(", "));
    if (ui->chart->accessibleDescription() != description)
        ui->chart->setAccessibleDescription(description);
}

void RuleDetailsPane::updateSampling()
{
    const bool wanted = isVisible() && !window()->isMinimized();
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
