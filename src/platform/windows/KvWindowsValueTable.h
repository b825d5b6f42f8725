#pragma once

#include "platform/KvPlatformValueTable.h"

// The value table's home is a window class of the process.
class KvWindowsValueTable : public KvPlatformValueTable
{
public:
    bool getClassInfo(const QString &className, void *&address) override;
    bool registerClass(const QString &className, void *address) override;
};
