#pragma once

#include <cstdint>

namespace ota::backend
{

// Timing options of a device TCP manager run; checked by start.
struct S_DeviceTcpOptions
{
    std::int32_t connectTimeoutMs = 5000;            // > 0
    std::uint32_t reconnectIntervalMs = 5000;        // >= 100
    std::uint32_t initialStatusQueryDelayMs = 3000;  // >= 100
    std::uint32_t statusReplyTimeoutMs = 5000;       // >= 100
    std::int32_t keepAliveIdleSeconds = 30;          // > 0
};

bool areDeviceTcpOptionsValid(const S_DeviceTcpOptions& options);

}  // namespace ota::backend
