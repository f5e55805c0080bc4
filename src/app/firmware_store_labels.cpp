#include "app/firmware_store_labels.h"

#include "app/state_observer_chain.h"
#include "common/console_log.h"
#include "common/digest.h"

#include <exception>
#include <map>

namespace ota::backend
{

std::vector<std::pair<FirmwareDigest, S_FirmwareStoreLabel>> firmwareLabelsOfEndedTask(
    const S_UpgradeTaskSnapshot& snapshot, const S_ExecutionState& state)
{
    std::vector<std::pair<FirmwareDigest, S_FirmwareStoreLabel>> labels;
    if (!state.task || !isFinalTaskStatus(state.status) || state.task->upgradeId != snapshot.upgradeId)
    {
        return labels;
    }
    std::map<std::uint8_t, FirmwareDigest> digestByFileNo;
    for (const S_FirmwareFileInfo& file : snapshot.files)
    {
        digestByFileNo[file.fileNo] = file.sha256;
    }
    const S_ExecutionTaskIdentity& task = *state.task;
    for (std::size_t deviceIndex = 0; deviceIndex < task.devices.size() && deviceIndex < state.devices.size();
         ++deviceIndex)
    {
        // A device ends SUCCESS only once every one of its components did.
        if (state.devices[deviceIndex].result != E_DeviceResult::SUCCESS)
        {
            continue;
        }
        const S_DeviceIdentity& device = task.devices[deviceIndex];
        for (std::size_t index = device.firstComponent;
             index < device.firstComponent + device.componentCount && index < task.components.size(); ++index)
        {
            const S_ComponentIdentity& component = task.components[index];
            for (const S_UpgradeTarget& target : snapshot.targets)
            {
                const auto file = digestByFileNo.find(target.fileNo);
                if (target.nodeId == device.nodeId && target.componentTypeId == component.componentTypeId &&
                    target.componentIndex == component.componentIndex && file != digestByFileNo.end())
                {
                    labels.push_back({file->second, {target.componentTypeId, target.targetVersion}});
                }
            }
        }
    }
    return labels;
}

UpgradeStateSnapshotObserver labelFirmwareOfEndedTasks(UpgradeStateSnapshotObserver inner,
                                                       CFirmwareStore& store,
                                                       const CUpgradeTaskService& taskService)
{
    // The labels are written even when recording or broadcasting the state failed.
    return chainStateObserver(
        std::move(inner),
        [&store, &taskService](const ExecutionStatePtr& state)
        {
            const UpgradeTaskSnapshotPtr snapshot =
                state && isFinalTaskStatus(state->status) ? taskService.currentSnapshot() : nullptr;
            if (!snapshot)
            {
                return;
            }
            for (const auto& [digest, label] : firmwareLabelsOfEndedTask(*snapshot, *state))
            {
                std::string error;
                if (!store.addLabels(digest, {label}, error) && !error.empty())
                {
                    consoleErr("[WARN] Firmware store label of " + toLowerHex(digest) +
                               " not written: " + error);
                }
            }
        });
}

}  // namespace ota::backend
