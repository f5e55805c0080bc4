#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace ota::backend
{

// Wall-clock milliseconds since the Unix epoch: every time in JSON and in the database.
std::int64_t currentUnixMs();

// Local time "%Y-%m-%d %H:%M:%S" of a Unix millisecond value; "unknown" when it cannot be converted.
std::string formatLocalTime(std::int64_t unixMs);

// Deadlines and waits use the monotonic clock.
using SteadyClock = std::chrono::steady_clock;

// The time `bytes` take at `bytesPerSecond` (> 0): how far apart large documents are spaced.
inline SteadyClock::duration timeAtRate(std::size_t bytes, std::size_t bytesPerSecond)
{
    return std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(bytesPerSecond)));
}

}  // namespace ota::backend
