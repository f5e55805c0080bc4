#include "rollout/rollout_gates.h"

namespace ota::backend
{

bool groupPasses(const S_RolloutCounts& groupCounts, std::uint32_t successPercent)
{
    if (groupCounts.deviceCount == 0)
    {
        return false;
    }
    return static_cast<std::uint64_t>(groupCounts.successCount) * 100 >=
           static_cast<std::uint64_t>(successPercent) * groupCounts.deviceCount;
}

bool failureThresholdReached(std::uint32_t failedSinceResume, const S_RolloutPolicy& policy)
{
    return failedSinceResume >= policy.maxFailedDevices;
}

bool windowClosed(const S_RolloutPolicy& policy, bool windowWaived, std::int64_t now)
{
    return policy.windowEndAt != 0 && !windowWaived && now >= policy.windowEndAt;
}

bool retryEligible(const S_RolloutDevice& device)
{
    return device.result == E_RolloutDeviceResult::SKIPPED ||
           (device.result == E_RolloutDeviceResult::FAILED && !device.flashMayHaveStarted);
}

}  // namespace ota::backend
