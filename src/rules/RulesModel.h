#pragma once

#include "notifiers/KvNetworkNotifier.h"
#include "notifiers/KvWinEventNotifier.h"
#include "process/KvProcessGovernor.h"
#include "rules/KvSettings.h"
#include "rules/KvSettingsWatcher.h"
#include "rules/RuleContext.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QSharedPointer>

class KvProcessNotifier;
class Rule;

// The rules list of the main window and, at the same time, the owner of the
// rules engine: the notifiers, the governor and one live Rule per stored
// rule, to which it fans out every system event.
//
// The rows are the rule groups of the settings store, in the store's order.
// The model keeps the list it read and reads it again only when the store
// has been written since (KvSettings::writeCount()), so whatever the rule
// dialog writes shows up without a refresh. A live Rule is made the first
// time its id is needed. What other processes write into the store (a
// second copy, a hand edit) is followed as the window's own changes are.
//
// Columns: 0 the enabled check box, 1 the status icon, 2 the name. The
// internal id of an index is the rule id of its row.
class RulesModel : public QAbstractItemModel
{
public:
    RulesModel();
    // Every active rule lifts its restrictions while the governor is still
    // there.
    ~RulesModel() override;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // Handles the check box: stores "enabled" and activates or deactivates
    // the rule at once.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Only announces rows: whoever calls it has already written the rules'
    // groups to the store.
    bool insertRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    // Forgets the rules of the rows and deletes their groups from the store.
    // Callers deactivate the rules first.
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // The live rule of an id, created (Inactive, not evaluated) when absent.
    QSharedPointer<Rule> ruleFor(unsigned id);
    // The id of the rule group at a row; 0 for a row that is not there or a
    // group name that is no braced hexadecimal number.
    unsigned idAt(int row) const;

    // The row of the rule with this id: the position of its group among the
    // child groups of "rules", in store order. -1 when the store no longer
    // holds the group (for example after it was removed elsewhere).
    int rowOf(unsigned id) const;
    // Announces the change of the status cell of a row that is still there.
    void ruleStatusChanged(int row);

    // The governor the rules act through; for tests and diagnostics.
    const KvProcessGovernor &processGovernor() const { return governor; }
    KvProcessGovernor &processGovernor() { return governor; }

private:
    // Brings the live rules in line with what another process wrote into the
    // store: as the same changes made in the window would.
    void followOutsideWrites();
    // The rule ids of the rows.
    const QList<unsigned> &ruleIds() const;
    QVariant statusIcon(const Rule &rule) const;

    // Made first: the process events are subscribed to before the governor
    // lists the running processes, so that no process ends unseen between.
    KvProcessNotifier *const processNotifier;
    KvNetworkNotifier networkNotifier;
    KvProcessGovernor governor;
    KvWinEventNotifier winEventNotifier;
    // Shared by every rule; follows the notifiers before any rule does.
    RuleContext context;
    QHash<unsigned, QSharedPointer<Rule>> rules;
    // Stays in the group "rules" for its whole life.
    KvSettings settings;
    KvSettingsWatcher settingsWatcher;
    // The status images, loaded once each.
    mutable QIcon statusIcons[4];
    mutable QList<unsigned> ids;
    mutable bool idsRead = false;
    mutable quint64 idsWriteCount = 0;
};
