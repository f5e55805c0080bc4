#pragma once

#include "api/api_callbacks.h"
#include "app/upgrade_routes.h"

#include <string>

namespace ota::backend
{

// POST /api/v1/upgrades/:upgradeNo/retry with exactly {"upgradeId": ...}: previews a new task of
// the finished task's targets whose device did not end SUCCESS, with the files those targets use
// (digested again; a file whose SHA-256 changed since the finished task's preview refuses it).
// Answers as the preview route; the task is started with the ordinary start route.
void addTaskRetryRoute(const S_UpgradeRouteServices& services, S_ApiCallbacks& callbacks);

// The retry's body: exactly {"upgradeId": <string>}; false with the message ("request." paths).
// Pure: the identifier itself is checked by the preview the retry makes.
bool readRetryBody(const std::string& requestJson, std::string& upgradeId, std::string& error);

}  // namespace ota::backend
