#include "rules/BusyWatch.h"

#include <QtMath>

namespace {

// Samples come about a second apart, now a little early, now a little late:
// a streak of nine samples' intervals that falls short of nine seconds by a
// few milliseconds has lasted nine seconds.
const qint64 slackMs = 500;

} // namespace

BusyWatch::BusyWatch(int cpus)
    : cpus(qMax(1, cpus))
{}

void BusyWatch::watch(quint32 processId)
{
    if (!processes.contains(processId))
        processes.insert(processId, Process());
}

void BusyWatch::forget(quint32 processId)
{
    processes.remove(processId);
}

void BusyWatch::release(quint32 processId)
{
    const auto found = processes.find(processId);
    if (found == processes.end())
        return;
    found->held = false;
    found->streakSince = -1;
}

bool BusyWatch::setForeground(quint32 processId)
{
    foreground = processId;
    const auto found = processes.find(processId);
    if (found == processes.end())
        return false;
    const bool wasHeld = found->held;
    release(processId);
    return wasHeld;
}

bool BusyWatch::reaches(quint64 cpuTime, qint64 ms, unsigned percent) const
{
    // In whole numbers: a process exactly at the threshold reaches it.
    return cpuTime * 100 >= quint64(percent) * quint64(ms) * 1000 * quint64(cpus);
}

bool BusyWatch::lasted(Process &process, bool goesOn, qint64 nowMs, unsigned seconds)
{
    if (!goesOn) {
        process.streakSince = -1;
        return false;
    }
    return nowMs - process.streakSince >= qint64(seconds) * 1000 - slackMs;
}

BusyWatch::Change BusyWatch::change(quint32 processId, Verdict verdict, const Process &process,
                                    qint64 nowMs) const
{
    const qint64 ms = nowMs - process.streakSince;
    const double share =
        double(process.cpuTime - process.streakCpuTime) * 100 / (double(ms) * 1000 * cpus);
    return {processId, verdict, unsigned(qRound(share)), unsigned(qRound(ms / 1000.0))};
}

BusyWatch::Sample BusyWatch::lastSample(quint32 processId) const
{
    const auto found = processes.constFind(processId);
    if (found == processes.cend() || !found->sampled)
        return {};
    return {processId, found->startTime, found->cpuTime, found->timesHeldBack};
}

QList<BusyWatch::Change> BusyWatch::take(qint64 nowMs, const QVector<Sample> &samples)
{
    QList<Change> changes;
    for (const Sample &sample : samples) {
        const auto found = processes.find(sample.processId);
        if (found == processes.end())
            continue;
        Process &process = *found;
        if (process.sampled && process.startTime != sample.startTime) {
            if (process.held)
                changes.append({sample.processId, Verdict::Ended, 0, 0});
            process = Process();
        }
        const Process last = process;
        process.sampled = true;
        process.startTime = sample.startTime;
        process.cpuTime = sample.cpuTime;
        process.timesHeldBack = sample.timesHeldBack;
        process.at = nowMs;
        if (!last.sampled || nowMs <= last.at)
            continue;
        if (sample.processId == foreground) {
            process.streakSince = -1;
            continue;
        }
        const quint64 used = sample.cpuTime > last.cpuTime ? sample.cpuTime - last.cpuTime : 0;
        const qint64 ms = nowMs - last.at;
        if (process.streakSince < 0) {
            process.streakSince = last.at;
            process.streakCpuTime = last.cpuTime;
        }
        if (!process.held) {
            if (!lasted(process, reaches(used, ms, m_terms.busyPercent), nowMs,
                        m_terms.busySeconds))
                continue;
            changes.append(change(sample.processId, Verdict::Hold, process, nowMs));
        } else {
            const unsigned allowed = m_terms.capPercent ? m_terms.capPercent : m_terms.busyPercent;
            const bool calm =
                !reaches(2 * used, ms, allowed) && sample.timesHeldBack == last.timesHeldBack;
            if (!lasted(process, calm, nowMs, m_terms.calmSeconds))
                continue;
            changes.append(change(sample.processId, Verdict::LetGo, process, nowMs));
        }
        process.held = !process.held;
        process.streakSince = -1;
    }
    return changes;
}
