#include "platform/linux/KvLinuxValueTable.h"

#include "platform/linux/processwide/KvProcessWideRegistry.h"

bool KvLinuxValueTable::getClassInfo(const QString &className, void *&address)
{
    void *found = nullptr;
    if (!kvProcessWideFind(className.toUtf8().constData(), &found))
        return false;
    address = found;
    return true;
}

bool KvLinuxValueTable::registerClass(const QString &className, void *address)
{
    return kvProcessWideRegister(className.toUtf8().constData(), address) != 0;
}

KvPlatformValueTable *KvPlatformValueTable::native()
{
    static KvLinuxValueTable backend;
    return &backend;
}
