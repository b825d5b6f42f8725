#include "ui/RuleShareChart.h"

#include "ui/RuleDetailsModel.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// Colours that stay apart for the common kinds of colour blindness.
const QColor lineColours[] = {QColor(0x00, 0x72, 0xB2), QColor(0xE6, 0x9F, 0x00),
                              QColor(0x00, 0x9E, 0x73), QColor(0xCC, 0x79, 0xA7),
                              QColor(0x56, 0xB4, 0xE9), QColor(0xD5, 0x5E, 0x00)};

} // namespace

RuleShareChart::RuleShareChart(QWidget *parent)
    : QWidget(parent)
{
    setMinimumHeight(80);
}

void RuleShareChart::setModel(const RuleDetailsModel *details)
{
    model = details;
    update();
}

void RuleShareChart::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect().adjusted(4, 4, -4, -16);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(area);
    if (!model)
        return;
    const int samples = RuleDetailsModel::historyLength;
    // The scale fits the highest share or the cap, whichever is higher.
    // The processes' lines, and the total of a shared limit over them.
    QList<QPair<QVector<double>, QPen>> lines;
    for (int row = 0; row < model->rowCount(); ++row)
        lines.append({model->history(row), QPen(lineColours[row % std::size(lineColours)], 1.5)});
    if (const QVector<double> total = model->total(); !total.isEmpty())
        lines.append({total, QPen(palette().text().color(), 2.5)});
    double top = qMax(0.05, model->cap());
    for (const auto &line : qAsConst(lines)) {
        for (double share : line.first)
            top = std::isnan(share) ? top : qMax(top, share);
    }
    top *= 1.1;
    const auto x = [&](int sample) { return area.left() + area.width() * sample / (samples - 1); };
    const auto y = [&](double share) { return area.bottom() - area.height() * share / top; };

    for (const auto &line : qAsConst(lines)) {
        QPainterPath path;
        bool drawing = false;
        const QVector<double> &shares = line.first;
        for (int i = 0; i < shares.size(); ++i) {
            if (std::isnan(shares.at(i))) {
                drawing = false;
                continue;
            }
            const QPointF point(x(i), y(shares.at(i)));
            drawing ? path.lineTo(point) : path.moveTo(point);
            drawing = true;
        }
        painter.setPen(line.second);
        painter.drawPath(path);
    }
    if (model->cap() > 0) {
        painter.setPen(QPen(palette().text().color(), 1, Qt::DashLine));
        painter.drawLine(QPointF(area.left(), y(model->cap())),
                         QPointF(area.right(), y(model->cap())));
    }
    painter.setPen(QPen(palette().text().color(), 1, Qt::DotLine));
    for (const auto &mark : model->activations()) {
        const double at = x(samples - 1 - mark.first);
        painter.drawLine(QPointF(at, area.top()), QPointF(at, area.bottom()));
        painter.drawText(QPointF(at + 2, rect().bottom() - 3), mark.second ? tr("on") : tr("off"));
    }
}
