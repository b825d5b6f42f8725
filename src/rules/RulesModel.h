#pragma once

#include <QAbstractItemModel>
#include <QIcon>

class RulesEngine;
class Rule;

// The rules list of the main window: a view of the rules engine's stored
// rules, in the store's order, with the state of each live rule.
//
// Columns: 0 the enabled check box, 1 the status icon, 2 the name. The
// internal id of an index is the rule id of its row.
class RulesModel : public QAbstractItemModel
{
public:
    explicit RulesModel(RulesEngine &engine, QObject *parent = nullptr);
    ~RulesModel() override;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    // Handles the check box: switches the rule on or off at once.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // Deletes the rules of the rows from the store, which lifts whatever
    // they restrain first.
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // The id of the rule at a row; 0 for a row that is not there.
    unsigned idAt(int row) const;
    // The row of the rule with this id; -1 when the store does not hold it.
    int rowOf(unsigned id) const;

private:
    void announceRule(unsigned id);
    QVariant statusIcon(const Rule *rule) const;

    RulesEngine &engine;
    // Removals of our own are announced as such, not as a new list.
    bool removing = false;
    // The status images, loaded once each.
    mutable QIcon statusIcons[4];
};
