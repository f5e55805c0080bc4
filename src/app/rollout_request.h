#pragma once

#include "rollout/rollout_types.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ota::backend
{

// POST /api/v1/rollouts as it arrives: exactly rolloutId, targets and files, and optionally
// policy. The targets and files are checked later, by the preview's own checks.
struct S_RolloutRequest
{
    std::string rolloutId;
    nlohmann::json targets;
    nlohmann::json files;
    S_RolloutPolicy policy;  // defaults filled
};

// Shape, identifier and policy; false with the message ("request." paths like the preview's).
bool readRolloutRequest(const std::string& requestJson, S_RolloutRequest& request, std::string& error);

}  // namespace ota::backend
