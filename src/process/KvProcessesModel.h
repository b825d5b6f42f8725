#pragma once

#include "process/KvProcessInfo.h"

#include <QAbstractItemModel>
#include <QList>

// The running processes as a three-column table (name with icon, id, full
// path), taken from one snapshot when the model is made. A fresh list needs
// a fresh model. Processes without a resolvable path are left out: a pattern
// made from them would match nothing useful.
//
// No meta-object of its own, so the header texts are translated in
// QAbstractItemModel's context.
class KvProcessesModel : public QAbstractItemModel
{
public:
    explicit KvProcessesModel(QObject *parent = nullptr);
    ~KvProcessesModel() override;

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    QList<KvProcessInfo> processes;
};
