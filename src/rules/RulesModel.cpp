#include "rules/RulesModel.h"

#include "rules/Rule.h"
#include "rules/RuleStatusText.h"
#include "rules/RulesEngine.h"

#include <QCoreApplication>

namespace {

enum Column { EnabledColumn = 0, StatusColumn = 1, NameColumn = 2, ColumnCount = 3 };

// The image of each status; see statusIcon().
const char *const statusImages[] = {
    ":/resources/images/status/inactive.png", ":/resources/images/status/activenotrestricting.png",
    ":/resources/images/status/activerestricting.png", ":/resources/images/status/delayed.png"};

int statusImageOf(const Rule &rule)
{
    switch (rule.state()) {
    case RuleState::Inactive:
        return 0;
    case RuleState::Active:
        return rule.restrictedProcessIds().isEmpty() ? 1 : 2;
    case RuleState::Delayed:
        return 3;
    }
    return -1;
}

} // namespace

RulesModel::RulesModel(RulesEngine &engine, QObject *parent)
    : QAbstractItemModel(parent)
    , engine(engine)
{
    // The images live in a static library; make sure the linker keeps them.
    Q_INIT_RESOURCE(RulesModel);
    connect(&engine, &RulesEngine::ruleStatusChanged, this, &RulesModel::announceRule);
    connect(&engine.store(), &RuleStore::listChanged, this, [this] {
        if (removing)
            return;
        beginResetModel();
        endResetModel();
    });
}

RulesModel::~RulesModel() = default;

QModelIndex RulesModel::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || column >= ColumnCount)
        return QModelIndex();
    const QList<unsigned> &rows = engine.store().ids();
    if (row >= rows.size())
        return QModelIndex();
    return createIndex(row, column, rows.at(row));
}

QModelIndex RulesModel::parent(const QModelIndex &index) const
{
    Q_UNUSED(index)
    return QModelIndex();
}

int RulesModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : engine.store().ids().size();
}

int RulesModel::columnCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent)
    return ColumnCount;
}

QVariant RulesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return QVariant();
    const unsigned id = unsigned(index.internalId());
    const RuleDefinition *definition = engine.store().definition(id);
    if (!definition)
        return QVariant();
    if (index.column() == EnabledColumn && role == Qt::CheckStateRole)
        return definition->enabled ? int(Qt::Checked) : int(Qt::Unchecked);
    if (index.column() == StatusColumn && role == Qt::DecorationRole)
        return statusIcon(engine.rule(id));
    if (index.column() == StatusColumn && role == Qt::ToolTipRole)
        return RuleStatusText::tooltip(engine, id);
    if (index.column() == NameColumn && role == Qt::DisplayRole)
        return definition->name;
    return QVariant();
}

bool RulesModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole)
        return QAbstractItemModel::setData(index, value, role);
    if (!index.isValid())
        return false;
    engine.store().setEnabled(unsigned(index.internalId()), value.toBool());
    return true;
}

QVariant RulesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section != EnabledColumn &&
        section != StatusColumn)
        return QCoreApplication::translate("RulesModel", "Name");
    return QVariant();
}

bool RulesModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 1)
        return false;
    const QList<unsigned> removed = engine.store().ids().mid(row, count);
    if (removed.size() < count)
        return false;
    beginRemoveRows(parent, row, row + count - 1);
    removing = true;
    // Every announced row goes, not just the first one.
    for (unsigned id : removed)
        engine.store().remove(id);
    removing = false;
    endRemoveRows();
    return true;
}

Qt::ItemFlags RulesModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags result = QAbstractItemModel::flags(index);
    if (index.column() == EnabledColumn)
        result |= Qt::ItemIsUserCheckable;
    return result;
}

unsigned RulesModel::idAt(int row) const
{
    return engine.store().ids().value(row);
}

int RulesModel::rowOf(unsigned id) const
{
    return engine.store().ids().indexOf(id);
}

void RulesModel::announceRule(unsigned id)
{
    // A rule whose group went from the store meanwhile has no row to repaint.
    const int row = rowOf(id);
    if (row >= 0)
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

QVariant RulesModel::statusIcon(const Rule *rule) const
{
    // Decoding an image costs more than everything else a row shows, and
    // the view asks for every row when it sizes its columns.
    const int image = rule ? statusImageOf(*rule) : -1;
    if (image < 0)
        return QVariant();
    if (statusIcons[image].isNull())
        statusIcons[image] = QIcon(QLatin1String(statusImages[image]));
    return statusIcons[image];
}
