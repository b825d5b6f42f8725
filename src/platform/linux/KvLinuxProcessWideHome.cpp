#include "platform/linux/KvLinuxProcessWideHome.h"

#include "platform/linux/processwide/KvProcessWideRegistry.h"

bool KvLinuxProcessWideHome::find(const QString &name, void *&address)
{
    void *found = nullptr;
    if (!kvProcessWideFind(name.toUtf8().constData(), &found))
        return false;
    address = found;
    return true;
}

bool KvLinuxProcessWideHome::publish(const QString &name, void *address)
{
    return kvProcessWideRegister(name.toUtf8().constData(), address) != 0;
}

KvProcessWideHome *KvProcessWideHome::native()
{
    static KvLinuxProcessWideHome backend;
    return &backend;
}
