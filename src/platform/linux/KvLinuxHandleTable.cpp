#include "platform/linux/KvLinuxHandleTable.h"

#include <QMutexLocker>

KvLinuxHandleTable &KvLinuxHandleTable::instance()
{
    static KvLinuxHandleTable table;
    return table;
}

HANDLE KvLinuxHandleTable::add(std::unique_ptr<KvLinuxHandleObject> object)
{
    QMutexLocker locker(&mutex);
    const quintptr value = nextValue;
    nextValue += 4;
    objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

bool KvLinuxHandleTable::close(HANDLE handle)
{
    std::unique_ptr<KvLinuxHandleObject> closing;
    {
        QMutexLocker locker(&mutex);
        auto it = objects.find(reinterpret_cast<quintptr>(handle));
        if (it == objects.end())
            return false;
        closing = std::move(it->second);
        objects.erase(it);
    }
    // Destroyed outside the lock: releasing a job may close further handles.
    closing.reset();
    return true;
}

int KvLinuxHandleTable::size() const
{
    QMutexLocker locker(&mutex);
    return int(objects.size());
}

KvLinuxHandleObject *KvLinuxHandleTable::find(HANDLE handle)
{
    QMutexLocker locker(&mutex);
    auto it = objects.find(reinterpret_cast<quintptr>(handle));
    return it == objects.end() ? nullptr : it->second.get();
}
