#pragma once

#include "history/upgrade_history_repository.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace ota::backend
{

// The final state of a task whose process ended while it ran, from its last stored state: the
// status becomes "STOPPED" and every device that had not completed ends as a stop of the service
// would have ended it: one still waiting for its turn "ABORTED", one inside its workflow "FAILED"
// with a detail saying the backend restarted. Completed devices and everything else are kept.
// False with a reason when the last state is not a usable execution state.
bool buildInterruptedTaskFinalState(const nlohmann::json& lastState, std::int64_t finishedAt,
                                    nlohmann::json& finalState, std::string& reason);

// Start-up, after the compatibility check. A record still RUNNING or ABORTING belongs to a process
// that was killed or lost power: none will ever finish it, the history would claim a task is still
// running, and retention would keep it for ever. Each is finalised "STOPPED" from its last state;
// a record that cannot be finalised is left as it is with a warning. Returns how many were finalised.
std::size_t finalizeInterruptedHistoryAtStartup(CUpgradeHistoryRepository& repository);

}  // namespace ota::backend
