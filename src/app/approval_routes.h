#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"
#include "app/upgrade_routes.h"

#include <string>

namespace ota::backend
{

class CUpgradeActorStore;

// POST /api/v1/rollouts/:rolloutNo/approve, POST /api/v1/rollouts/:rolloutNo/reject,
// POST /api/v1/upgrades/preview/approve and GET /api/v1/approvals, served when approvals are
// configured. Each decision names the acting user, and its refusals name who prepared what.
void addApprovalRoutes(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                       S_ApiCallbacks& callbacks);

// The history answer's records gain startedBy, abortedBy, previewedBy and approvedBy ("" when
// nobody was recorded). False with the error when the actors cannot be read.
bool addUpgradeActors(CUpgradeActorStore& actors, std::string& historyJson, std::string& error);

}  // namespace ota::backend
