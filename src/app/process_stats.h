#pragma once

#include <cstdint>

namespace ota::backend
{

// The standard process figures of the metrics endpoint, read from /proc/self. A figure that
// cannot be read is 0.
struct S_ProcessStats
{
    double cpuSeconds = 0;  // user and system time
    std::uint64_t residentBytes = 0;
    std::uint64_t openFds = 0;
    double startTimeSeconds = 0;  // Unix time the process started
};

S_ProcessStats readProcessStats();

}  // namespace ota::backend
