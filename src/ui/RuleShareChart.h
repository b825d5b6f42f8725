#pragma once

#include <QColor>
#include <QHash>
#include <QList>
#include <QRectF>
#include <QWidget>

class RuleDetailsModel;

// The share of the machine each process of a rule got over the last minute:
// a line per process in the colour of its program, which the legend and the
// table's rows show too, and a thick line for the total of a shared limit;
// a labelled axis whose scale belongs to the rule (0 to 100 %, or to a little
// above a low cap), the cap as a labelled dashed line while it applies, a
// band saying "suspended" while the rule suspends, and dotted marks labelled
// "on" and "off" where the rule went on or off. Each meaning is told by a
// pattern or a word as well as by a colour.
//
// refresh() after each sample repaints only the plot while the axis, the
// legend and the captions stay as they were, and nothing at all while there
// is nothing to show.
class RuleShareChart : public QWidget
{
    Q_OBJECT

public:
    // The top of the axis and the step of its gridlines, 0 to 1 of the machine.
    struct Scale
    {
        double top;
        double step;
    };
    // A text on the chart; with a valid mark, a square of that colour before it.
    struct Label
    {
        QRectF rect;
        QString text;
        int flags;
        QColor mark;
    };

    explicit RuleShareChart(QWidget *parent = nullptr);

    void setModel(const RuleDetailsModel *model);
    void refresh();
    QSize sizeHint() const override { return QSize(420, 200); }

    // The scale of a rule with that cap (0: one that suspends): it changes
    // with the cap only, whatever the shares, so that a height reads the same
    // over time.
    static Scale scaleFor(double cap);
    // Every text the chart draws, where it draws it.
    QList<Label> labels() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // The spans of the minute (start, end) in which the rule was active.
    QList<QPair<qint64, qint64>> activeSpans() const;
    // Where the rule went on (true) or off in the minute.
    QList<QPair<qint64, bool>> marks() const;
    // Where the plot lies, and what its corners stand for.
    struct Frame
    {
        QRectF plot;
        qint64 start; // the time at the left edge
        double top;   // the share at the top
        double line;  // the height of a line of text
        double x(qint64 at) const;
        double y(double share) const;
    };
    Frame frame() const;
    double advance(const QString &text) const;
    // The legend, above the plot.
    QList<Label> legend(const Frame &frame) const;
    // What decides everything outside the plot.
    QString frameKey(const Frame &frame) const;
    bool isEmpty() const;

    const RuleDetailsModel *model = nullptr;
    mutable QHash<QString, double> advances;
    QString paintedFrame;
    bool paintedEmpty = false;
};
