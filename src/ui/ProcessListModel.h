#pragma once

#include <QStringListModel>

// The process patterns of one list of the rule dialog, one per row. A
// pattern that names an existing file shows that file's icon, so the user
// sees at a glance which patterns are full paths of real programs.
class ProcessListModel : public QStringListModel
{
    Q_OBJECT

public:
    using QStringListModel::QStringListModel;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
};
