#include "ui/RuleDetailsModel.h"

#include "platform/KvPlatformProcesses.h"
#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QThread>

#include <cmath>
#include <limits>

RuleDetailsModel::RuleDetailsModel(RulesEngine &engine, QObject *parent)
    : QAbstractTableModel(parent)
    , engine(engine)
{
    clock.start();
    connect(&engine, &RulesEngine::ruleStatusChanged, this, &RuleDetailsModel::followRule);
}

void RuleDetailsModel::setRule(unsigned id)
{
    if (id == ruleId)
        return;
    beginResetModel();
    ruleId = id;
    rows.clear();
    changes.clear();
    const Rule *live = engine.rule(id);
    wasActive = live && live->state() == RuleState::Active;
    endResetModel();
    sample();
}

void RuleDetailsModel::followRule(unsigned id)
{
    const Rule *live = engine.rule(id);
    const bool active = live && live->state() == RuleState::Active;
    if (id != ruleId || active == wasActive)
        return;
    wasActive = active;
    changes.append({sampleCount, active});
}

QList<RuleDetailsModel::Process> RuleDetailsModel::held() const
{
    QList<Process> found;
    const Rule *live = engine.rule(ruleId);
    if (!live)
        return found;
    const RuleDefinition &rule = live->definition();
    const bool waiting = live->state() == RuleState::Delayed;
    const bool suspends = rule.action == RuleDefinition::Action::Suspend;
    const QString restraint = waiting           ? tr("waiting for the delay")
                              : rule.shareLimit ? (suspends ? tr("suspended together")
                                                            : tr("sharing %1 %").arg(rule.cpuLimit))
                              : suspends        ? tr("suspended")
                                                : tr("limited to %1 %").arg(rule.cpuLimit);
    for (quint32 id : live->heldProcessIds()) {
        Process process;
        process.processId = id;
        process.restraint = restraint;
        if (const auto known = engine.governor().processes().value(id))
            process.name = known->fileInfo.fileName();
        found.append(process);
    }
    return found;
}

double RuleDetailsModel::shareOver(const QVector<QPair<quint64, qint64>> &samples, int window)
{
    if (samples.size() < 2)
        return std::numeric_limits<double>::quiet_NaN();
    const auto &first = samples.at(qMax(0, samples.size() - 1 - window));
    const auto &last = samples.last();
    const double elapsedUs = double(last.second - first.second) * 1000.0;
    if (elapsedUs <= 0)
        return std::numeric_limits<double>::quiet_NaN();
    const int cpus = qMax(1, QThread::idealThreadCount());
    return double(last.first - first.first) / elapsedUs / cpus;
}

void RuleDetailsModel::sample()
{
    sample(clock.elapsed());
}

void RuleDetailsModel::sample(qint64 now)
{
    ++sampleCount;
    QList<Process> next = held();
    for (Process &process : next) {
        const KvResult<KvProcessTimes> times =
            KvPlatformProcesses::current().times(process.processId);
        if (!times)
            continue;
        process.startTime = times.value().startTime;
        // What was seen of the same process before; a later one with the id
        // starts afresh.
        for (const Process &old : qAsConst(rows)) {
            if (old.processId == process.processId && old.startTime == process.startTime) {
                process.samples = old.samples;
                process.history = old.history;
            }
        }
        process.samples.append({times.value().cpuTime, now});
        if (process.samples.size() > shareWindow + 1)
            process.samples.removeFirst();
        process.history.append(shareOver(process.samples, shareWindow));
        if (process.history.size() > historyLength)
            process.history.removeFirst();
    }
    // The ended ones go (a row that no longer reads), the others follow.
    next.erase(std::remove_if(next.begin(), next.end(),
                              [](const Process &process) { return process.samples.isEmpty(); }),
               next.end());
    for (int row = rows.size() - 1; row >= 0; --row) {
        const bool kept = std::any_of(next.cbegin(), next.cend(), [&](const Process &process) {
            return process.processId == rows.at(row).processId &&
                   process.startTime == rows.at(row).startTime;
        });
        if (!kept) {
            beginRemoveRows(QModelIndex(), row, row);
            rows.removeAt(row);
            endRemoveRows();
        }
    }
    for (const Process &process : qAsConst(next)) {
        const auto at = std::find_if(rows.begin(), rows.end(), [&](const Process &row) {
            return row.processId == process.processId && row.startTime == process.startTime;
        });
        if (at != rows.end()) {
            *at = process;
            continue;
        }
        beginInsertRows(QModelIndex(), rows.size(), rows.size());
        rows.append(process);
        endInsertRows();
    }
    if (!rows.isEmpty())
        emit dataChanged(index(0, 0), index(rows.size() - 1, ColumnCount - 1));
    while (!changes.isEmpty() && sampleCount - changes.first().first >= historyLength)
        changes.removeFirst();
}

int RuleDetailsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int RuleDetailsModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RuleDetailsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rows.size())
        return QVariant();
    const Process &process = rows.at(index.row());
    if (role == Qt::TextAlignmentRole)
        return index.column() == NameColumn || index.column() == RestraintColumn
                   ? int(Qt::AlignLeft | Qt::AlignVCenter)
                   : int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case NameColumn:
        return process.name;
    case ProcessIdColumn:
        return process.processId;
    case RestraintColumn:
        return process.restraint;
    case ShareColumn: {
        const double share = process.history.isEmpty() ? NAN : process.history.last();
        return std::isnan(share) ? QString() : QStringLiteral("%1 %").arg(share * 100, 0, 'f', 1);
    }
    }
    return QVariant();
}

QVariant RuleDetailsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case NameColumn:
        return tr("Process");
    case ProcessIdColumn:
        return tr("Id");
    case RestraintColumn:
        return tr("Restraint");
    case ShareColumn:
        return tr("Share of the machine");
    }
    return QVariant();
}

QVector<double> RuleDetailsModel::history(int row) const
{
    QVector<double> shares(historyLength, std::numeric_limits<double>::quiet_NaN());
    const QVector<double> &seen = rows.value(row).history;
    std::copy(seen.cbegin(), seen.cend(), shares.end() - seen.size());
    return shares;
}

QVector<double> RuleDetailsModel::total() const
{
    const Rule *live = engine.rule(ruleId);
    if (!live || !live->definition().shareLimit || rows.isEmpty())
        return {};
    QVector<double> sum(historyLength, std::numeric_limits<double>::quiet_NaN());
    for (int row = 0; row < rows.size(); ++row) {
        const QVector<double> shares = history(row);
        for (int i = 0; i < historyLength; ++i) {
            if (!std::isnan(shares.at(i)))
                sum[i] = (std::isnan(sum.at(i)) ? 0 : sum.at(i)) + shares.at(i);
        }
    }
    return sum;
}

double RuleDetailsModel::cap() const
{
    const Rule *live = engine.rule(ruleId);
    if (!live || live->definition().action != RuleDefinition::Action::LimitCpu)
        return 0;
    return live->definition().cpuLimit / 100.0;
}

QList<QPair<int, bool>> RuleDetailsModel::activations() const
{
    QList<QPair<int, bool>> marks;
    for (const auto &change : changes)
        marks.append({sampleCount - change.first, change.second});
    return marks;
}
