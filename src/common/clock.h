#pragma once

#include <chrono>
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

}  // namespace ota::backend
