#include "app/system_capacity.h"

#include "common/json_text.h"
#include "common/platform.h"

#include <algorithm>
#include <limits>
#include <thread>

namespace ota::backend
{

S_SystemCapacity readSystemCapacity()
{
    S_SystemCapacity capacity;
    std::uint32_t logical = readLogicalProcessorCount();
    if (logical == 0)
    {
        logical = std::thread::hardware_concurrency();
    }
    if (logical == 0)
    {
        logical = 1;
    }
    capacity.logicalProcessorCount = logical;

    const std::uint32_t cores = readPhysicalCoreCount();
    capacity.physicalCoreCount = cores != 0 ? std::min(cores, logical) : std::max<std::uint32_t>(1, (logical + 1) / 2);

    const S_MemoryStatus memory = readMemoryStatus();
    if (memory.available)
    {
        capacity.totalMemoryBytes = memory.totalBytes;
        capacity.availableMemoryBytes = std::min(memory.availableBytes, memory.totalBytes);
    }
    return capacity;
}

namespace
{

std::uint32_t saturatingMultiply(std::uint32_t factor, std::uint32_t value)
{
    const std::uint64_t product = static_cast<std::uint64_t>(factor) * value;
    return product > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                               : static_cast<std::uint32_t>(product);
}

std::uint32_t memoryBound(bool known, std::uint64_t bytes)
{
    constexpr std::uint64_t kMiB = 1024ull * 1024ull;
    if (!known)
    {
        return 4;
    }
    if (bytes < 512 * kMiB)
    {
        return 1;
    }
    if (bytes < 1024 * kMiB)
    {
        return 2;
    }
    if (bytes < 2048 * kMiB)
    {
        return 4;
    }
    if (bytes < 4096 * kMiB)
    {
        return 8;
    }
    if (bytes < 8192 * kMiB)
    {
        return 16;
    }
    return 32;
}

}  // namespace

std::uint16_t recommendDeviceConcurrency(const S_SystemCapacity& capacity)
{
    std::uint32_t logical = capacity.logicalProcessorCount;
    if (logical == 0)
    {
        logical = capacity.physicalCoreCount != 0 ? capacity.physicalCoreCount : 1;
    }
    logical = std::max(logical, capacity.physicalCoreCount);

    std::uint32_t physical = 0;
    if (capacity.physicalCoreCount != 0)
    {
        physical = std::min(capacity.physicalCoreCount, logical);
    }
    else
    {
        // (L + 1) / 2 without wrapping at the top of the range.
        physical = std::max<std::uint32_t>(1, logical / 2 + (logical % 2));
    }

    const std::uint32_t cpuBound = std::min({saturatingMultiply(2, logical), saturatingMultiply(4, physical),
                                             static_cast<std::uint32_t>(kAbsoluteDeviceConcurrencyLimit)});

    const std::uint64_t total = capacity.totalMemoryBytes;
    const std::uint64_t available = capacity.availableMemoryBytes;
    bool memoryKnown = true;
    std::uint64_t memory = 0;
    if (total != 0 && available != 0)
    {
        memory = std::min(total, available);
    }
    else if (total != 0)
    {
        memory = total / 4;
    }
    else if (available != 0)
    {
        memory = available;
    }
    else
    {
        memoryKnown = false;
    }

    const std::uint32_t result = std::max<std::uint32_t>(1, std::min(memoryBound(memoryKnown, memory), cpuBound));
    return static_cast<std::uint16_t>(result);
}

std::string buildSystemCapacityJson(const S_SystemCapacity& capacity)
{
    const nlohmann::json report = {
        {"physicalCoreCount", capacity.physicalCoreCount},
        {"logicalProcessorCount", capacity.logicalProcessorCount},
        {"totalMemoryBytes", capacity.totalMemoryBytes},
        {"availableMemoryBytes", capacity.availableMemoryBytes},
        {"recommendedDeviceConcurrency", recommendDeviceConcurrency(capacity)},
        {"absoluteDeviceConcurrencyLimit", kAbsoluteDeviceConcurrencyLimit},
    };
    return toJsonText(report);
}

}  // namespace ota::backend
