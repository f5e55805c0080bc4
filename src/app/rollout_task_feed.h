#pragma once

#include "rollout/rollout_service.h"
#include "rollout/rollout_task_driver.h"
#include "upgrade/upgrade_execution_service.h"

#include <nlohmann/json.hpp>

namespace ota::backend
{

// Where what the execution engine says about a task becomes the rollout's view of that task: from
// the typed state it publishes, and from a stored document (a state or the final report, read
// back from the history). The latter is false when the document is not a usable execution state.
S_RolloutTaskView rolloutTaskViewFromState(const S_ExecutionState& state);
bool rolloutTaskViewFromState(const nlohmann::json& state, S_RolloutTaskView& view);

// The state observer that hands every published state to the rollouts after the inner observer
// (recording and broadcasting) has seen it.
UpgradeStateSnapshotObserver feedStatesToRollouts(UpgradeStateSnapshotObserver inner,
                                                  CRolloutService& rollouts);

}  // namespace ota::backend
