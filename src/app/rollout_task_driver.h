#pragma once

#include "app/upgrade_routes.h"
#include "rollout/rollout_task_driver.h"

namespace ota::backend
{

// Rollout tasks as ordinary upgrade tasks: each is previewed (a new task snapshot and history
// row), started and aborted through the same work as the preview, start and abort routes, under
// the same upgrade-operation mutex. The rollout gate does not apply to the rollout's own tasks.
class CRolloutTaskDriver final : public IRolloutTaskDriver
{
public:
    explicit CRolloutTaskDriver(S_UpgradeRouteServices services);

    void runExclusive(const std::function<void()>& work) override;
    S_RolloutPreviewResult previewTask(const S_RolloutTaskRequest& request) override;
    bool startTask(std::uint32_t upgradeNo, std::string& error) override;
    bool abortTask(std::uint32_t upgradeNo, std::string& error) override;
    bool isTaskActive() override;
    std::optional<S_RolloutTaskView> readFinishedTask(std::uint32_t upgradeNo) override;

private:
    const S_UpgradeRouteServices m_services;
    // The per-type caps of the task previewed last, for its start (rollout thread only).
    std::uint32_t m_previewedUpgradeNo = 0;
    S_UpgradeTaskOptions m_previewedTaskOptions;
};

// The text a group's preview refuses with when a file no longer has the digest the rollout kept.
extern const char* const kRolloutFileChangedMessage;

}  // namespace ota::backend
