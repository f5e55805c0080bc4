#pragma once

#include "rollout/rollout_task_driver.h"
#include "rollout/rollout_types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ota::backend
{

// The rollout state machine: every change of a rollout, as functions of the rollout, the moment
// and what happened. No threads, no I/O: the rollout service calls these under its lock and then
// stores and publishes the result.

// The reason of a rollout that was RUNNING when the backend stopped.
extern const char* const kRolloutRestartReason;

enum class E_RolloutOperation : std::uint8_t
{
    START,
    PAUSE,
    RESUME,
    CANCEL,
};

const char* rolloutOperationName(E_RolloutOperation operation);

// What an operation must know besides the rollout.
struct S_RolloutOperationContext
{
    std::int64_t now = 0;
    bool taskActive = false;  // an upgrade task runs (the rollout's own or another)
    // Another open rollout (SCHEDULED, RUNNING, PAUSED or HALTED), if there is one.
    std::uint32_t otherOpenRolloutNo = 0;
    E_RolloutStatus otherOpenStatus = E_RolloutStatus::READY;
};

// Applies an operator's operation; false with the reason (and the rollout unchanged) when refused.
bool applyRolloutOperation(S_Rollout& rollout, E_RolloutOperation operation,
                           const S_RolloutOperationContext& context, std::string& refusal);

// The rollout's task is to be aborted (threshold or cancel) and nobody has asked the engine yet.
bool rolloutAbortPending(const S_Rollout& rollout);

// A state of the rollout's running task: device results, the failure count, the threshold (which
// marks the task for an abort) and, once the task has ended, the gate of its group. True when the
// rollout changed. States of other tasks change nothing.
bool applyRolloutTaskView(S_Rollout& rollout, const S_RolloutTaskView& view, std::int64_t now);

// An operator aborted this task through the upgrade abort route: if it is the rollout's task, its
// group ends ABORTED and the rollout HALTS when the task has ended.
bool noteOperatorAbort(S_Rollout& rollout, std::uint32_t upgradeNo);

enum class E_RolloutStepKind : std::uint8_t
{
    NONE,          // nothing to do now
    WAIT_UNTIL,    // SCHEDULED: nothing until `until`
    LAUNCH_GROUP,  // preview and start a task for `nodeIds` of group `groupNo`
    LAUNCH_RETRY,  // preview and start retry round `round` for `nodeIds`
};

struct S_RolloutStep
{
    E_RolloutStepKind kind = E_RolloutStepKind::NONE;
    std::int64_t until = 0;
    std::uint32_t groupNo = 0;
    std::uint32_t round = 0;
    std::vector<std::string> nodeIds;
};

// What a SCHEDULED or RUNNING rollout with no task does next. On the way it makes the changes that
// need no task: SCHEDULED to RUNNING at the start time, a PAUSE at the window's end, a group whose
// devices all succeeded already passing, the move to the retry rounds and the final status.
S_RolloutStep nextRolloutStep(S_Rollout& rollout, std::int64_t now);

// The upgrade identifier a step's task is named after: rolloutId + "_g" + group number for a
// group, rolloutId + "_r" + round for a retry round; attempt 2 and later (the name is taken in the
// history) append "_" + attempt. At most 32 characters.
std::string rolloutTaskUpgradeId(const std::string& rolloutId, const S_RolloutStep& step, unsigned attempt);

// The outcome of a step's preview: refused devices SKIPPED, the task's devices RUNNING and the
// task recorded as running, or the group judged (no device), or the rollout HALTED.
void applyRolloutPreview(S_Rollout& rollout, const S_RolloutStep& step, const S_RolloutPreviewResult& result);

// The previewed task could not be started: the rollout as it was before the preview, HALTED.
void applyRolloutStartFailure(S_Rollout& rollout, const S_Rollout& beforePreview, std::uint32_t upgradeNo,
                              const std::string& error);

// Start-up: the task the rollout ran when the backend stopped ended with the given final state
// (empty: it never ran); a RUNNING rollout becomes PAUSED with the restart as its reason.
void recoverRolloutAfterRestart(S_Rollout& rollout, const std::optional<S_RolloutTaskView>& finishedTask,
                                std::int64_t now);

// A group whose devices all have their result (and soaked, with a soak): HALTED when the failures
// reached maxFailedDevices, else the SUCCESS share decides (passed, or FAILED and HALTED).
void decideGroupGate(S_Rollout& rollout, std::uint32_t groupNo);

// Devices of the rollout (or of one group) counted by their result now.
S_RolloutCounts countRolloutDevices(const S_Rollout& rollout);
S_RolloutCounts countGroupDevices(const S_Rollout& rollout, std::uint32_t groupNo);

}  // namespace ota::backend
