#pragma once

#include "platform/KvPlatformValueTable.h"

// Names registered with the process-wide registry library, which the dynamic
// loader maps once per process however many modules link it.
class KvLinuxValueTable : public KvPlatformValueTable
{
public:
    bool getClassInfo(const QString &className, void *&address) override;
    bool registerClass(const QString &className, void *address) override;
};
