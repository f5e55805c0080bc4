#include "app/rollout_task_feed.h"

#include "app/state_observer_chain.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "history/state_vocabulary.h"
#include "protocol/protocol_enums.h"

#include <exception>
#include <string_view>

namespace ota::backend
{

namespace
{

using nlohmann::json;

// The stage level of FLASHING in the document's stage names (state_vocabulary.h).
constexpr int kFlashingStageLevel = 6;

E_RolloutTaskStatus taskStatusOf(E_UpgradeTaskStatus status)
{
    switch (status)
    {
        case E_UpgradeTaskStatus::ABORTING:
            return E_RolloutTaskStatus::ABORTING;
        case E_UpgradeTaskStatus::SUCCESS:
            return E_RolloutTaskStatus::SUCCESS;
        case E_UpgradeTaskStatus::FAILED:
            return E_RolloutTaskStatus::FAILED;
        case E_UpgradeTaskStatus::ABORTED:
            return E_RolloutTaskStatus::ABORTED;
        case E_UpgradeTaskStatus::STOPPED:
            return E_RolloutTaskStatus::STOPPED;
        case E_UpgradeTaskStatus::IDLE:
        case E_UpgradeTaskStatus::RUNNING:
            break;
    }
    return E_RolloutTaskStatus::RUNNING;
}

E_RolloutTaskDeviceResult deviceResultOf(E_DeviceResult result)
{
    switch (result)
    {
        case E_DeviceResult::SUCCESS:
            return E_RolloutTaskDeviceResult::SUCCESS;
        case E_DeviceResult::FAILED:
            return E_RolloutTaskDeviceResult::FAILED;
        case E_DeviceResult::ABORTED:
            return E_RolloutTaskDeviceResult::ABORTED;
        case E_DeviceResult::PENDING:
            break;
    }
    return E_RolloutTaskDeviceResult::PENDING;
}

bool taskStatusOf(std::string_view text, E_RolloutTaskStatus& status)
{
    static constexpr std::pair<std::string_view, E_RolloutTaskStatus> kStatuses[] = {
        {"RUNNING", E_RolloutTaskStatus::RUNNING}, {"ABORTING", E_RolloutTaskStatus::ABORTING},
        {"SUCCESS", E_RolloutTaskStatus::SUCCESS}, {"FAILED", E_RolloutTaskStatus::FAILED},
        {"ABORTED", E_RolloutTaskStatus::ABORTED}, {"STOPPED", E_RolloutTaskStatus::STOPPED},
    };
    for (const auto& [name, value] : kStatuses)
    {
        if (text == name)
        {
            status = value;
            return true;
        }
    }
    return false;
}

E_RolloutTaskDeviceResult deviceResultOf(std::string_view text)
{
    if (text == "SUCCESS")
    {
        return E_RolloutTaskDeviceResult::SUCCESS;
    }
    if (text == "FAILED")
    {
        return E_RolloutTaskDeviceResult::FAILED;
    }
    if (text == "ABORTED")
    {
        return E_RolloutTaskDeviceResult::ABORTED;
    }
    return E_RolloutTaskDeviceResult::PENDING;
}

}  // namespace

S_RolloutTaskView rolloutTaskViewFromState(const S_ExecutionState& state)
{
    S_RolloutTaskView view;
    view.upgradeNo = state.task ? state.task->upgradeNo : 0;
    view.active = state.active;
    view.status = taskStatusOf(state.status);
    view.devices.reserve(state.devices.size());
    for (std::size_t index = 0; index < state.devices.size(); ++index)
    {
        const S_DeviceExecutionState& device = state.devices[index];
        S_RolloutTaskDevice entry;
        if (state.task && index < state.task->devices.size())
        {
            entry.nodeId = state.task->devices[index].nodeId;
        }
        entry.result = deviceResultOf(device.result);
        entry.error = device.detailText;
        // As from the document: from the flashing stage on, the command may have been accepted.
        entry.flashMayHaveStarted =
            device.stage == static_cast<std::uint8_t>(E_ProtocolStage::FLASHING) ||
            device.stage == static_cast<std::uint8_t>(E_ProtocolStage::RESTART_VERIFICATION);
        view.devices.push_back(std::move(entry));
    }
    return view;
}

bool rolloutTaskViewFromState(const json& state, S_RolloutTaskView& view)
{
    try
    {
        S_RolloutTaskView parsed;
        parsed.upgradeNo = state.at("upgradeNo").get<std::uint32_t>();
        parsed.active = state.at("active").get<bool>();
        if (!taskStatusOf(state.at("status").get_ref<const std::string&>(), parsed.status))
        {
            return false;
        }
        for (const json& device : state.at("devices"))
        {
            S_RolloutTaskDevice entry;
            entry.nodeId = device.at("nodeId").get<std::string>();
            entry.result = deviceResultOf(device.at("result").get_ref<const std::string&>());
            entry.error = device.at("error").get<std::string>();
            // The document does not say whether the flashing command was accepted; from the
            // FLASHING stage on it may have been, and such a device is never retried.
            entry.flashMayHaveStarted =
                stageLevel(device.at("stage").get_ref<const std::string&>()) >= kFlashingStageLevel;
            parsed.devices.push_back(std::move(entry));
        }
        view = std::move(parsed);
        return true;
    }
    catch (const std::exception&)
    {
        return false;
    }
}

UpgradeStateSnapshotObserver feedStatesToRollouts(UpgradeStateSnapshotObserver inner,
                                                  CRolloutService& rollouts)
{
    // The rollouts see every state even when recording or broadcasting it failed.
    return chainStateObserver(
        std::move(inner),
        [&rollouts](const ExecutionStatePtr& state)
        {
            if (!state)
            {
                return;
            }
            try
            {
                rollouts.onTaskState(rolloutTaskViewFromState(*state));
            }
            catch (const std::exception& exception)
            {
                consoleErr(std::string("[WARN] [ROLLOUT] Upgrade state cannot be applied to the rollouts: ") +
                           exception.what());
            }
        });
}

}  // namespace ota::backend
