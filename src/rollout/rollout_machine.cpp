#include "rollout/rollout_machine.h"

#include "common/clock.h"
#include "rollout/rollout_gates.h"
#include "rollout/rollout_soak.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace ota::backend
{

const char* const kRolloutRestartReason = "The backend restarted while the rollout was running";

namespace
{

constexpr const char* kPausedByOperator = "Paused by an operator";
constexpr const char* kCancelledByOperator = "Cancelled by an operator";
constexpr const char* kStoppingGroupTask = "The rollout is stopping its group's task";

std::string numberText(std::uint64_t value)
{
    return std::to_string(value);
}

std::string rolloutName(const S_Rollout& rollout)
{
    return "Rollout " + numberText(rollout.rolloutNo);
}

S_RolloutGroup* findGroup(S_Rollout& rollout, std::uint32_t groupNo)
{
    return groupNo >= 1 && groupNo <= rollout.groups.size() ? &rollout.groups[groupNo - 1] : nullptr;
}

void halt(S_Rollout& rollout, std::string reason)
{
    rollout.status = E_RolloutStatus::HALTED;
    rollout.reason = std::move(reason);
}

void pause(S_Rollout& rollout, std::string reason)
{
    rollout.status = E_RolloutStatus::PAUSED;
    rollout.reason = std::move(reason);
}

void finish(S_Rollout& rollout, E_RolloutStatus status, std::string reason, std::int64_t now)
{
    rollout.status = status;
    rollout.reason = std::move(reason);
    rollout.finishedAt = now;
    rollout.currentGroupNo = 0;
}

std::string thresholdReason(const S_Rollout& rollout)
{
    return numberText(rollout.failedSinceResume) +
           " device(s) failed since the rollout was started or last resumed, reaching maxFailedDevices " +
           numberText(rollout.plan->policy.maxFailedDevices);
}

std::string taskText(const S_RolloutActiveTask& task)
{
    return "Upgrade task " + numberText(task.upgradeNo) +
           (task.kind == E_RolloutTaskKind::GROUP ? " of group " + numberText(task.groupNo)
                                                  : std::string(" of a retry round"));
}

E_RolloutDeviceResult fromTaskResult(E_RolloutTaskDeviceResult result)
{
    switch (result)
    {
        case E_RolloutTaskDeviceResult::SUCCESS:
            return E_RolloutDeviceResult::SUCCESS;
        case E_RolloutTaskDeviceResult::FAILED:
            return E_RolloutDeviceResult::FAILED;
        case E_RolloutTaskDeviceResult::ABORTED:
            return E_RolloutDeviceResult::ABORTED;
        case E_RolloutTaskDeviceResult::PENDING:
            break;
    }
    return E_RolloutDeviceResult::RUNNING;
}

// A passed group: the next group is the current one, or the retry rounds begin after the last.
void passGroup(S_Rollout& rollout, std::uint32_t groupNo)
{
    findGroup(rollout, groupNo)->status = E_RolloutGroupStatus::SUCCESS;
    if (groupNo >= rollout.groups.size())
    {
        rollout.phase = E_RolloutPhase::RETRIES;
        rollout.currentGroupNo = 0;
        return;
    }
    rollout.currentGroupNo = groupNo + 1;
    if (rollout.plan->policy.manualAdvance && rollout.status == E_RolloutStatus::RUNNING)
    {
        pause(rollout,
              "Group " + numberText(groupNo) + " passed; resume to start group " + numberText(groupNo + 1));
    }
}

// Every device of the group has its result: the SUCCESS share decides.
void judgeGroup(S_Rollout& rollout, std::uint32_t groupNo)
{
    const S_RolloutCounts counts = countGroupDevices(rollout, groupNo);
    const std::uint32_t successPercent = rollout.plan->policy.successPercent;
    if (groupPasses(counts, successPercent))
    {
        passGroup(rollout, groupNo);
        return;
    }
    findGroup(rollout, groupNo)->status = E_RolloutGroupStatus::FAILED;
    halt(rollout, "Group " + numberText(groupNo) + ": " + numberText(counts.successCount) + " of " +
                      numberText(counts.deviceCount) + " devices succeeded, below successPercent " +
                      numberText(successPercent));
}

void endTask(S_Rollout& rollout, const S_RolloutTaskView& view, std::int64_t now)
{
    const S_RolloutActiveTask task = rollout.activeTask;
    rollout.activeTask = {};
    for (S_RolloutDevice& device : rollout.devices)
    {
        // A device the final state does not name did not run to its end.
        if (device.upgradeNo == task.upgradeNo && device.result == E_RolloutDeviceResult::RUNNING)
        {
            device.result = E_RolloutDeviceResult::ABORTED;
        }
    }
    S_RolloutGroup* group =
        task.kind == E_RolloutTaskKind::GROUP ? findGroup(rollout, task.groupNo) : nullptr;
    if (task.abortIntent == E_RolloutAbortIntent::CANCEL)
    {
        if (group != nullptr)
        {
            group->status = E_RolloutGroupStatus::ABORTED;
        }
        finish(rollout, E_RolloutStatus::CANCELLED, kCancelledByOperator, now);
        return;
    }
    if (view.status == E_RolloutTaskStatus::STOPPED)
    {
        if (group != nullptr)
        {
            group->status = E_RolloutGroupStatus::ABORTED;
        }
        if (rollout.status == E_RolloutStatus::RUNNING)
        {
            pause(rollout, kRolloutRestartReason);
        }
        return;
    }
    if (task.abortIntent == E_RolloutAbortIntent::SITE_HOLD)
    {
        // Its devices that did not finish run again with the group once the hold ends.
        if (group != nullptr)
        {
            group->status = E_RolloutGroupStatus::ABORTED;
        }
        return;
    }
    if (task.abortIntent == E_RolloutAbortIntent::THRESHOLD ||
        failureThresholdReached(rollout.failedSinceResume, rollout.plan->policy))
    {
        if (group != nullptr)
        {
            group->status = E_RolloutGroupStatus::FAILED;
        }
        halt(rollout, thresholdReason(rollout));
        return;
    }
    if (task.abortIntent == E_RolloutAbortIntent::OPERATOR || view.status == E_RolloutTaskStatus::ABORTED)
    {
        if (group != nullptr)
        {
            group->status = E_RolloutGroupStatus::ABORTED;
        }
        halt(rollout, taskText(task) + " was aborted by an operator");
        return;
    }
    if (group != nullptr && !beginGroupSoak(rollout, task.groupNo, now))
    {
        judgeGroup(rollout, task.groupNo);
    }
}

}  // namespace

void decideGroupGate(S_Rollout& rollout, std::uint32_t groupNo)
{
    if (failureThresholdReached(rollout.failedSinceResume, rollout.plan->policy))
    {
        findGroup(rollout, groupNo)->status = E_RolloutGroupStatus::FAILED;
        halt(rollout, thresholdReason(rollout));
        return;
    }
    judgeGroup(rollout, groupNo);
}

const char* rolloutOperationName(E_RolloutOperation operation)
{
    switch (operation)
    {
        case E_RolloutOperation::START:
            return "start";
        case E_RolloutOperation::PAUSE:
            return "pause";
        case E_RolloutOperation::RESUME:
            return "resume";
        case E_RolloutOperation::CANCEL:
            return "cancel";
    }
    return "unknown";
}

bool applyRolloutOperation(S_Rollout& rollout, E_RolloutOperation operation,
                           const S_RolloutOperationContext& context, std::string& refusal)
{
    refusal.clear();
    const std::string name = rolloutName(rollout);
    const std::string statusText = rolloutStatusName(rollout.status);
    const bool cancelling = rollout.activeTask.abortIntent == E_RolloutAbortIntent::CANCEL;
    // A gate is aborting the running task: the halt it ends in is decided by the failures counted so
    // far, which a pause or resume now would reset or hide.
    const bool gateAborting = rollout.activeTask.upgradeNo != 0 &&
                              rollout.activeTask.abortIntent == E_RolloutAbortIntent::THRESHOLD;
    // Nothing runs, stops or ends it before the second person has decided (reject ends it).
    if (rollout.status == E_RolloutStatus::AWAITING_APPROVAL)
    {
        refusal = "The rollout awaits approval";
        return false;
    }
    switch (operation)
    {
        case E_RolloutOperation::START:
            if (rollout.status != E_RolloutStatus::READY)
            {
                refusal = name + " is " + statusText + "; only a READY rollout can be started";
            }
            else if (context.otherOpenRolloutNo != 0)
            {
                refusal = "Rollout " + numberText(context.otherOpenRolloutNo) + " is " +
                          rolloutStatusName(context.otherOpenStatus) +
                          "; only one rollout can be open at a time";
            }
            else if (context.taskActive)
            {
                refusal = "An upgrade task is running; start the rollout when it has ended";
            }
            else
            {
                rollout.currentGroupNo = 1;
                rollout.failedSinceResume = 0;
                rollout.reason.clear();
                if (rollout.plan->policy.startAt > context.now)
                {
                    rollout.status = E_RolloutStatus::SCHEDULED;
                }
                else
                {
                    rollout.status = E_RolloutStatus::RUNNING;
                    rollout.startedAt = context.now;
                }
            }
            break;
        case E_RolloutOperation::PAUSE:
            if (rollout.status != E_RolloutStatus::RUNNING && rollout.status != E_RolloutStatus::SCHEDULED)
            {
                refusal = name + " is " + statusText + "; only a RUNNING or SCHEDULED rollout can be paused";
            }
            else if (cancelling)
            {
                refusal = name + " is being cancelled";
            }
            else if (gateAborting)
            {
                refusal = kStoppingGroupTask;
            }
            else
            {
                pause(rollout, kPausedByOperator);
            }
            break;
        case E_RolloutOperation::RESUME:
            if (rollout.status != E_RolloutStatus::PAUSED && rollout.status != E_RolloutStatus::HALTED)
            {
                refusal = name + " is " + statusText + "; only a PAUSED or HALTED rollout can be resumed";
            }
            else if (cancelling)
            {
                refusal = name + " is being cancelled";
            }
            else if (gateAborting)
            {
                refusal = kStoppingGroupTask;
            }
            else if (context.taskActive && rollout.activeTask.upgradeNo == 0)
            {
                refusal = "An upgrade task is running; resume the rollout when it has ended";
            }
            else
            {
                rollout.failedSinceResume = 0;
                rollout.windowWaived =
                    rollout.windowWaived || windowClosed(rollout.plan->policy, false, context.now);
                rollout.reason.clear();
                if (rollout.startedAt == 0 && rollout.plan->policy.startAt > context.now)
                {
                    rollout.status = E_RolloutStatus::SCHEDULED;
                }
                else
                {
                    rollout.status = E_RolloutStatus::RUNNING;
                    rollout.startedAt = rollout.startedAt == 0 ? context.now : rollout.startedAt;
                }
            }
            break;
        case E_RolloutOperation::CANCEL:
            if (isRolloutFinished(rollout.status))
            {
                refusal = name + " is already " + statusText;
            }
            else if (cancelling)
            {
                refusal = name + " is being cancelled";
            }
            else if (rollout.activeTask.upgradeNo != 0)
            {
                // Nothing more starts; the rollout is CANCELLED (with its reason) once its task has ended.
                rollout.activeTask.abortIntent = E_RolloutAbortIntent::CANCEL;
            }
            else
            {
                dropRolloutSoak(rollout);
                finish(rollout, E_RolloutStatus::CANCELLED, kCancelledByOperator, context.now);
            }
            break;
    }
    return refusal.empty();
}

bool rolloutAbortPending(const S_Rollout& rollout)
{
    const S_RolloutActiveTask& task = rollout.activeTask;
    return task.upgradeNo != 0 && !task.abortRequested &&
           (task.abortIntent == E_RolloutAbortIntent::THRESHOLD ||
            task.abortIntent == E_RolloutAbortIntent::CANCEL);
}

bool applyRolloutTaskView(S_Rollout& rollout, const S_RolloutTaskView& view, std::int64_t now)
{
    const std::uint32_t upgradeNo = rollout.activeTask.upgradeNo;
    if (upgradeNo == 0 || view.upgradeNo != upgradeNo)
    {
        return false;
    }
    bool changed = false;
    std::unordered_map<std::string_view, S_RolloutDevice*> devicesOfTask;
    for (S_RolloutDevice& device : rollout.devices)
    {
        if (device.upgradeNo == upgradeNo)
        {
            devicesOfTask.emplace(device.nodeId, &device);
        }
    }
    for (const S_RolloutTaskDevice& taskDevice : view.devices)
    {
        const auto found = devicesOfTask.find(taskDevice.nodeId);
        if (found == devicesOfTask.end())
        {
            continue;
        }
        S_RolloutDevice& device = *found->second;
        const E_RolloutDeviceResult result = fromTaskResult(taskDevice.result);
        if (device.result != result)
        {
            if (result == E_RolloutDeviceResult::FAILED)
            {
                ++rollout.failedSinceResume;
            }
            device.result = result;
            changed = true;
        }
        if (device.error != taskDevice.error || device.flashMayHaveStarted != taskDevice.flashMayHaveStarted)
        {
            device.error = taskDevice.error;
            device.flashMayHaveStarted = taskDevice.flashMayHaveStarted;
            changed = true;
        }
    }
    if (view.active && rollout.activeTask.abortIntent == E_RolloutAbortIntent::NONE &&
        failureThresholdReached(rollout.failedSinceResume, rollout.plan->policy))
    {
        rollout.activeTask.abortIntent = E_RolloutAbortIntent::THRESHOLD;
        changed = true;
    }
    if (!view.active)
    {
        endTask(rollout, view, now);
        changed = true;
    }
    return changed;
}

bool noteOperatorAbort(S_Rollout& rollout, std::uint32_t upgradeNo)
{
    S_RolloutActiveTask& task = rollout.activeTask;
    if (task.upgradeNo == 0 || task.upgradeNo != upgradeNo || task.abortRequested)
    {
        return false;
    }
    if (task.abortIntent == E_RolloutAbortIntent::NONE)
    {
        task.abortIntent = E_RolloutAbortIntent::OPERATOR;
    }
    task.abortRequested = true;
    return true;
}

S_RolloutStep nextRolloutStep(S_Rollout& rollout, std::int64_t now)
{
    S_RolloutStep step;
    // A soaking group's gate is decided when its soak ends (rollout_soak.h).
    if (rollout.activeTask.upgradeNo != 0 || rollout.soak.groupNo != 0)
    {
        return step;
    }
    if (rollout.status == E_RolloutStatus::SCHEDULED)
    {
        if (now < rollout.plan->policy.startAt)
        {
            step.kind = E_RolloutStepKind::WAIT_UNTIL;
            step.until = rollout.plan->policy.startAt;
            return step;
        }
        rollout.status = E_RolloutStatus::RUNNING;
        rollout.startedAt = rollout.startedAt == 0 ? now : rollout.startedAt;
    }
    const S_RolloutPolicy& policy = rollout.plan->policy;
    while (rollout.status == E_RolloutStatus::RUNNING)
    {
        if (rollout.phase == E_RolloutPhase::GROUPS)
        {
            S_RolloutGroup* group = findGroup(rollout, rollout.currentGroupNo);
            if (group == nullptr)
            {
                rollout.phase = E_RolloutPhase::RETRIES;
                rollout.currentGroupNo = 0;
                continue;
            }
            std::unordered_set<std::string_view> members(group->nodeIds.begin(), group->nodeIds.end());
            std::vector<std::string> toRun;
            for (const S_RolloutDevice& device : rollout.devices)
            {
                if (members.count(device.nodeId) != 0 && device.result != E_RolloutDeviceResult::SUCCESS)
                {
                    toRun.push_back(device.nodeId);
                }
            }
            if (toRun.empty())
            {
                passGroup(rollout, group->groupNo);
                continue;
            }
            if (windowClosed(policy, rollout.windowWaived, now))
            {
                pause(rollout, "The maintenance window ended at " + formatLocalTime(policy.windowEndAt));
                break;
            }
            step.kind = E_RolloutStepKind::LAUNCH_GROUP;
            step.groupNo = group->groupNo;
            step.nodeIds = std::move(toRun);
            return step;
        }
        std::vector<std::string> eligible;
        for (const S_RolloutDevice& device : rollout.devices)
        {
            if (retryEligible(device))
            {
                eligible.push_back(device.nodeId);
            }
        }
        if (rollout.retryRoundsRun < policy.retryRounds && !eligible.empty())
        {
            if (windowClosed(policy, rollout.windowWaived, now))
            {
                pause(rollout, "The maintenance window ended at " + formatLocalTime(policy.windowEndAt));
                break;
            }
            step.kind = E_RolloutStepKind::LAUNCH_RETRY;
            step.round = rollout.retryRoundsRun + 1;
            step.nodeIds = std::move(eligible);
            return step;
        }
        const S_RolloutCounts counts = countRolloutDevices(rollout);
        if (counts.successCount == counts.deviceCount)
        {
            finish(rollout, E_RolloutStatus::SUCCESS, "", now);
        }
        else
        {
            finish(rollout, E_RolloutStatus::FAILED,
                   numberText(counts.deviceCount - counts.successCount) + " of " +
                       numberText(counts.deviceCount) + " devices did not end SUCCESS",
                   now);
        }
    }
    return step;
}

std::string rolloutTaskUpgradeId(const std::string& rolloutId, const S_RolloutStep& step, unsigned attempt)
{
    // Appended piece by piece: g++ 12 warns falsely about "_r" + std::string (GCC bug 105329).
    std::string upgradeId = rolloutId;
    const bool retry = step.kind == E_RolloutStepKind::LAUNCH_RETRY;
    upgradeId.append(retry ? "_r" : "_g").append(numberText(retry ? step.round : step.groupNo));
    if (attempt > 1)
    {
        upgradeId.append("_").append(numberText(attempt));
    }
    return upgradeId;
}

void applyRolloutPreview(S_Rollout& rollout, const S_RolloutStep& step, const S_RolloutPreviewResult& result)
{
    std::unordered_map<std::string_view, S_RolloutDevice*> devices;
    for (S_RolloutDevice& device : rollout.devices)
    {
        devices.emplace(device.nodeId, &device);
    }
    std::unordered_set<std::string_view> refused;
    for (const auto& [nodeId, message] : result.refusedDevices)
    {
        const auto found = devices.find(nodeId);
        if (found != devices.end())
        {
            found->second->result = E_RolloutDeviceResult::SKIPPED;
            found->second->error = message;
            refused.insert(found->second->nodeId);
        }
    }
    const bool group = step.kind == E_RolloutStepKind::LAUNCH_GROUP;
    switch (result.outcome)
    {
        case E_RolloutPreviewOutcome::PREVIEWED:
        {
            std::unordered_set<std::uint32_t> groupsOfTask;
            for (const std::string& nodeId : step.nodeIds)
            {
                const auto found = devices.find(nodeId);
                if (found == devices.end() || refused.count(nodeId) != 0)
                {
                    continue;
                }
                S_RolloutDevice& device = *found->second;
                device.result = E_RolloutDeviceResult::RUNNING;
                device.upgradeNo = result.upgradeNo;
                device.error.clear();
                device.flashMayHaveStarted = false;
                groupsOfTask.insert(device.groupNo);
            }
            for (S_RolloutGroup& candidate : rollout.groups)
            {
                if (groupsOfTask.count(candidate.groupNo) != 0)
                {
                    candidate.upgradeNos.push_back(result.upgradeNo);
                }
            }
            if (group)
            {
                findGroup(rollout, step.groupNo)->status = E_RolloutGroupStatus::RUNNING;
            }
            else
            {
                rollout.retryRoundsRun = step.round;
            }
            rollout.activeTask = {};
            rollout.activeTask.upgradeNo = result.upgradeNo;
            rollout.activeTask.kind = group ? E_RolloutTaskKind::GROUP : E_RolloutTaskKind::RETRY_ROUND;
            rollout.activeTask.groupNo = group ? step.groupNo : 0;
            return;
        }
        case E_RolloutPreviewOutcome::NO_DEVICE:
            if (group)
            {
                judgeGroup(rollout, step.groupNo);
            }
            else
            {
                rollout.retryRoundsRun = step.round;
            }
            return;
        case E_RolloutPreviewOutcome::FILE_CHANGED:
            halt(rollout, result.error);
            return;
        case E_RolloutPreviewOutcome::UPGRADE_ID_TAKEN:
        case E_RolloutPreviewOutcome::REFUSED:
            halt(rollout,
                 (group ? "Group " + numberText(step.groupNo) : "Retry round " + numberText(step.round)) +
                     " cannot be previewed: " + result.error);
            return;
    }
}

void applyRolloutStartFailure(S_Rollout& rollout, const S_Rollout& beforePreview, std::uint32_t upgradeNo,
                              const std::string& error)
{
    rollout = beforePreview;
    halt(rollout, "Upgrade task " + numberText(upgradeNo) + " cannot be started: " + error);
}

void recoverRolloutAfterRestart(S_Rollout& rollout, const std::optional<S_RolloutTaskView>& finishedTask,
                                std::int64_t now)
{
    const bool wasRunning = rollout.status == E_RolloutStatus::RUNNING;
    const S_RolloutActiveTask task = rollout.activeTask;
    if (task.upgradeNo != 0)
    {
        if (finishedTask && !finishedTask->active && finishedTask->upgradeNo == task.upgradeNo)
        {
            applyRolloutTaskView(rollout, *finishedTask, now);
        }
        else
        {
            // The task was previewed but never ran: its devices are as they were before it.
            for (S_RolloutDevice& device : rollout.devices)
            {
                if (device.upgradeNo == task.upgradeNo && device.result == E_RolloutDeviceResult::RUNNING)
                {
                    device.result = E_RolloutDeviceResult::PENDING;
                }
            }
            if (S_RolloutGroup* group =
                    task.kind == E_RolloutTaskKind::GROUP ? findGroup(rollout, task.groupNo) : nullptr)
            {
                group->status = E_RolloutGroupStatus::ABORTED;
            }
            rollout.activeTask = {};
            if (task.abortIntent == E_RolloutAbortIntent::CANCEL)
            {
                finish(rollout, E_RolloutStatus::CANCELLED, kCancelledByOperator, now);
            }
        }
    }
    // What a soak watched is gone with the process: the group soaks again when the rollout runs.
    rollout.soak.startedAt = 0;
    rollout.soak.endsAt = 0;
    if (wasRunning && rollout.status == E_RolloutStatus::RUNNING)
    {
        pause(rollout, kRolloutRestartReason);
    }
}

S_RolloutCounts countRolloutDevices(const S_Rollout& rollout)
{
    S_RolloutCounts counts;
    for (const S_RolloutDevice& device : rollout.devices)
    {
        counts.add(device.result);
    }
    return counts;
}

S_RolloutCounts countGroupDevices(const S_Rollout& rollout, std::uint32_t groupNo)
{
    S_RolloutCounts counts;
    for (const S_RolloutDevice& device : rollout.devices)
    {
        if (device.groupNo == groupNo)
        {
            counts.add(device.result);
        }
    }
    return counts;
}

}  // namespace ota::backend
