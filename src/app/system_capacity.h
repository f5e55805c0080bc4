#pragma once

#include "upgrade/upgrade_limits.h"

#include <cstdint>
#include <string>

namespace ota::backend
{

struct S_SystemCapacity
{
    std::uint32_t physicalCoreCount = 0;
    std::uint32_t logicalProcessorCount = 0;
    std::uint64_t totalMemoryBytes = 0;      // 0 when unknown
    std::uint64_t availableMemoryBytes = 0;  // never above the total; 0 when unknown
};

// The backend never upgrades more devices at once than this, whatever the machine offers.
inline constexpr std::uint16_t kAbsoluteDeviceConcurrencyLimit = kMaxTaskDeviceConcurrency;

S_SystemCapacity readSystemCapacity();

// How many devices this machine should upgrade at the same time: 1 to 32.
std::uint16_t recommendDeviceConcurrency(const S_SystemCapacity& capacity);

// The capacity report JSON of GET /api/v1/system/capacity.
std::string buildSystemCapacityJson(const S_SystemCapacity& capacity);

}  // namespace ota::backend
