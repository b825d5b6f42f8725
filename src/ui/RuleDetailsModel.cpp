#include "ui/RuleDetailsModel.h"

#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QThread>

#include <cmath>

RuleDetailsModel::RuleDetailsModel(RulesEngine &engine, RuleShareHistory &history, QObject *parent)
    : QAbstractTableModel(parent)
    , engine(engine)
    , history(history)
{}

void RuleDetailsModel::setRule(unsigned id)
{
    if (id == ruleId)
        return;
    beginResetModel();
    ruleId = id;
    rows = heldRows();
    endResetModel();
}

QString RuleDetailsModel::restraintText(Restraint restraint, unsigned percent, bool busy)
{
    if (busy && restraint != Restraint::Waiting)
        return tr("busy: %1").arg(restraintText(restraint, percent));
    switch (restraint) {
    case Restraint::Limited:
        return tr("limited to %1 %").arg(percent);
    case Restraint::Sharing:
        return tr("sharing %1 %").arg(percent);
    case Restraint::Suspended:
        return tr("suspended");
    case Restraint::SuspendedTogether:
        return tr("suspended together");
    case Restraint::Waiting:
        return tr("waiting for the delay");
    }
    return QString();
}

RuleDetailsModel::Restraint RuleDetailsModel::restraintOf(const Rule &rule)
{
    const bool suspends = rule.definition().action == RuleDefinition::Action::Suspend;
    if (rule.state() == RuleState::Delayed)
        return Restraint::Waiting;
    if (rule.definition().shareLimit)
        return suspends ? Restraint::SuspendedTogether : Restraint::Sharing;
    return suspends ? Restraint::Suspended : Restraint::Limited;
}

QList<RuleDetailsModel::Row> RuleDetailsModel::heldRows()
{
    QList<Row> found;
    const Rule *live = engine.rule(ruleId);
    if (!live)
        return found;
    const QString text = restraintText(restraintOf(*live), live->definition().cpuLimit,
                                       live->definition().onlyWhenBusy);
    for (quint32 id : live->heldProcessIds()) {
        Row row;
        row.processId = id;
        row.restraint = text;
        if (const auto known = engine.governor().processes().value(id))
            row.name = known->fileInfo.fileName();
        row.colour = history.colourOf(ruleId, row.name);
        const double share = history.shareOf(id);
        if (!std::isnan(share))
            row.share = QStringLiteral("%1 %").arg(share * 100, 0, 'f', 1);
        found.append(row);
    }
    return found;
}

void RuleDetailsModel::refresh()
{
    const QList<Row> next = heldRows();
    const auto rowOf = [this](quint32 processId) {
        const auto at = std::find_if(rows.cbegin(), rows.cend(),
                                     [&](const Row &row) { return row.processId == processId; });
        return at == rows.cend() ? -1 : int(at - rows.cbegin());
    };
    for (int row = rows.size() - 1; row >= 0; --row) {
        const quint32 id = rows.at(row).processId;
        if (std::none_of(next.cbegin(), next.cend(),
                         [id](const Row &held) { return held.processId == id; })) {
            beginRemoveRows(QModelIndex(), row, row);
            rows.removeAt(row);
            endRemoveRows();
        }
    }
    for (const Row &held : next) {
        const int row = rowOf(held.processId);
        if (row < 0) {
            beginInsertRows(QModelIndex(), rows.size(), rows.size());
            rows.append(held);
            endInsertRows();
            continue;
        }
        Row &shown = rows[row];
        const bool changed[ColumnCount] = {shown.name != held.name || shown.colour != held.colour,
                                           false, shown.restraint != held.restraint,
                                           shown.share != held.share};
        shown = held;
        for (int column = 0; column < ColumnCount; ++column) {
            if (changed[column])
                emit dataChanged(index(row, column), index(row, column));
        }
    }
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
    const Row &row = rows.at(index.row());
    if (role == Qt::TextAlignmentRole)
        return index.column() == NameColumn || index.column() == RestraintColumn
                   ? int(Qt::AlignLeft | Qt::AlignVCenter)
                   : int(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::DecorationRole && index.column() == NameColumn)
        return lineColour(row.colour);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case NameColumn:
        return row.name;
    case ProcessIdColumn:
        return row.processId;
    case RestraintColumn:
        return row.restraint;
    case ShareColumn:
        return row.share;
    }
    return QVariant();
}

QVariant RuleDetailsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::ToolTipRole && section == ShareColumn)
        return tr("Over the last %1 seconds; %2")
            .arg(RuleShareHistory::shareWindow)
            .arg(scaleText());
    if (role != Qt::DisplayRole)
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

double RuleDetailsModel::cap() const
{
    const Rule *live = engine.rule(ruleId);
    if (!live || live->definition().action != RuleDefinition::Action::LimitCpu)
        return 0;
    return live->definition().cpuLimit / 100.0;
}

bool RuleDetailsModel::suspends() const
{
    const Rule *live = engine.rule(ruleId);
    return live && live->definition().action == RuleDefinition::Action::Suspend;
}

QColor RuleDetailsModel::lineColour(int colour)
{
    // Colours that stay apart for the common kinds of colour blindness.
    static const QColor colours[] = {QColor(0x00, 0x72, 0xB2), QColor(0xE6, 0x9F, 0x00),
                                     QColor(0x00, 0x9E, 0x73), QColor(0xCC, 0x79, 0xA7),
                                     QColor(0x56, 0xB4, 0xE9), QColor(0xD5, 0x5E, 0x00)};
    return colours[qMax(0, colour) % int(std::size(colours))];
}

QString RuleDetailsModel::scaleText()
{
    const int cpus = qMax(1, QThread::idealThreadCount());
    return cpus == 1 ? tr("100 % = the whole CPU") : tr("100 % = all %1 CPUs").arg(cpus);
}
