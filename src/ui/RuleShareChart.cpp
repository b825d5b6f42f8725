#include "ui/RuleShareChart.h"

#include "ui/RuleDetailsModel.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QMap>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// Samples further apart than this are not joined: the window was hidden or
// minimised between them, and nothing was read.
const qint64 joined = 2000;

} // namespace

RuleShareChart::RuleShareChart(QWidget *parent)
    : QWidget(parent)
{
    setMinimumHeight(150);
    // It paints every pixel of its own: nothing beneath it need be painted.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void RuleShareChart::setModel(const RuleDetailsModel *details)
{
    model = details;
    update();
}

RuleShareChart::Scale RuleShareChart::scaleFor(double cap)
{
    // Tops in percent, each with a step that makes three to five gridlines.
    static const Scale scales[] = {{5, 1},   {10, 2},  {15, 5},  {20, 5},  {30, 10},
                                   {40, 10}, {50, 10}, {60, 20}, {80, 20}, {100, 25}};
    for (const Scale &scale : scales) {
        if (cap > 0 && scale.top >= cap * 100 * 1.15)
            return {scale.top / 100, scale.step / 100};
    }
    return {1, 0.25};
}

bool RuleShareChart::isEmpty() const
{
    return !model || !model->record() || model->record()->lines.isEmpty();
}

double RuleShareChart::advance(const QString &text) const
{
    // Measuring a text shapes it anew each time; the chart's texts are few.
    auto found = advances.constFind(text);
    if (found == advances.constEnd())
        found = advances.insert(text, QFontMetricsF(font()).horizontalAdvance(text));
    return *found;
}

RuleShareChart::Frame RuleShareChart::frame() const
{
    const double line = QFontMetricsF(font()).height();
    const double left = advance(QStringLiteral("100 %")) + 8;
    return {QRectF(rect()).adjusted(left, line + 6, -8, -(line + 6)),
            model ? model->latestSample() - RuleShareHistory::span : 0,
            scaleFor(model ? model->cap() : 0).top, line};
}

double RuleShareChart::Frame::x(qint64 at) const
{
    return plot.left() + plot.width() * double(at - start) / RuleShareHistory::span;
}

double RuleShareChart::Frame::y(double share) const
{
    return plot.bottom() - plot.height() * qBound(0.0, share, top) / top;
}

QList<QPair<qint64, qint64>> RuleShareChart::activeSpans() const
{
    QList<QPair<qint64, qint64>> spans;
    const RuleShareHistory::Record *record = model ? model->record() : nullptr;
    if (!record)
        return spans;
    qint64 previous = std::numeric_limits<qint64>::min() / 2;
    bool open = false;
    for (const RuleShareHistory::Tick &tick : record->ticks) {
        const bool active = tick.state == RuleState::Active;
        if (active && open && tick.at - previous <= joined)
            spans.last().second = tick.at;
        else if (active)
            spans.append({tick.at, tick.at});
        open = active;
        previous = tick.at;
    }
    return spans;
}

QList<QPair<qint64, bool>> RuleShareChart::marks() const
{
    QList<QPair<qint64, bool>> found;
    const QVector<RuleShareHistory::Tick> &ticks = model->record()->ticks;
    for (int i = 1; i < ticks.size(); ++i) {
        const bool active = ticks.at(i).state == RuleState::Active;
        if (ticks.at(i).at - ticks.at(i - 1).at <= joined &&
            active != (ticks.at(i - 1).state == RuleState::Active))
            found.append({ticks.at(i).at, active});
    }
    return found;
}

QList<RuleShareChart::Label> RuleShareChart::legend(const Frame &frame) const
{
    // Each program's colour, and the total of a shared limit.
    QList<Label> found;
    if (isEmpty())
        return found;
    const RuleShareHistory::Record &record = *model->record();
    QMap<int, QString> programs;
    for (const RuleShareHistory::Line &drawn : record.lines)
        programs.insert(record.colours.value(drawn.name), drawn.name);
    QList<QPair<QString, QColor>> entries;
    for (auto it = programs.cbegin(); it != programs.cend(); ++it)
        entries.append({it.value(), RuleDetailsModel::lineColour(it.key())});
    if (std::any_of(record.ticks.cbegin(), record.ticks.cend(),
                    [](const RuleShareHistory::Tick &tick) { return !std::isnan(tick.total); }))
        entries.append({tr("together"), palette().text().color()});
    double x = frame.plot.left();
    for (int i = 0; i < entries.size(); ++i) {
        const double width = frame.line + advance(entries.at(i).first);
        if (x + width > frame.plot.right() && i > 0) {
            const QString more = tr("+%1 more").arg(entries.size() - i);
            found.append({QRectF(x, 2, advance(more), frame.line), more,
                          Qt::AlignLeft | Qt::AlignVCenter, QColor()});
            break;
        }
        found.append({QRectF(x, 2, width, frame.line), entries.at(i).first,
                      Qt::AlignLeft | Qt::AlignVCenter, entries.at(i).second});
        x += width + frame.line;
    }
    return found;
}

QList<RuleShareChart::Label> RuleShareChart::labels() const
{
    QList<Label> found;
    if (!model)
        return found;
    const Frame frame = this->frame();
    const QRectF &plot = frame.plot;
    const double line = frame.line;
    const Scale scale = scaleFor(model->cap());
    for (int i = 0; i * scale.step <= scale.top + 1e-9; ++i) {
        found.append({QRectF(0, frame.y(i * scale.step) - line / 2, plot.left() - 4, line),
                      tr("%1 %").arg(qRound(i * scale.step * 100)),
                      Qt::AlignRight | Qt::AlignVCenter, QColor()});
    }
    const QRectF below(plot.left(), plot.bottom() + 4, plot.width(), line);
    found.append({below, tr("last %1 s").arg(RuleShareHistory::span / 1000),
                  Qt::AlignLeft | Qt::AlignTop, QColor()});
    found.append({below, RuleDetailsModel::scaleText(), Qt::AlignHCenter | Qt::AlignTop, QColor()});
    found.append({below, tr("now"), Qt::AlignRight | Qt::AlignTop, QColor()});
    if (isEmpty()) {
        found.append({plot, tr("Nothing held in the last minute"), Qt::AlignCenter, QColor()});
        return found;
    }
    found.append(legend(frame));

    // In the plot: the cap at the end of its last span, "suspended" in each
    // of its spans, "on" and "off" at the marks.
    const QList<QPair<qint64, qint64>> spans = activeSpans();
    const auto fitted = [&](double centre, double y, const QString &text) {
        const double width = advance(text) + 2;
        const double left = qBound(plot.left() + 2, centre - width / 2, plot.right() - width - 2);
        return Label{QRectF(left, y, width, line), text, Qt::AlignCenter, QColor()};
    };
    if (model->cap() > 0 && !spans.isEmpty()) {
        const QString limit = tr("limit %1 %").arg(qRound(model->cap() * 100));
        found.append(fitted(frame.x(spans.last().second) - advance(limit) / 2 - 2,
                            frame.y(model->cap()) - line - 1, limit));
    }
    for (const auto &span : spans) {
        if (model->suspends())
            found.append(fitted((frame.x(span.first) + frame.x(span.second)) / 2,
                                plot.bottom() - line - 4, tr("suspended")));
    }
    for (const auto &mark : marks()) {
        const QString word = mark.second ? tr("on") : tr("off");
        found.append({QRectF(frame.x(mark.first) + 3, plot.top() + 2, advance(word) + 2, line),
                      word, Qt::AlignLeft | Qt::AlignTop, QColor()});
    }
    return found;
}

QString RuleShareChart::frameKey(const Frame &frame) const
{
    // The legend is the only part outside the plot that the samples change.
    QStringList key{QString::number(width()), QString::number(height()),
                    QString::number(frame.top)};
    for (const Label &label : legend(frame))
        key.append(label.text);
    return key.join(QLatin1Char('\n'));
}

void RuleShareChart::refresh()
{
    const bool empty = isEmpty();
    if (empty && paintedEmpty)
        return;
    const Frame frame = this->frame();
    if (!empty && !paintedEmpty && frameKey(frame) == paintedFrame)
        update(frame.plot.toAlignedRect().adjusted(-2, -2, 2, 2));
    else
        update();
}

void RuleShareChart::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange) {
        advances.clear();
        paintedFrame.clear();
    }
}

void RuleShareChart::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().base());
    const Frame frame = this->frame();
    paintedEmpty = isEmpty();
    paintedFrame = frameKey(frame);
    if (!model)
        return;
    const QRectF &plot = frame.plot;
    const Scale scale = scaleFor(model->cap());
    const QColor text = palette().text().color();
    QColor grid = palette().mid().color();
    grid.setAlpha(90);
    painter.setPen(grid);
    for (int i = 1; i * scale.step < scale.top - 1e-9; ++i)
        painter.drawLine(QPointF(plot.left(), frame.y(i * scale.step)),
                         QPointF(plot.right(), frame.y(i * scale.step)));
    // The frame as four thin fills: the raster engine draws a rectangle's
    // outline (its upright sides) some fifteen times slower.
    const QRect edge = plot.toAlignedRect();
    for (const QRect &side : {QRect(edge.left(), edge.top(), edge.width(), 1),
                              QRect(edge.left(), edge.bottom(), edge.width(), 1),
                              QRect(edge.left(), edge.top(), 1, edge.height()),
                              QRect(edge.right(), edge.top(), 1, edge.height())})
        painter.fillRect(side, palette().mid());

    if (const RuleShareHistory::Record *record = model->record()) {
        painter.setClipRect(plot);
        QColor band = palette().highlight().color();
        band.setAlpha(40);
        for (const auto &span : activeSpans()) {
            const double left = frame.x(span.first);
            const double right = qMax(frame.x(span.second), left + 1);
            if (model->suspends())
                painter.fillRect(QRectF(left, plot.top(), right - left, plot.height()), band);
            if (model->cap() > 0) {
                painter.setPen(QPen(text, 1, Qt::DashLine));
                painter.drawLine(QPointF(left, frame.y(model->cap())),
                                 QPointF(right, frame.y(model->cap())));
            }
        }
        painter.setPen(QPen(text, 1, Qt::DotLine));
        for (const auto &mark : marks())
            painter.drawLine(QPointF(frame.x(mark.first), plot.top()),
                             QPointF(frame.x(mark.first), plot.bottom()));
        painter.setRenderHint(QPainter::Antialiasing);
        // Polylines of joined samples: far cheaper to draw than paths.
        QVector<QPointF> polyline;
        const auto draw = [&](const QVector<RuleShareHistory::Point> &points, const QPen &pen) {
            painter.setPen(pen);
            qint64 previous = std::numeric_limits<qint64>::min() / 2;
            for (const RuleShareHistory::Point &point : points) {
                if (std::isnan(point.share) || point.at - previous > joined) {
                    painter.drawPolyline(polyline.constData(), polyline.size());
                    polyline.clear();
                }
                if (!std::isnan(point.share))
                    polyline.append(QPointF(frame.x(point.at), frame.y(point.share)));
                previous = std::isnan(point.share) ? previous : point.at;
            }
            painter.drawPolyline(polyline.constData(), polyline.size());
            polyline.clear();
        };
        // Thin lines take the raster engine's fast way, some thirty times
        // cheaper than any wider one (a chart of 50 lines: 0.5 against 16 ms).
        for (const RuleShareHistory::Line &line : record->lines) {
            QPen pen(RuleDetailsModel::lineColour(record->colours.value(line.name)), 1);
            pen.setCosmetic(true);
            draw(line.points, pen);
        }
        QVector<RuleShareHistory::Point> total;
        for (const RuleShareHistory::Tick &tick : record->ticks)
            total.append({tick.at, tick.total});
        draw(total, QPen(text, 2.5));
        painter.setRenderHint(QPainter::Antialiasing, false);
        painter.setClipping(false);
    }

    const double square = frame.line * 0.6;
    for (const Label &label : labels()) {
        if (!event->rect().intersects(label.rect.toAlignedRect()))
            continue;
        QRectF at = label.rect;
        if (label.mark.isValid()) {
            painter.fillRect(QRectF(at.left(), at.center().y() - square / 2, square, square),
                             label.mark);
            at.setLeft(at.left() + square + 4);
        }
        painter.setPen(text);
        painter.drawText(at, label.flags, label.text);
    }
}
