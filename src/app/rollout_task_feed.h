#pragma once

#include "rollout/rollout_service.h"
#include "rollout/rollout_task_driver.h"
#include "upgrade/upgrade_execution_service.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

// The one place where what the execution engine publishes about a task (its execution state
// document, also the final report) becomes the rollout's typed view of that task. False when the
// document is not a usable execution state.
bool rolloutTaskViewFromState(const nlohmann::json& state, S_RolloutTaskView& view);

// The state observer that hands every published state to the rollouts after the inner observer
// (recording and broadcasting) has seen it.
UpgradeStateObserver feedStatesToRollouts(UpgradeStateObserver inner, CRolloutService& rollouts);

}  // namespace ota::backend
