#include "ui/RuleShareHistory.h"

#include "platform/KvPlatformProcesses.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QThread>

#include <cmath>

namespace {

const double unknown = std::numeric_limits<double>::quiet_NaN();

// The share of the whole machine between the first and the last sample.
double shareOver(const QVector<QPair<quint64, qint64>> &samples, int cpus)
{
    if (samples.size() < 2)
        return unknown;
    const double elapsedUs = double(samples.last().second - samples.first().second) * 1000.0;
    if (elapsedUs <= 0)
        return unknown;
    return double(samples.last().first - samples.first().first) / elapsedUs / cpus;
}

} // namespace

RuleShareHistory::RuleShareHistory(RulesEngine &engine)
    : engine(engine)
    , cpus(qMax(1, QThread::idealThreadCount()))
{
    clock.start();
}

void RuleShareHistory::sample()
{
    sample(clock.elapsed());
}

void RuleShareHistory::sample(qint64 now)
{
    last = now;
    for (Process &process : processes)
        process.read = false;
    const QList<unsigned> &ids = engine.store().ids();
    for (unsigned id : ids)
        sampleRule(id, now);
    // What no rule holds now starts afresh if one holds it again.
    for (auto it = processes.begin(); it != processes.end();)
        it = it->read ? std::next(it) : processes.erase(it);
    for (auto it = records.begin(); it != records.end();)
        it = ids.contains(it.key()) ? std::next(it) : records.erase(it);
}

bool RuleShareHistory::read(quint32 processId, qint64 now)
{
    Process &process = processes[processId];
    if (process.read)
        return !process.samples.isEmpty();
    process.read = true;
    const KvResult<KvProcessTimes> times = KvPlatformProcesses::current().timesSince(
        processId,
        {process.startTime, process.samples.isEmpty() ? 0 : process.samples.last().first});
    if (!times || times.value().startTime != process.startTime)
        process.samples.clear();
    if (!times)
        return false;
    process.startTime = times.value().startTime;
    process.samples.append({times.value().cpuTime, now});
    if (process.samples.size() > shareWindow + 1)
        process.samples.removeFirst();
    process.share = shareOver(process.samples, cpus);
    return true;
}

void RuleShareHistory::sampleRule(unsigned id, qint64 now)
{
    const Rule *rule = engine.rule(id);
    const QList<quint32> held = rule ? rule->heldProcessIds() : QList<quint32>();
    auto found = records.find(id);
    if (found == records.end() && held.isEmpty())
        return;
    if (found == records.end())
        found = records.insert(id, Record());
    Record &record = *found;
    for (Line &line : record.lines)
        line.held = false;
    double total = unknown;
    for (quint32 processId : held) {
        if (!read(processId, now))
            continue; // ended
        const Process &process = processes[processId];
        auto line = std::find_if(record.lines.begin(), record.lines.end(), [&](const Line &line) {
            return line.processId == processId && line.startTime == process.startTime;
        });
        if (line == record.lines.end()) {
            const auto known = engine.governor().processes().value(processId);
            line = record.lines.insert(record.lines.end(), Line());
            line->processId = processId;
            line->startTime = process.startTime;
            line->name = known ? known->fileInfo.fileName() : QString();
            record.colours.insert(line->name,
                                  record.colours.value(line->name, record.colours.size()));
        }
        line->held = true;
        line->points.append({now, process.share});
        if (!std::isnan(process.share))
            total = (std::isnan(total) ? 0 : total) + process.share;
    }
    record.ticks.append({now, rule ? rule->state() : RuleState::Inactive,
                         rule && rule->definition().shareLimit ? total : unknown});

    // A minute back, and no further.
    const qint64 oldest = now - span;
    const auto old = [oldest](const auto &item) { return item.at < oldest; };
    record.ticks.erase(record.ticks.begin(),
                       std::find_if_not(record.ticks.begin(), record.ticks.end(), old));
    for (auto line = record.lines.begin(); line != record.lines.end();) {
        line->points.erase(line->points.begin(),
                           std::find_if_not(line->points.begin(), line->points.end(), old));
        const bool seen = std::any_of(line->points.cbegin(), line->points.cend(),
                                      [](const Point &point) { return !std::isnan(point.share); });
        line = line->held || seen ? std::next(line) : record.lines.erase(line);
    }
    if (record.lines.isEmpty() && held.isEmpty())
        records.erase(found);
}

const RuleShareHistory::Record *RuleShareHistory::record(unsigned id) const
{
    const auto found = records.constFind(id);
    return found == records.constEnd() ? nullptr : &*found;
}

int RuleShareHistory::colourOf(unsigned id, const QString &name)
{
    QHash<QString, int> &colours = records[id].colours;
    return *colours.insert(name, colours.value(name, colours.size()));
}

double RuleShareHistory::shareOf(quint32 processId) const
{
    const auto found = processes.constFind(processId);
    return found == processes.constEnd() || found->samples.isEmpty() ? unknown : found->share;
}
