#pragma once

#include "support/KvProcessWideHome.h"

// The home is a window class of the process: GetClassInfoExW finds it by
// name, and its window-procedure field carries the address.
class KvWindowsProcessWideHome : public KvProcessWideHome
{
public:
    bool find(const QString &name, void *&address) override;
    bool publish(const QString &name, void *address) override;
};
