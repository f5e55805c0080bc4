#include "common/clock.h"

#include <ctime>

namespace ota::backend
{

std::int64_t currentUnixMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string formatLocalTime(std::int64_t unixMs)
{
    // Floor division so that times before the epoch round towards the earlier second.
    std::int64_t seconds = unixMs / 1000;
    if (unixMs % 1000 < 0)
    {
        --seconds;
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr)
    {
        return "unknown";
    }
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &local);
    if (length == 0)
    {
        return "unknown";
    }
    return std::string(buffer, length);
}

}  // namespace ota::backend
