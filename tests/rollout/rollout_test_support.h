#pragma once

// Plans, task states and a recording task driver for the rollout tests.
#include "rollout/rollout_machine.h"
#include "rollout/rollout_task_driver.h"
#include "rollout/rollout_types.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ota::test
{

// A plan of `devices` devices "dev-1".."dev-N", one EMU target each, bound to one file.
ota::backend::S_RolloutPlan makePlan(std::size_t devices, ota::backend::S_RolloutPolicy policy = {},
                                     const std::string& rolloutId = "site");
ota::backend::RolloutPlanPtr sharedPlan(std::size_t devices, ota::backend::S_RolloutPolicy policy = {});

// A state of task `upgradeNo` for the given devices; each device's result given by `results`
// ("PENDING", "SUCCESS", "FAILED", "FAILED_FLASHING" (failed after the flash could have started),
// "ABORTED"), absent ones PENDING.
ota::backend::S_RolloutTaskView taskView(
    std::uint32_t upgradeNo, const std::vector<std::string>& nodeIds,
    const std::map<std::string, std::string>& results, bool active,
    ota::backend::E_RolloutTaskStatus status = ota::backend::E_RolloutTaskStatus::RUNNING);

// The results of the rollout's devices by node id.
std::map<std::string, ota::backend::E_RolloutDeviceResult> resultsOf(const ota::backend::S_Rollout& rollout);

// Records what the rollout service asks; each preview answers with `previewAnswer` (by default a
// task numbered 100, 101, ... of every device). Every call is recorded under a mutex, and waiters
// are woken.
class CRecordingDriver : public ota::backend::IRolloutTaskDriver
{
public:
    std::function<ota::backend::S_RolloutPreviewResult(const ota::backend::S_RolloutTaskRequest&)>
        previewAnswer;
    bool startSucceeds = true;
    // Called (once, then cleared) when a start is asked, before it is answered: what happens
    // between a task's preview and its start.
    std::function<void()> beforeStart;
    bool taskActive = false;
    std::map<std::uint32_t, ota::backend::S_RolloutTaskView> finishedTasks;

    void runExclusive(const std::function<void()>& work) override;
    ota::backend::S_RolloutPreviewResult previewTask(
        const ota::backend::S_RolloutTaskRequest& request) override;
    bool startTask(std::uint32_t upgradeNo, std::string& error) override;
    bool abortTask(std::uint32_t upgradeNo, std::string& error) override;
    bool isTaskActive() override;
    std::optional<ota::backend::S_RolloutTaskView> readFinishedTask(std::uint32_t upgradeNo) override;

    std::vector<ota::backend::S_RolloutTaskRequest> previews() const;
    std::vector<std::uint32_t> started() const;
    std::vector<std::uint32_t> aborted() const;
    // Exclusive sections run to their end so far: the rollout thread's passes.
    std::size_t passes() const;
    // Waits (bounded) until `count` tasks were started; false on timeout.
    bool waitStarted(std::size_t count) const;
    bool waitAborted(std::size_t count) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::mutex m_exclusive;
    std::vector<ota::backend::S_RolloutTaskRequest> m_previews;
    std::vector<std::uint32_t> m_started;
    std::vector<std::uint32_t> m_aborted;
    std::uint32_t m_nextUpgradeNo = 100;
    std::size_t m_passes = 0;
};

}  // namespace ota::test
