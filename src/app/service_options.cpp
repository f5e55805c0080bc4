#include "app/service_options.h"

#include "app/system_capacity.h"

#include <algorithm>

namespace ota::backend
{

S_UpgradeExecutionOptions buildExecutionOptions(const S_BackendConfig& config,
                                                std::uint16_t recommendedConcurrency)
{
    S_UpgradeExecutionOptions options;
    options.configuredDeviceConcurrency = config.deviceConcurrency;
    options.recommendedDeviceConcurrency = recommendedConcurrency;
    options.deviceConcurrency =
        std::min({config.deviceConcurrency, recommendedConcurrency, kMaxTaskDeviceConcurrency});
    options.progressPublishIntervalMs = 100;
    options.connectTimeoutMs = config.connectTimeoutMs;
    options.ackTimeoutMs = config.ackTimeoutMs;
    options.stageTimeoutMs = config.stageTimeoutMs;
    options.flashTimeoutMs = config.flashTimeoutMs;
    options.restartTimeoutMs = config.restartTimeoutMs;
    return options;
}

S_DeviceTcpOptions buildDeviceTcpOptions(const S_BackendConfig& config)
{
    S_DeviceTcpOptions options;
    options.connectTimeoutMs = static_cast<std::int32_t>(config.connectTimeoutMs);
    options.reconnectIntervalMs = config.reconnectIntervalMs;
    return options;
}

}  // namespace ota::backend
