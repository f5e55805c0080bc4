#pragma once

#include "rollout/rollout_types.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ota::backend
{

// The rollout document of the API and of the "rollout.current" event.
nlohmann::json rolloutDocument(const S_Rollout& rollout);

// The policy with every key, defaults filled.
nlohmann::json rolloutPolicyToJson(const S_RolloutPolicy& policy);

// What the store keeps of a rollout: its plan, written once, and its state, written at every
// change (the document plus what the state machine needs after a restart).
nlohmann::json rolloutPlanToJson(const S_RolloutPlan& plan);
bool rolloutPlanFromJson(const nlohmann::json& value, S_RolloutPlan& plan, std::string& error);
nlohmann::json rolloutStateToJson(const S_Rollout& rollout);
// The part of the stored state that is not in the document (rolloutStateToJson is the document
// with this as its "runtime" member).
nlohmann::json rolloutRuntimeToJson(const S_Rollout& rollout);
// Fills everything but rolloutNo and plan.
bool rolloutStateFromJson(const nlohmann::json& value, S_Rollout& rollout, std::string& error);

}  // namespace ota::backend
