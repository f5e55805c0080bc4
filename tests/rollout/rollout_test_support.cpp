#include "rollout/rollout_test_support.h"

#include <chrono>
#include <utility>

namespace ota::test
{

using namespace ota::backend;

S_RolloutPlan makePlan(std::size_t devices, S_RolloutPolicy policy, const std::string& rolloutId)
{
    S_RolloutPlan plan;
    plan.rolloutId = rolloutId;
    for (std::size_t i = 1; i <= devices; ++i)
    {
        plan.targets.push_back(
            S_RolloutTarget{"dev-" + std::to_string(i), "EMU", 1, "1.0.0", "emu:emu", false});
    }
    plan.files.push_back(S_RolloutFile{"emu:emu", "/firmware/emu.bin", "2.0.0", std::string(64, 'a')});
    plan.policy = std::move(policy);
    return plan;
}

RolloutPlanPtr sharedPlan(std::size_t devices, S_RolloutPolicy policy)
{
    return std::make_shared<const S_RolloutPlan>(makePlan(devices, std::move(policy)));
}

S_RolloutTaskView taskView(std::uint32_t upgradeNo, const std::vector<std::string>& nodeIds,
                           const std::map<std::string, std::string>& results, bool active,
                           E_RolloutTaskStatus status)
{
    S_RolloutTaskView view;
    view.upgradeNo = upgradeNo;
    view.active = active;
    view.status = status;
    for (const std::string& nodeId : nodeIds)
    {
        S_RolloutTaskDevice device;
        device.nodeId = nodeId;
        const auto found = results.find(nodeId);
        const std::string result = found == results.end() ? "PENDING" : found->second;
        if (result == "SUCCESS")
        {
            device.result = E_RolloutTaskDeviceResult::SUCCESS;
            device.flashMayHaveStarted = true;
        }
        else if (result == "FAILED" || result == "FAILED_FLASHING")
        {
            device.result = E_RolloutTaskDeviceResult::FAILED;
            device.error =
                result == "FAILED" ? "等待文件分片确认连续无响应超时" : "装置阶段执行失败: INTERNAL_ERROR";
            device.flashMayHaveStarted = result == "FAILED_FLASHING";
        }
        else if (result == "ABORTED")
        {
            device.result = E_RolloutTaskDeviceResult::ABORTED;
        }
        view.devices.push_back(std::move(device));
    }
    return view;
}

std::map<std::string, E_RolloutDeviceResult> resultsOf(const S_Rollout& rollout)
{
    std::map<std::string, E_RolloutDeviceResult> results;
    for (const S_RolloutDevice& device : rollout.devices)
    {
        results[device.nodeId] = device.result;
    }
    return results;
}

void CRecordingDriver::runExclusive(const std::function<void()>& work)
{
    std::lock_guard<std::mutex> exclusive(m_exclusive);
    work();
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_passes;
}

std::size_t CRecordingDriver::passes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_passes;
}

S_RolloutPreviewResult CRecordingDriver::previewTask(const S_RolloutTaskRequest& request)
{
    std::function<S_RolloutPreviewResult(const S_RolloutTaskRequest&)> answer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_previews.push_back(request);
        answer = previewAnswer;
    }
    if (answer)
    {
        return answer(request);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    S_RolloutPreviewResult result;
    result.outcome = E_RolloutPreviewOutcome::PREVIEWED;
    result.upgradeNo = m_nextUpgradeNo++;
    return result;
}

bool CRecordingDriver::startTask(std::uint32_t upgradeNo, std::string& error)
{
    if (beforeStart)
    {
        const std::function<void()> hook = std::exchange(beforeStart, nullptr);
        hook();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!startSucceeds)
    {
        error = "Another upgrade task is active";
        return false;
    }
    m_started.push_back(upgradeNo);
    m_changed.notify_all();
    return true;
}

bool CRecordingDriver::abortTask(std::uint32_t upgradeNo, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    m_aborted.push_back(upgradeNo);
    m_changed.notify_all();
    return true;
}

bool CRecordingDriver::isTaskActive()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return taskActive;
}

std::optional<S_RolloutTaskView> CRecordingDriver::readFinishedTask(std::uint32_t upgradeNo)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = finishedTasks.find(upgradeNo);
    return found == finishedTasks.end() ? std::nullopt : std::optional<S_RolloutTaskView>(found->second);
}

std::vector<S_RolloutTaskRequest> CRecordingDriver::previews() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_previews;
}

std::vector<std::uint32_t> CRecordingDriver::started() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_started;
}

std::vector<std::uint32_t> CRecordingDriver::aborted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_aborted;
}

bool CRecordingDriver::waitStarted(std::size_t count) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_started.size() >= count; });
}

bool CRecordingDriver::waitAborted(std::size_t count) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_aborted.size() >= count; });
}

}  // namespace ota::test
