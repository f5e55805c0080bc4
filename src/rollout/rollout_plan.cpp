#include "rollout/rollout_plan.h"

#include <algorithm>
#include <cstddef>

namespace ota::backend
{

std::vector<std::string> deviceOrderOf(const std::vector<S_RolloutTarget>& targets)
{
    std::vector<std::string> order;
    std::unordered_set<std::string> seen;
    for (const S_RolloutTarget& target : targets)
    {
        if (seen.insert(target.nodeId).second)
        {
            order.push_back(target.nodeId);
        }
    }
    return order;
}

std::vector<S_RolloutGroup> buildRolloutGroups(const std::vector<std::string>& deviceOrder,
                                               const std::vector<std::uint32_t>& groupSizes)
{
    std::vector<S_RolloutGroup> groups;
    std::size_t next = 0;
    const auto addGroup = [&](std::size_t count)
    {
        S_RolloutGroup group;
        group.groupNo = static_cast<std::uint32_t>(groups.size() + 1);
        group.nodeIds.assign(deviceOrder.begin() + static_cast<std::ptrdiff_t>(next),
                             deviceOrder.begin() + static_cast<std::ptrdiff_t>(next + count));
        next += count;
        groups.push_back(std::move(group));
    };
    for (const std::uint32_t size : groupSizes)
    {
        if (next >= deviceOrder.size())
        {
            break;
        }
        addGroup(std::min<std::size_t>(size, deviceOrder.size() - next));
    }
    if (next < deviceOrder.size())
    {
        addGroup(deviceOrder.size() - next);
    }
    return groups;
}

S_Rollout newRollout(std::uint32_t rolloutNo, RolloutPlanPtr plan, std::int64_t createdAt)
{
    S_Rollout rollout;
    rollout.rolloutNo = rolloutNo;
    rollout.createdAt = createdAt;
    rollout.groups = buildRolloutGroups(deviceOrderOf(plan->targets), plan->policy.groupSizes);
    for (const S_RolloutGroup& group : rollout.groups)
    {
        for (const std::string& nodeId : group.nodeIds)
        {
            S_RolloutDevice device;
            device.nodeId = nodeId;
            device.groupNo = group.groupNo;
            rollout.devices.push_back(std::move(device));
        }
    }
    rollout.plan = std::move(plan);
    return rollout;
}

S_RolloutTaskRequest buildTaskRequest(const S_RolloutPlan& plan,
                                      const std::unordered_set<std::string>& nodeIds, std::string upgradeId)
{
    S_RolloutTaskRequest request;
    request.upgradeId = std::move(upgradeId);
    request.maxConcurrentPerType = plan.policy.maxConcurrentPerType;
    std::unordered_set<std::string> slots;
    for (const S_RolloutTarget& target : plan.targets)
    {
        if (nodeIds.count(target.nodeId) != 0)
        {
            request.targets.push_back(target);
            slots.insert(target.fileSlotKey);
        }
    }
    for (const S_RolloutFile& file : plan.files)
    {
        if (slots.count(file.fileSlotKey) != 0)
        {
            request.files.push_back(file);
        }
    }
    return request;
}

}  // namespace ota::backend
