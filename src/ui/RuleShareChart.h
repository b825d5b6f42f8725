#pragma once

#include <QWidget>

class RuleDetailsModel;

// The share of the machine each process of a rule got over the last minute,
// a line per process, with the rule's cap as a dashed line and the moments
// the rule went active or inactive as dotted marks labelled "on" and "off":
// each meaning is told by the line's pattern or a word as well as by its
// colour. Drawn with QPainter from the details model at each of its samples.
class RuleShareChart : public QWidget
{
    Q_OBJECT

public:
    explicit RuleShareChart(QWidget *parent = nullptr);

    void setModel(const RuleDetailsModel *model);
    QSize sizeHint() const override { return QSize(360, 120); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const RuleDetailsModel *model = nullptr;
};
