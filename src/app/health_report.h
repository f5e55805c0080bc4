#pragma once

#include "app/backend_config.h"
#include "device/communication_snapshot.h"

#include <cstdint>
#include <string>

namespace ota::backend
{

struct S_HealthInputs
{
    bool topologyConfigured = false;
    std::uint64_t sceneGeneration = 0;
    std::uint64_t directDeviceCount = 0;
    bool historyPersistence = false;
    S_DeviceTcpStatusSummary deviceTcp;  // all zero while no device manager runs
};

// The health report JSON of GET /api/v1/health.
std::string buildHealthJson(const S_BackendConfig& config, const S_HealthInputs& inputs);

}  // namespace ota::backend
