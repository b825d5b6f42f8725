#include "process/KvProcessesModel.h"


#include <QDir>
#include <QFileIconProvider>

#include <functional>
#include <vector>

namespace {

struct Getter
{
    int column;
    int role;
    std::function<QVariant(const KvProcessInfo *)> get;
};

// The cells the model answers; the first entry matching both column and
// role gives the value, and anything unlisted is an invalid QVariant.
const std::vector<Getter> &getters()
{
    static const std::vector<Getter> table{
        {0, Qt::DisplayRole,
         [](const KvProcessInfo *process) { return QVariant(process->fileInfo.fileName()); }},
        {0, Qt::DecorationRole,
         [](const KvProcessInfo *process) {
             return QVariant(QFileIconProvider().icon(process->fileInfo));
         }},
        {1, Qt::DisplayRole,
         [](const KvProcessInfo *process) {
             return QVariant(static_cast<unsigned int>(process->processId));
         }},
        {2, Qt::DisplayRole,
         [](const KvProcessInfo *process) {
             return QVariant(QDir::toNativeSeparators(process->fileInfo.filePath()));
         }},
    };
    return table;
}

} // namespace

KvProcessesModel::KvProcessesModel(QObject *parent)
    : QAbstractItemModel(parent)
{
    // Without a full path a pattern made from a process would match nothing
    // useful.
    for (const KvProcessInfo &process : KvProcessInfo::running()) {
        if (process.hasResolvedPath())
            processes.append(process);
    }
}

KvProcessesModel::~KvProcessesModel() = default;

QModelIndex KvProcessesModel::index(int row, int column, const QModelIndex &) const
{
    return createIndex(row, column);
}

QModelIndex KvProcessesModel::parent(const QModelIndex &) const
{
    return QModelIndex();
}

int KvProcessesModel::rowCount(const QModelIndex &) const
{
    return processes.size();
}

int KvProcessesModel::columnCount(const QModelIndex &) const
{
    return 3;
}

QVariant KvProcessesModel::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::DecorationRole)
        return QVariant();
    // Views only ask for rows they were told about; anything else is a
    // stale or foreign index and must not read past the list.
    if (!index.isValid() || index.row() < 0 || index.row() >= processes.size())
        return QVariant();
    const KvProcessInfo &process = processes.at(index.row());
    for (const Getter &getter : getters()) {
        if (getter.column == index.column() && getter.role == role)
            return getter.get(&process);
    }
    return QVariant();
}

QVariant KvProcessesModel::headerData(int section, Qt::Orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case 0:
        return tr("Name");
    case 1:
        return QStringLiteral("#");
    default:
        return tr("Filepath");
    }
}
