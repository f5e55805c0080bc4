#include "rollout/rollout_soak.h"

#include "rollout/rollout_machine.h"

#include <algorithm>
#include <unordered_map>

namespace ota::backend
{

namespace
{

S_RolloutGroup* soakingGroup(S_Rollout& rollout)
{
    const std::uint32_t groupNo = rollout.soak.groupNo;
    return groupNo >= 1 && groupNo <= rollout.groups.size() ? &rollout.groups[groupNo - 1] : nullptr;
}

void startClock(S_Rollout& rollout, std::int64_t now)
{
    rollout.soak.startedAt = now;
    rollout.soak.endsAt = now + static_cast<std::int64_t>(rollout.plan->policy.soakSeconds) * 1000;
}

}  // namespace

std::string soakFailureText(const S_RolloutSoakFinding& finding)
{
    switch (finding.failure)
    {
        case E_RolloutSoakFailure::FAULT:
            return "Soak: the device reported FAULT (" + finding.reasonName + ")";
        case E_RolloutSoakFailure::VERSION:
            return "Soak: the device reported " + finding.version + " for " + finding.componentTypeId + "#" +
                   std::to_string(finding.componentIndex);
        case E_RolloutSoakFailure::NOT_CONNECTED:
            break;
    }
    return "Soak: the device is not connected";
}

bool beginGroupSoak(S_Rollout& rollout, std::uint32_t groupNo, std::int64_t now)
{
    if (rollout.plan->policy.soakSeconds == 0 ||
        std::none_of(rollout.devices.begin(), rollout.devices.end(),
                     [&](const S_RolloutDevice& device) {
                         return device.groupNo == groupNo && device.result == E_RolloutDeviceResult::SUCCESS;
                     }))
    {
        return false;
    }
    rollout.soak = {};
    rollout.soak.groupNo = groupNo;
    startClock(rollout, now);
    soakingGroup(rollout)->status = E_RolloutGroupStatus::SOAKING;
    return true;
}

bool restartPendingSoak(S_Rollout& rollout, std::int64_t now)
{
    if (rollout.soak.groupNo == 0 || rollout.soak.startedAt != 0 ||
        rollout.status != E_RolloutStatus::RUNNING)
    {
        return false;
    }
    startClock(rollout, now);
    if (S_RolloutGroup* group = soakingGroup(rollout))
    {
        group->status = E_RolloutGroupStatus::SOAKING;
    }
    return true;
}

std::vector<S_RolloutSoakDevice> rolloutSoakDevices(const S_Rollout& rollout)
{
    std::unordered_map<std::string, const S_RolloutFile*> files;
    for (const S_RolloutFile& file : rollout.plan->files)
    {
        files.emplace(file.fileSlotKey, &file);
    }
    std::vector<S_RolloutSoakDevice> devices;
    for (const S_RolloutDevice& device : rollout.devices)
    {
        if (device.groupNo != rollout.soak.groupNo || device.result != E_RolloutDeviceResult::SUCCESS)
        {
            continue;
        }
        S_RolloutSoakDevice soaked;
        soaked.nodeId = device.nodeId;
        for (const S_RolloutTarget& target : rollout.plan->targets)
        {
            const auto file = files.find(target.fileSlotKey);
            if (target.nodeId == device.nodeId && file != files.end())
            {
                soaked.components.push_back(
                    {target.componentTypeId, target.componentIndex, file->second->targetVersion});
            }
        }
        devices.push_back(std::move(soaked));
    }
    return devices;
}

void applyRolloutSoakEnd(S_Rollout& rollout, const std::vector<S_RolloutSoakFinding>& findings)
{
    const std::uint32_t groupNo = rollout.soak.groupNo;
    if (groupNo == 0)
    {
        return;
    }
    for (const S_RolloutSoakFinding& finding : findings)
    {
        for (S_RolloutDevice& device : rollout.devices)
        {
            if (device.nodeId == finding.nodeId && device.groupNo == groupNo &&
                device.result == E_RolloutDeviceResult::SUCCESS)
            {
                device.result = E_RolloutDeviceResult::FAILED;
                device.error = soakFailureText(finding);
                // It was flashed: retry rounds never take it.
                device.flashMayHaveStarted = true;
                ++rollout.failedSinceResume;
            }
        }
    }
    rollout.soak = {};
    decideGroupGate(rollout, groupNo);
}

void dropRolloutSoak(S_Rollout& rollout)
{
    if (S_RolloutGroup* group = soakingGroup(rollout))
    {
        group->status = E_RolloutGroupStatus::ABORTED;
    }
    rollout.soak = {};
}

}  // namespace ota::backend
