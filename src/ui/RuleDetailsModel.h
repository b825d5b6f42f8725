#pragma once

#include "ui/RuleShareHistory.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QList>

class Rule;
class RulesEngine;

// What one rule holds now: a row per process it restrains (or, while it
// waits for its delay, would restrain), with its name beside the colour of
// its line on the chart, its id, what is done to it and its share of the
// whole machine over the last few seconds, from the share history.
//
// The rows follow the rule at refresh(), after each sample of the history:
// only the cells whose text changed are announced, so that a view repaints
// no more than what changed, once a second.
class RuleDetailsModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { NameColumn, ProcessIdColumn, RestraintColumn, ShareColumn, ColumnCount };
    // What is done to a process, as its row tells it.
    enum class Restraint { Limited, Sharing, Suspended, SuspendedTogether, Waiting };

    RuleDetailsModel(RulesEngine &engine, RuleShareHistory &history, QObject *parent = nullptr);

    // The rule shown; 0 for none.
    void setRule(unsigned id);
    unsigned rule() const { return ruleId; }
    // Brings the rows up to date with the rule and the latest sample.
    void refresh();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The rule's last minute; nullptr when it held nothing in it.
    const RuleShareHistory::Record *record() const { return history.record(ruleId); }
    qint64 latestSample() const { return history.latest(); }
    // The rule's cap as a share of the machine; 0 when it suspends.
    double cap() const;
    bool suspends() const;

    // The one place that words what is done to a process; busy: by a rule
    // that holds it only while it is busy.
    static QString restraintText(Restraint restraint, unsigned percent, bool busy = false);
    static QColor lineColour(int colour);
    // What 100 % means on this machine: "100 % = all 2 CPUs".
    static QString scaleText();

private:
    struct Row
    {
        quint32 processId = 0;
        int colour = 0;
        QString name;
        QString restraint;
        QString share;
    };

    QList<Row> heldRows();
    static Restraint restraintOf(const Rule &rule);

    RulesEngine &engine;
    RuleShareHistory &history;
    unsigned ruleId = 0;
    QList<Row> rows;
};
