#pragma once

#include <QHash>
#include <QList>
#include <QVector>
#include <QtGlobal>

// Which processes are busy and which have calmed down, worked out from
// samples of their processor time: the bookkeeping of a rule that restrains
// a target only while it is busy. It only says what to hold and what to let
// go of; the rule acts, and tells it what it did not learn from samples
// (which processes are watched, which one is in the foreground).
//
// A process is busy over the time between two samples when it used at
// least busyPercent of the whole machine then (all its CPUs: the unit of
// the caps). Busy without a break for busySeconds, it is to be held. Held,
// it is calm when it uses less than half of what its cap allows (of
// busyPercent, when it is suspended: it uses nothing then, so it is let go
// after calmSeconds and watched again) and its cap did not hold it back
// meanwhile, since then it would use more if it could. Calm without a break
// for calmSeconds, it is to be let go. The process in the foreground is
// neither: its streak starts again once it leaves the foreground.
class BusyWatch
{
public:
    struct Terms
    {
        unsigned busyPercent = 25;
        unsigned busySeconds = 10;
        unsigned calmSeconds = 30;
        // The cap a held process is under, in percent of the machine; 0
        // when it is suspended.
        unsigned capPercent = 0;
    };

    struct Sample
    {
        quint32 processId = 0;
        // Tells the process from a later one with its id.
        quint64 startTime = 0;
        // The processor time it has used so far, in microseconds.
        quint64 cpuTime = 0;
        // For a held process: how many times so far its cap held it back.
        quint64 timesHeldBack = 0;
    };

    enum class Verdict {
        Hold,
        LetGo,
        // A held process whose id names another process by now: it ended
        // unheard of, and the new one is watched afresh.
        Ended,
    };

    struct Change
    {
        quint32 processId = 0;
        Verdict verdict = Verdict::Hold;
        // How busy it was over its streak, in whole percent of the machine,
        // and how long the streak lasted, in whole seconds.
        unsigned percent = 0;
        unsigned seconds = 0;
    };

    explicit BusyWatch(int cpus);

    void setTerms(const Terms &terms) { m_terms = terms; }

    // Watches the process from its next sample on; one watched already
    // goes on as it was.
    void watch(quint32 processId);
    // Stops watching it: it ended, or is no target any more.
    void forget(quint32 processId);
    void clear() { processes.clear(); }
    QList<quint32> watched() const { return processes.keys(); }
    int size() const { return processes.size(); }
    bool isHeld(quint32 processId) const { return processes.value(processId).held; }

    // The rule let go of a held process by itself (its cap was lost): it is
    // watched again as not held.
    void release(quint32 processId);
    // The process in the foreground from now on (0 for none); whether it was
    // held, in which case it is let go (the caller lets go of it at once).
    bool setForeground(quint32 processId);

    // One round of samples at nowMs (a steady clock's milliseconds), of
    // watched processes; what to hold and to let go of. A watched process
    // without a sample in a round (it could not be read) is left as it was.
    QList<Change> take(qint64 nowMs, const QVector<Sample> &samples);
    // A watched process's last sample; all 0 before it has one.
    Sample lastSample(quint32 processId) const;

private:
    struct Process
    {
        bool sampled = false;
        quint64 startTime = 0;
        quint64 cpuTime = 0;
        quint64 timesHeldBack = 0;
        qint64 at = 0;
        bool held = false;
        // When the present streak (busy while not held, calm while held)
        // began, and the processor time then; -1: none runs.
        qint64 streakSince = -1;
        quint64 streakCpuTime = 0;
    };

    // Whether cpuTime microseconds over ms milliseconds reach percent of the
    // machine.
    bool reaches(quint64 cpuTime, qint64 ms, unsigned percent) const;
    // Goes on with the process's streak, or ends it when the interval does
    // not belong to one; whether it lasted seconds by now.
    static bool lasted(Process &process, bool goesOn, qint64 nowMs, unsigned seconds);
    Change change(quint32 processId, Verdict verdict, const Process &process, qint64 nowMs) const;

    const int cpus;
    Terms m_terms;
    quint32 foreground = 0;
    QHash<quint32, Process> processes;
};
