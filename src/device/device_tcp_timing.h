#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ota::backend
{

// Connection storms are spread with fixed per-node jitter taken from the FNV-1a-32 of the node id,
// so a restart of the backend or of the whole site never hits every device at the same instant.

inline constexpr std::uint32_t MAX_RECONNECT_ATTEMPT = 32;
inline constexpr std::uint64_t MAX_RECONNECT_BACKOFF_MS = 60000;

// Offset of the first connect from start: groups of 16 nodes 50 ms apart, 0..24 ms jitter each.
std::uint64_t staggeredStartOffsetMs(std::string_view nodeId, std::size_t position);

// Wait before the next connect after `attempt` consecutive failures: capped exponential back-off
// plus a jitter below intervalMs / 4.
std::uint64_t reconnectDelayMs(std::string_view nodeId, std::uint32_t intervalMs, std::uint32_t attempt);
std::uint32_t nextReconnectAttempt(std::uint32_t attempt);

// Wait from TCP connect to the fallback MSG_QUERY_STATUS of a still unverified connection.
std::uint64_t initialStatusQueryDelayMs(std::string_view nodeId, std::uint32_t delayMs);

// Time between two passes of the supervisor over `nodeCount` nodes (due connects, reply timeouts,
// first status queries): a pass looks at every node, so its interval grows with the site, keeping
// the supervisor's work per second the same from 40 nodes up; a small site's devices are reconnected
// and queried within 10 ms of their due time rather than up to 50 ms late.
std::uint32_t supervisorPassIntervalMs(std::size_t nodeCount);

// Pause after whole-site status query batch `batchIndex` whose first node id hashes to firstNodeHash.
std::uint32_t statusQueryBatchPauseMs(std::uint32_t batchIndex, std::uint32_t firstNodeHash);

}  // namespace ota::backend
