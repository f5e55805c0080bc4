#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"
#include "app/upgrade_routes.h"

namespace ota::backend
{

// The sixteen route callbacks of the application, in the order the API server takes them, and the
// optional ones (rollouts, retry, history pages).
S_ApiCallbacks buildApiCallbacks(CBackendApplication::S_Impl& app);

// What the upgrade routes (and the rollouts' tasks) use of the application.
S_UpgradeRouteServices upgradeRouteServicesOf(CBackendApplication::S_Impl& app);

}  // namespace ota::backend
