#pragma once

// The CPU cap of a job object, as JOBOBJECT_CPU_RATE_CONTROL_INFORMATION
// carries it. Plain C++ without the system's headers, so that every build
// compiles and tests it.

#include <cstdint>
#include <optional>

struct KvJobCpuRate
{
    static constexpr std::uint32_t enable = 0x1;  // JOB_OBJECT_CPU_RATE_CONTROL_ENABLE
    static constexpr std::uint32_t hardCap = 0x4; // JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP
    // Every CPU, fully.
    static constexpr std::uint32_t wholeMachine = 10000;

    std::uint32_t controlFlags = 0;
    // Hundredths of a percent of the whole machine's processor time.
    std::uint32_t cpuRate = 0;

    // A hard cap at rate; none outside 1..wholeMachine, which the kernel
    // refuses. A lift is the cap at wholeMachine.
    static std::optional<KvJobCpuRate> hardCapAt(std::uint32_t rate);
};
