#include "platform/windows/KvJobCpuRate.h"

std::optional<KvJobCpuRate> KvJobCpuRate::hardCapAt(std::uint32_t rate)
{
    if (rate == 0 || rate > wholeMachine)
        return std::nullopt;
    return KvJobCpuRate{enable | hardCap, rate};
}
