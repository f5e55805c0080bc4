#pragma once

#include "app/backend_config.h"

#include <cstdint>
#include <string>

namespace ota::backend
{

// The device connection figures of the health report; all zero while no device manager runs.
struct S_DeviceTcpHealth
{
    bool running = false;
    std::uint64_t deviceCount = 0;
    std::uint64_t pendingDeviceCount = 0;
    std::uint64_t connectingDeviceCount = 0;
    std::uint64_t connectedDeviceCount = 0;
    std::uint64_t disconnectedDeviceCount = 0;
    std::uint64_t errorDeviceCount = 0;
    std::uint64_t protocolRejectedDeviceCount = 0;
    std::uint64_t receivedFrameCount = 0;
    std::uint64_t sentFrameCount = 0;
    std::uint64_t receivedByteCount = 0;
    std::uint64_t sentByteCount = 0;
    std::uint64_t statusReportCount = 0;
    std::int64_t lastEventAt = 0;
    std::int64_t lastStatusAt = 0;
};

struct S_HealthInputs
{
    bool topologyConfigured = false;
    std::uint64_t sceneGeneration = 0;
    std::uint64_t directDeviceCount = 0;
    bool historyPersistence = false;
    S_DeviceTcpHealth deviceTcp;
};

// The health report JSON of GET /api/v1/health.
std::string buildHealthJson(const S_BackendConfig& config, const S_HealthInputs& inputs);

}  // namespace ota::backend
