#pragma once

#include "rollout/rollout_types.h"

#include <cstdint>

namespace ota::backend
{

// The decisions a rollout's gates make, as plain functions of the numbers they look at.

// A group passes when its SUCCESS share of all its devices (skipped ones included) is at least
// successPercent.
bool groupPasses(const S_RolloutCounts& groupCounts, std::uint32_t successPercent);

// The devices that ended FAILED since the start or the last resume halt the rollout once they
// reach maxFailedDevices.
bool failureThresholdReached(std::uint32_t failedSinceResume, const S_RolloutPolicy& policy);

// A group or retry round that would start now must not: the window has ended (unless the rollout
// was resumed after it ended).
bool windowClosed(const S_RolloutPolicy& policy, bool windowWaived, std::int64_t now);

// Retry rounds take the devices that failed before their flashing command could have been
// accepted, and the skipped ones.
bool retryEligible(const S_RolloutDevice& device);

}  // namespace ota::backend
