#pragma once

#include "api/api_callbacks.h"
#include "app/backend_application.h"
#include "app/upgrade_routes.h"
#include "site_holds/site_holds.h"

#include <string>
#include <vector>

namespace ota::backend
{

// {"held": bool, "holds": [{"source", "reason", "placedAt", "expiresAt"}]}: the answer of every
// hold route and the "site.holds" event.
std::string siteHoldsJson(const std::vector<S_SiteHold>& holds);
// "<source>: <reason>" of every hold, "; " between them.
std::string siteHoldsText(const std::vector<S_SiteHold>& holds);
// "The site is held: " and the holds' text.
std::string siteHeldMessage(const std::vector<S_SiteHold>& holds);

// A place request: exactly {"source", "reason", "ttlSeconds"}; false with the message otherwise.
struct S_SiteHoldRequest
{
    std::string source;
    std::string reason;
    std::uint32_t ttlSeconds = 0;
};
bool readSiteHoldRequest(const std::string& requestJson, S_SiteHoldRequest& request, std::string& error);

// GET /api/v1/site/holds, POST /api/v1/site/holds and POST /api/v1/site/holds/:source/release. The
// POSTs hold the upgrade-operation mutex, so a hold and a start never interleave.
void addSiteHoldRoutes(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services,
                       S_ApiCallbacks& callbacks);

// Every change of the holds: the "site.holds" event, the rollouts told, and while held the running
// task's abort. Before the rollouts start, so that they know of holds kept from before a restart.
void observeSiteHolds(CBackendApplication::S_Impl& app, const S_UpgradeRouteServices& services);

}  // namespace ota::backend
