#pragma once

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QVector>

class RulesEngine;

// What one rule holds now: a row per process it restrains (or, while it
// waits for its delay, would restrain), with its name, its id, what is done
// to it and its share of the whole machine over the last few seconds; and
// for the chart, each process's share over the last minute, the rule's cap
// and when the rule became active or inactive.
//
// Shares come from the processes' processor times, read at each sample():
// the caller samples once a second while anyone looks. A process that ended
// goes; an id that names another process by now starts afresh.
class RuleDetailsModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { NameColumn, ProcessIdColumn, RestraintColumn, ShareColumn, ColumnCount };
    // How many samples the chart keeps: a minute at one a second.
    static constexpr int historyLength = 60;
    // How far back the share of the table looks, in samples.
    static constexpr int shareWindow = 3;

    explicit RuleDetailsModel(RulesEngine &engine, QObject *parent = nullptr);

    // The rule shown; 0 for none.
    void setRule(unsigned id);
    unsigned rule() const { return ruleId; }
    // Reads the processor times and brings the rows and the history up to
    // date; at a given moment (milliseconds of a steady clock), for tests.
    void sample();
    void sample(qint64 nowMs);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // For the chart: a process's shares, the oldest first (NaN before it was
    // seen), 0 to 1 of the machine.
    QVector<double> history(int row) const;
    // When the rule shares its limit among its processes: their shares
    // added up, the oldest first; empty otherwise.
    QVector<double> total() const;
    // The cap of the rule as a share of the machine; 0 when it suspends.
    double cap() const;
    // The samples, counted back from the latest (0), at which the rule went
    // active (true) or inactive (false).
    QList<QPair<int, bool>> activations() const;

private:
    struct Process
    {
        quint32 processId = 0;
        quint64 startTime = 0;
        QString name;
        QString restraint;
        // Processor time (microseconds) and time of each sample (ms).
        QVector<QPair<quint64, qint64>> samples;
        QVector<double> history;
    };

    // The processes the rule holds now, with what is done to each.
    QList<Process> held() const;
    void followRule(unsigned id);
    static double shareOver(const QVector<QPair<quint64, qint64>> &samples, int window);

    RulesEngine &engine;
    unsigned ruleId = 0;
    QList<Process> rows;
    QElapsedTimer clock;
    int sampleCount = 0;
    QList<QPair<int, bool>> changes; // sample number, active
    bool wasActive = false;
};
