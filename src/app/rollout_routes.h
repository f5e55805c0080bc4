#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"
#include "app/upgrade_routes.h"

namespace ota::backend
{

// POST /api/v1/rollouts, GET /api/v1/rollouts and /api/v1/rollouts/current, and the start, pause,
// resume and cancel of a rollout. Creating and operating hold the upgrade-operation mutex, so they
// never interleave with a preview, a start or an abort.
void addRolloutRoutes(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                      S_ApiCallbacks& callbacks);

// Finished rollouts older than the history's retention are deleted with the finished tasks.
void cleanupRolloutRetention(CBackendApplication::S_Impl& app);

}  // namespace ota::backend
