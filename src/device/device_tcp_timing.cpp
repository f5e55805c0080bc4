#include "device/device_tcp_timing.h"

#include "common/digest.h"

#include <algorithm>

namespace ota::backend
{

std::uint64_t staggeredStartOffsetMs(std::string_view nodeId, std::size_t position)
{
    const std::uint32_t jitter = (fnv1a32(nodeId) ^ 0x9E3779B9u) % 25u;
    return jitter + static_cast<std::uint64_t>(position / 16) * 50u;
}

std::uint64_t reconnectDelayMs(std::string_view nodeId, std::uint32_t intervalMs, std::uint32_t attempt)
{
    const std::uint32_t jitterRange = std::max<std::uint32_t>(1, intervalMs / 4);
    const std::uint64_t backoff = static_cast<std::uint64_t>(intervalMs) << std::min<std::uint32_t>(attempt, 4);
    return fnv1a32(nodeId) % jitterRange + std::min(backoff, MAX_RECONNECT_BACKOFF_MS);
}

std::uint32_t nextReconnectAttempt(std::uint32_t attempt)
{
    return attempt >= MAX_RECONNECT_ATTEMPT ? MAX_RECONNECT_ATTEMPT : attempt + 1;
}

std::uint32_t supervisorPassIntervalMs(std::size_t nodeCount)
{
    return static_cast<std::uint32_t>(std::clamp<std::size_t>(nodeCount / 4, 10, 50));
}

std::uint64_t initialStatusQueryDelayMs(std::string_view nodeId, std::uint32_t delayMs)
{
    const std::uint32_t jitterRange = std::max<std::uint32_t>(1, std::min<std::uint32_t>(delayMs / 5, 3000));
    return static_cast<std::uint64_t>(delayMs) + ((fnv1a32(nodeId) ^ 0x3C6EF372u) % jitterRange);
}

std::uint32_t statusQueryBatchPauseMs(std::uint32_t batchIndex, std::uint32_t firstNodeHash)
{
    return 15u + (((batchIndex * 0x9E3779B9u + 0xDAA66D2Bu) ^ firstNodeHash) % 15u);
}

}  // namespace ota::backend
