#include "ui/ProcessListModel.h"

#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>

QVariant ProcessListModel::data(const QModelIndex &index, int role) const
{
    if (role == Qt::DecorationRole) {
        // Asked afresh every time: the file may come or go while the dialog
        // is open, and the lists are short.
        const QString pattern = data(index, Qt::EditRole).toString();
        if (QFile::exists(pattern))
            return QFileIconProvider().icon(QFileInfo(pattern));
    }
    return QStringListModel::data(index, role);
}
