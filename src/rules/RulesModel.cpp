#include "rules/RulesModel.h"

#include "notifiers/KvProcessNotifier.h"
#include "platform/KvPlatformWinEvents.h"
#include "rules/Rule.h"
#include "rules/RuleOptions.h"
#include "support/KvLazySingleton.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QIcon>

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

RulesModel::RulesModel()
    : processNotifier(KvLazySingleton<KvProcessNotifier>::instance())
    , context(&governor)
{
    // The images live in a static library; make sure the linker keeps them.
    Q_INIT_RESOURCE(RulesModel);

    // The governor hears of every process start and end before any rule does,
    // so a rule evaluating an event already finds the table up to date; so
    // does the rules' shared context of every change it follows.
    connect(processNotifier, &KvProcessNotifier::started, &governor,
            &KvProcessGovernor::on_processNotifier_started);
    connect(processNotifier, &KvProcessNotifier::ended, &governor,
            &KvProcessGovernor::on_processNotifier_ended);
    connect(&networkNotifier, &KvNetworkNotifier::connectivityChanged, this,
            [this](NLM_CONNECTIVITY connectivity) { context.setConnectivity(connectivity); });
    connect(&winEventNotifier, &KvWinEventNotifier::notify, this,
            [this](KvWinEventInfo info) { context.followForegroundWindow(info.hwnd); });

    settings.beginGroup(QLatin1String(RuleOptions::rulesGroup));

    // In the store's order, each rule once.
    const QList<unsigned> stored = ruleIds();
    for (unsigned id : stored)
        ruleFor(id)->activateIfApplicable();

    winEventNotifier.addHook(KvPlatformWinEvents::EventSystemForeground);
    kvInfo(lcCorvane) << rules.size() << " rules loaded";
    connect(&settingsWatcher, &KvSettingsWatcher::changed, this, &RulesModel::followOutsideWrites);
}

void RulesModel::followOutsideWrites()
{
    // What the rules acted on so far; the watcher has reloaded the store,
    // and each rule reads it again when asked.
    QHash<unsigned, RuleSettings> before;
    for (auto it = rules.cbegin(); it != rules.cend(); ++it)
        before.insert(it.key(), it.value()->lastSettings());
    const QList<unsigned> rowsBefore = ids;
    const QList<unsigned> &rows = ruleIds();
    const bool rowsChanged = rows != rowsBefore;
    if (rowsChanged)
        beginResetModel();
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!rows.contains(it.key())) {
            // Removed: lifted first, as Remove does.
            const QSharedPointer<Rule> rule = rules.take(it.key());
            if (rule->state() != RuleState::Inactive)
                rule->deactivate();
            continue;
        }
        const QSharedPointer<Rule> rule = rules.value(it.key());
        const RuleSettings &now = rule->settings();
        if (now == it.value())
            continue;
        if (!now.enabled) {
            if (rule->state() != RuleState::Inactive)
                rule->deactivate();
        } else if (rule->state() == RuleState::Inactive) {
            rule->activateIfApplicable();
        } else {
            // An edit of a rule at work, as the rule dialog's OK applies it.
            rule->deactivate();
            rule->activateIfApplicable();
        }
        if (!rowsChanged)
            emit dataChanged(index(rowOf(it.key()), 0), index(rowOf(it.key()), ColumnCount - 1));
    }
    for (unsigned id : rows) {
        if (!before.contains(id))
            ruleFor(id)->activateIfApplicable();
    }
    if (rowsChanged)
        endResetModel();
}

RulesModel::~RulesModel() = default;

QModelIndex RulesModel::index(int row, int column, const QModelIndex &parent) const
{
    if (parent.isValid() || row < 0 || column < 0 || column >= ColumnCount)
        return QModelIndex();
    const QList<unsigned> &rows = ruleIds();
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
    if (parent.isValid())
        return 0;
    return ruleIds().size();
}

int RulesModel::columnCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent)
    return ColumnCount;
}

QVariant RulesModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::DecorationRole && role != Qt::CheckStateRole)
        return QVariant();
    if (!index.isValid())
        return QVariant();

    // Asking for a row is what brings its rule to life.
    const QSharedPointer<Rule> rule =
        const_cast<RulesModel *>(this)->ruleFor(static_cast<unsigned>(index.internalId()));

    if (index.column() == EnabledColumn && role == Qt::CheckStateRole)
        return rule->settings().enabled ? int(Qt::Checked) : int(Qt::Unchecked);
    if (index.column() == StatusColumn && role == Qt::DecorationRole)
        return statusIcon(*rule);
    if (index.column() == NameColumn && role == Qt::DisplayRole)
        return rule->settings().name;
    return QVariant();
}

bool RulesModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::CheckStateRole)
        return QAbstractItemModel::setData(index, value, role);
    if (!index.isValid())
        return false;

    const QSharedPointer<Rule> rule = ruleFor(static_cast<unsigned>(index.internalId()));
    const bool enabled = value.toBool();
    rule->options().setEnabled(enabled);
    // A rule that is already running is left as it is: activating it again
    // would apply its action a second time under a group it could not lift.
    if (enabled && rule->state() == RuleState::Inactive && rule->conditionsMet())
        rule->activate(true);
    else if (!enabled && rule->state() != RuleState::Inactive)
        rule->deactivate();

    emit dataChanged(index, index, {});
    ruleStatusChanged(index.row());
    return true;
}

QVariant RulesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section != EnabledColumn &&
        section != StatusColumn)
        return QCoreApplication::translate("RulesModel", "Name");
    return QVariant();
}

bool RulesModel::insertRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 1)
        return false;
    beginInsertRows(parent, row, row + count - 1);
    endInsertRows();
    return true;
}

bool RulesModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 1)
        return false;
    const QList<unsigned> removed = ruleIds().mid(row, count);
    if (removed.size() < count)
        return false;

    beginRemoveRows(parent, row, row + count - 1);
    // Every announced row goes, not just the first one.
    for (unsigned id : removed) {
        rules.remove(id);
        settings.remove(RuleOptions::groupName(id));
    }
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

QSharedPointer<Rule> RulesModel::ruleFor(unsigned id)
{
    const auto found = rules.constFind(id);
    if (found != rules.constEnd())
        return found.value();

    const QSharedPointer<Rule> rule(new Rule(id, &governor, &context));
    rules.insert(id, rule);
    connect(rule.data(), &Rule::statusChanged, this, [this, id] { ruleStatusChanged(rowOf(id)); });
    connect(&networkNotifier, &KvNetworkNotifier::connectivityChanged, rule.data(),
            &Rule::on_networkNotifier_connectivityChanged);
    connect(processNotifier, &KvProcessNotifier::started, rule.data(),
            &Rule::on_processNotifier_started);
    connect(processNotifier, &KvProcessNotifier::ended, rule.data(),
            &Rule::on_processNotifier_ended);
    connect(&winEventNotifier, &KvWinEventNotifier::notify, rule.data(),
            &Rule::on_winEventNotifier_notify);
    return rule;
}

unsigned RulesModel::idAt(int row) const
{
    return ruleIds().value(row);
}

int RulesModel::rowOf(unsigned id) const
{
    return ruleIds().indexOf(id);
}

void RulesModel::ruleStatusChanged(int row)
{
    // A rule whose group went from the store meanwhile has no row to repaint.
    if (row < 0 || row >= rowCount())
        return;
    const QModelIndex cell = index(row, StatusColumn);
    emit dataChanged(cell, cell, {});
}

QVariant RulesModel::statusIcon(const Rule &rule) const
{
    // Decoding an image costs more than everything else a row shows, and
    // the view asks for every row when it sizes its columns.
    const int image = statusImageOf(rule);
    if (image < 0)
        return QVariant();
    if (statusIcons[image].isNull())
        statusIcons[image] = QIcon(QLatin1String(statusImages[image]));
    return statusIcons[image];
}

const QList<unsigned> &RulesModel::ruleIds() const
{
    const quint64 writes = KvSettings::writeCount();
    if (idsRead && writes == idsWriteCount)
        return ids;
    ids.clear();
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups)
        ids.append(RuleOptions::idFromGroupName(group));
    idsRead = true;
    idsWriteCount = writes;
    return ids;
}
