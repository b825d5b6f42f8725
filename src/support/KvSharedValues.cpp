#include "support/KvSharedValues.h"

#include "support/KvProcessWideHome.h"

namespace {

// Module-local on purpose: each module caches what it found.
KvSharedValueTable *cachedTable = nullptr;

} // namespace

QString sharedValueTableClassName()
{
    return QStringLiteral("{23068E33-03FF-4AA7-9D5A-DDD99A6DCBB8}");
}

KvSharedValueTable *locateSharedValueTable(KvProcessWideHome &home)
{
    void *published = nullptr;
    if (home.find(sharedValueTableClassName(), published) && published)
        return static_cast<KvSharedValueTable *>(published);

    // Never freed: other modules may hold its address until the process ends.
    auto *table = new KvSharedValueTable;
    // A failed registration leaves the table private to this module, which
    // still works for everything this module does.
    home.publish(sharedValueTableClassName(), table);
    return table;
}

KvSharedValueTable &sharedValues()
{
    if (!cachedTable)
        cachedTable = locateSharedValueTable(KvProcessWideHome::current());
    return *cachedTable;
}

QVariant sharedValue(const QString &name)
{
    const KvSharedValueTable &table = sharedValues();
    return table.value(name);
}

void setSharedValue(const QString &name, const QVariant &value)
{
    sharedValues().insert(name, value);
}
