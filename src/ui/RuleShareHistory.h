#pragma once

#include "rules/RuleState.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QVector>

class RulesEngine;

// The share of the machine that each process a rule held got over the last
// minute, kept for every rule while the program runs, whichever rule the
// window shows: a rule shows its last minute as soon as it is selected, and
// what it held before it let go stays in sight until it is a minute old.
// Nothing older than a minute is kept, nor anything of a rule the store no
// longer holds.
//
// Shares come from the processes' processor times, read at each sample():
// the caller samples once a second while the window is on screen. A process
// that several rules hold is read once; an id that names another process by
// now starts afresh.
class RuleShareHistory
{
public:
    // How far back the history reaches, in milliseconds.
    static constexpr qint64 span = 60000;
    // How many samples the share of a moment is taken over.
    static constexpr int shareWindow = 3;

    // A share of the machine, 0 to 1, at a moment (milliseconds of the
    // history's clock); NaN where the share was not known yet.
    struct Point
    {
        qint64 at;
        double share;
    };
    // One process of the rule: its line on the chart.
    struct Line
    {
        quint32 processId = 0;
        quint64 startTime = 0;
        QString name;
        bool held = false; // at the latest sample
        QVector<Point> points;
    };
    // The rule at one sample: its state, and for a shared limit the shares
    // of its processes added up (NaN otherwise, or while none is known).
    struct Tick
    {
        qint64 at;
        RuleState state;
        double total;
    };
    struct Record
    {
        QList<Line> lines;
        QVector<Tick> ticks;
        // The colour of each program's lines, numbered in order of sight.
        QHash<QString, int> colours;
    };

    explicit RuleShareHistory(RulesEngine &engine);

    // Reads the processor times of what every rule holds and adds a sample;
    // at a given moment (milliseconds of a steady clock), for tests.
    void sample();
    void sample(qint64 now);
    // The time of the latest sample.
    qint64 latest() const { return last; }

    // The rule's last minute; nullptr for a rule that held nothing in it.
    const Record *record(unsigned id) const;
    // The colour number of a program's lines in a rule.
    int colourOf(unsigned id, const QString &name);
    // The share of a process over the latest samples; NaN when not known.
    double shareOf(quint32 processId) const;

private:
    struct Process
    {
        quint64 startTime = 0;
        // Processor time (microseconds) and time of each sample (ms).
        QVector<QPair<quint64, qint64>> samples;
        double share = qQNaN();
        bool read = false; // at the latest sample
    };

    // Reads the process once per sample; false when it ended.
    bool read(quint32 processId, qint64 now);
    void sampleRule(unsigned id, qint64 now);

    RulesEngine &engine;
    const int cpus;
    QElapsedTimer clock;
    qint64 last = 0;
    QHash<quint32, Process> processes;
    QHash<unsigned, Record> records;
};
