#include "history/history_contracts.h"

// The history's contracts on typed states, for the running task whose states arrive typed and whose
// last persisted state is kept typed in memory: the execution state contract (the rules of
// execution_state_contract.cpp a typed record can break) and the monotonic contract (the rules of
// state_monotonic_check.cpp), in the same order and with the same reasons as on stored documents.

#include <map>

namespace ota::backend
{

namespace
{

int statusLevel(E_UpgradeTaskStatus status)
{
    switch (status)
    {
        case E_UpgradeTaskStatus::RUNNING:
            return 1;
        case E_UpgradeTaskStatus::ABORTING:
            return 2;
        case E_UpgradeTaskStatus::IDLE:
            return 0;
        default:
            return 3;
    }
}

// The order of a workflow stage (1 for "连接与状态同步" ... 7 for "重启验证"); 0 for no stage.
int stageLevel(std::uint8_t stage)
{
    return stage <= 6 ? stage + 1 : 0;
}

bool isTerminal(E_DeviceResult result)
{
    return result == E_DeviceResult::SUCCESS || result == E_DeviceResult::FAILED ||
           result == E_DeviceResult::ABORTED;
}

// A time takes part only when both are not negative, as in the document check.
bool timeDecreased(std::int64_t newTime, std::int64_t oldTime)
{
    return newTime >= 0 && oldTime >= 0 && newTime < oldTime;
}

struct S_DeviceView
{
    const S_DeviceIdentity* identity = nullptr;
    const S_DeviceExecutionState* shown = nullptr;
    const S_ComponentIdentity* componentIdentities = nullptr;
    const S_ComponentExecutionState* components = nullptr;
};

S_DeviceView viewOf(const S_ExecutionState& state, std::size_t index)
{
    const S_DeviceIdentity& identity = state.task->devices[index];
    return {&identity, &state.devices[index], state.task->components.data() + identity.firstComponent,
            state.components.data() + identity.firstComponent};
}

std::string targetKey(const S_ComponentIdentity& component)
{
    return component.componentTypeId + "#" + std::to_string(component.componentIndex);
}

bool checkDevice(const S_DeviceView& newDevice, const S_DeviceView& oldDevice, const std::string& prefix,
                 std::string& reason)
{
    if (newDevice.shown->workflowProgress < oldDevice.shown->workflowProgress)
    {
        reason = prefix + "进度发生回退";
        return false;
    }
    if (oldDevice.shown->completed && !newDevice.shown->completed)
    {
        reason = prefix + "完成标志发生回退";
        return false;
    }
    if (isTerminal(oldDevice.shown->result) && newDevice.shown->result != oldDevice.shown->result)
    {
        reason = prefix + "终态结果发生改变";
        return false;
    }
    const int newStage = stageLevel(newDevice.shown->stage);
    const int oldStage = stageLevel(oldDevice.shown->stage);
    if (newStage != 0 && oldStage != 0 && newStage < oldStage)
    {
        reason = prefix + "协议阶段发生回退";
        return false;
    }
    if (newDevice.shown->currentFileNo < oldDevice.shown->currentFileNo)
    {
        reason = prefix + "当前文件编号发生回退";
        return false;
    }
    return true;
}

bool checkTargets(const S_DeviceView& newDevice, const S_DeviceView& oldDevice, const std::string& prefix,
                  std::string& reason)
{
    for (std::size_t oldIndex = 0; oldIndex < oldDevice.identity->componentCount; ++oldIndex)
    {
        const S_ComponentIdentity& oldIdentity = oldDevice.componentIdentities[oldIndex];
        const S_ComponentExecutionState* newTarget = nullptr;
        for (std::size_t newIndex = 0; newIndex < newDevice.identity->componentCount; ++newIndex)
        {
            const S_ComponentIdentity& candidate = newDevice.componentIdentities[newIndex];
            if (candidate.componentTypeId == oldIdentity.componentTypeId &&
                candidate.componentIndex == oldIdentity.componentIndex)
            {
                newTarget = &newDevice.components[newIndex];
                break;
            }
        }
        if (newTarget == nullptr)
        {
            reason = prefix + "缺少已有升级部件";
            return false;
        }
        const S_ComponentExecutionState& oldTarget = oldDevice.components[oldIndex];
        const int newLevel = stageLevel(newTarget->stateStage);
        const int oldLevel = stageLevel(oldTarget.stateStage);
        if (newLevel != 0 && oldLevel != 0 && newLevel < oldLevel)
        {
            reason = prefix + "的部件" + targetKey(oldIdentity) + "协议阶段发生回退";
            return false;
        }
        // A device that has just ended keeps the progress of the stage it ended in (see the
        // document check).
        const bool endsNow = newDevice.shown->completed && !oldDevice.shown->completed;
        if (!endsNow && !(newLevel > oldLevel) &&
            newTarget->componentStageProgress < oldTarget.componentStageProgress)
        {
            reason = prefix + "的部件" + targetKey(oldIdentity) + "同阶段进度发生回退";
            return false;
        }
    }
    return true;
}

bool outside(const std::string& field, std::string& reason)
{
    reason = field + " is outside the supported range";
    return false;
}

bool empty(const std::string& field, std::string& reason)
{
    reason = field + " must not be empty";
    return false;
}

}  // namespace

bool validateExecutionState(const S_ExecutionState& state, std::string& reason)
{
    reason.clear();
    const S_ExecutionTaskIdentity& task = *state.task;
    if (task.upgradeNo == 0)
    {
        return outside("state.upgradeNo", reason);
    }
    if (task.configuredDeviceConcurrency == 0)
    {
        return outside("state.configuredDeviceConcurrency", reason);
    }
    if (task.recommendedDeviceConcurrency == 0)
    {
        return outside("state.recommendedDeviceConcurrency", reason);
    }
    if (task.workerCount == 0 || task.workerCount > 65535)
    {
        return outside("state.deviceConcurrency", reason);
    }
    if (state.devices.empty() || state.devices.size() > 0xFFFFFFFFu)
    {
        return outside("state.deviceCount", reason);
    }
    if (state.startedAt < 0)
    {
        reason = "state.startedAt must not be negative";
        return false;
    }
    if (state.finishedAt < 0)
    {
        reason = "state.finishedAt must not be negative";
        return false;
    }
    if (state.status == E_UpgradeTaskStatus::IDLE)
    {
        reason = "state.status is not supported";
        return false;
    }
    if (task.upgradeId.empty())
    {
        return empty("state.upgradeId", reason);
    }
    for (std::size_t index = 0; index < state.devices.size(); ++index)
    {
        const std::string path = "state.devices[" + std::to_string(index) + "]";
        const S_DeviceIdentity& device = task.devices[index];
        const std::pair<const char*, const std::string*> texts[] = {{"nodeId", &device.nodeId},
                                                                    {"nodeName", &device.nodeName},
                                                                    {"nodeTypeId", &device.nodeTypeId},
                                                                    {"address", &device.address}};
        for (const auto& [key, text] : texts)
        {
            if (text->empty())
            {
                return empty(path + "." + key, reason);
            }
        }
        if (device.port == 0)
        {
            return outside(path + ".port", reason);
        }
        if (state.devices[index].workflowProgress > 100)
        {
            return outside(path + ".workflowProgress", reason);
        }
        for (std::size_t target = 0; target < device.componentCount; ++target)
        {
            const std::string targetPath = path + ".targets[" + std::to_string(target) + "]";
            const S_ComponentIdentity& component = task.components[device.firstComponent + target];
            if (component.componentTypeId.empty())
            {
                return empty(targetPath + ".componentTypeId", reason);
            }
            if (component.componentIndex < 1 || component.componentIndex > 255)
            {
                return outside(targetPath + ".componentIndex", reason);
            }
            if (state.components[device.firstComponent + target].componentStageProgress > 100)
            {
                return outside(targetPath + ".componentStageProgress", reason);
            }
        }
    }
    return true;
}

bool checkStateMonotonic(const S_ExecutionState& newState, const S_ExecutionState& persistedState,
                         std::string& reason)
{
    reason.clear();
    const S_ExecutionCounts newCounts = countExecutionState(newState);
    const S_ExecutionCounts oldCounts = countExecutionState(persistedState);
    const std::pair<const char*, std::pair<std::uint64_t, std::uint64_t>> counts[] = {
        {"deviceCount", {newState.devices.size(), persistedState.devices.size()}},
        {"completedCount", {newCounts.completed, oldCounts.completed}},
        {"successCount", {newCounts.success, oldCounts.success}},
        {"failedCount", {newCounts.failed, oldCounts.failed}},
        {"abortedCount", {newCounts.aborted, oldCounts.aborted}},
    };
    for (const auto& [key, values] : counts)
    {
        if (values.first < values.second)
        {
            reason = std::string("状态字段") + key + "发生回退";
            return false;
        }
    }
    if (persistedState.active && !newState.active && !isFinalTaskStatus(newState.status))
    {
        reason = "运行态active标志发生回退";
        return false;
    }
    const int newLevel = statusLevel(newState.status);
    const int oldLevel = statusLevel(persistedState.status);
    if (newLevel != 0 && oldLevel != 0 && newLevel < oldLevel)
    {
        reason = "任务状态阶段发生回退";
        return false;
    }
    if (timeDecreased(newState.startedAt, persistedState.startedAt))
    {
        reason = "startedAt发生回退";
        return false;
    }
    if (timeDecreased(newState.finishedAt, persistedState.finishedAt))
    {
        reason = "finishedAt发生回退";
        return false;
    }
    // The devices of the new state by id; within one task the identities are the same object.
    const bool sameTask = newState.task == persistedState.task;
    std::map<std::string, std::size_t> newDevices;
    if (!sameTask)
    {
        for (std::size_t i = 0; i < newState.devices.size(); ++i)
        {
            newDevices.emplace(newState.task->devices[i].nodeId, i);
        }
    }
    std::vector<std::size_t> matched(persistedState.devices.size());
    for (std::size_t i = 0; i < persistedState.devices.size(); ++i)
    {
        const std::string& nodeId = persistedState.task->devices[i].nodeId;
        if (sameTask)
        {
            matched[i] = i;
        }
        else
        {
            const auto found = newDevices.find(nodeId);
            if (found == newDevices.end())
            {
                reason = "状态快照缺少已有装置" + nodeId;
                return false;
            }
            matched[i] = found->second;
        }
        if (!checkDevice(viewOf(newState, matched[i]), viewOf(persistedState, i), "装置" + nodeId, reason))
        {
            return false;
        }
    }
    for (std::size_t i = 0; i < persistedState.devices.size(); ++i)
    {
        if (!checkTargets(viewOf(newState, matched[i]), viewOf(persistedState, i),
                          "装置" + persistedState.task->devices[i].nodeId, reason))
        {
            return false;
        }
    }
    return true;
}

}  // namespace ota::backend
