#pragma once

#include "rollout/rollout_task_driver.h"
#include "rollout/rollout_types.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace ota::backend
{

// The devices of the targets, in the order each first appears.
std::vector<std::string> deviceOrderOf(const std::vector<S_RolloutTarget>& targets);

// Group 1 takes the first groupSizes[0] devices, group 2 the next groupSizes[1], and so on; the
// devices left over form one last group. Sizes beyond the device count are cut, and no group is
// ever empty (sizes after the devices ran out make no group).
std::vector<S_RolloutGroup> buildRolloutGroups(const std::vector<std::string>& deviceOrder,
                                               const std::vector<std::uint32_t>& groupSizes);

// A new READY rollout of the plan: its groups, and every device PENDING.
S_Rollout newRollout(std::uint32_t rolloutNo, RolloutPlanPtr plan, std::int64_t createdAt);

// The request's targets of the given devices (request order) and the files those targets use
// (request order), under the given upgrade identifier.
S_RolloutTaskRequest buildTaskRequest(const S_RolloutPlan& plan,
                                      const std::unordered_set<std::string>& nodeIds, std::string upgradeId);

}  // namespace ota::backend
