#pragma once

#include "support/KvProcessWideHome.h"

// The home is the tiny shared library under processwide/, which the dynamic
// loader maps once per process whatever module links it.
class KvLinuxProcessWideHome : public KvProcessWideHome
{
public:
    bool find(const QString &name, void *&address) override;
    bool publish(const QString &name, void *address) override;
};
