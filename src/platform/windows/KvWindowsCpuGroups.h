#pragma once

#include "platform/KvPlatformCpuGroups.h"

// CPU caps as job objects. Windows nests the jobs of several copies itself.
class KvWindowsCpuGroups : public KvPlatformCpuGroups
{
public:
    KvResult<std::unique_ptr<KvCpuGroup>> create(bool shared) override;
    KvStatus available() override;
    KvResult<QList<KvLeftoverGroup>> removeLeftovers() override;
};
