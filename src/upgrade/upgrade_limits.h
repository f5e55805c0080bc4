#pragma once

#include <cstdint>

namespace ota::backend
{

// The fixed backend protection limit of device concurrency: the engine never upgrades more devices
// at once, whatever the configuration or the machine offers (the capacity report shows it as
// "absoluteDeviceConcurrencyLimit").
inline constexpr std::uint16_t kMaxTaskDeviceConcurrency = 32;

}  // namespace ota::backend
