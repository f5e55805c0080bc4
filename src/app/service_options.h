#pragma once

#include "app/backend_config.h"
#include "device/device_tcp_options.h"
#include "upgrade/upgrade_execution_service.h"

#include <cstdint>

namespace ota::backend
{

// The execution options: the configured limits, bounded by what the machine can take (the
// recommendation is read from the machine by the caller, so start-up and reload see it fresh).
S_UpgradeExecutionOptions buildExecutionOptions(const S_BackendConfig& config,
                                                std::uint16_t recommendedConcurrency);

// The device TCP options of a manager started for the configured site.
S_DeviceTcpOptions buildDeviceTcpOptions(const S_BackendConfig& config);

}  // namespace ota::backend
