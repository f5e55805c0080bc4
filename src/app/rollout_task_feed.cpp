#include "app/rollout_task_feed.h"

#include "common/console_log.h"
#include "common/json_text.h"
#include "history/state_vocabulary.h"

#include <exception>
#include <string_view>

namespace ota::backend
{

namespace
{

using nlohmann::json;

// The stage level of FLASHING in the document's stage names (state_vocabulary.h).
constexpr int kFlashingStageLevel = 6;

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

UpgradeStateObserver feedStatesToRollouts(UpgradeStateObserver inner, CRolloutService& rollouts)
{
    return [inner = std::move(inner), &rollouts](const std::string& stateJson)
    {
        if (inner)
        {
            inner(stateJson);
        }
        json state;
        std::string error;
        S_RolloutTaskView view;
        if (!parseJsonText(stateJson, state, error) || !rolloutTaskViewFromState(state, view))
        {
            consoleErr("[WARN] [ROLLOUT] Upgrade state cannot be read for the rollouts" +
                       (error.empty() ? std::string() : ": " + error));
            return;
        }
        try
        {
            rollouts.onTaskState(view);
        }
        catch (const std::exception& exception)
        {
            consoleErr(std::string("[WARN] [ROLLOUT] Upgrade state cannot be applied to the rollouts: ") +
                       exception.what());
        }
    };
}

}  // namespace ota::backend
