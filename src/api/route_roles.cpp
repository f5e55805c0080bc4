#include "api/route_roles.h"

#include <array>

namespace ota::backend
{

namespace
{

struct S_RouteRoleEntry
{
    std::string_view pattern;
    E_Role least;
    std::string_view what;
};

constexpr E_Role kOperator = E_Role::OPERATOR;
constexpr E_Role kApprover = E_Role::APPROVER;
constexpr E_Role kAdmin = E_Role::ADMIN;

// The POST routes. Abort stays with operators: stopping what runs is never withheld from the
// people who start it.
constexpr std::array kPostRoles{
    S_RouteRoleEntry{"/api/v1/firmware/inspect", kOperator, "inspect firmware"},
    S_RouteRoleEntry{"/api/v1/upgrades/preview", kOperator, "preview an upgrade"},
    S_RouteRoleEntry{"/api/v1/upgrades/start", kOperator, "start an upgrade"},
    S_RouteRoleEntry{"/api/v1/upgrades/:upgradeNo/abort", kOperator, "abort an upgrade"},
    S_RouteRoleEntry{"/api/v1/upgrades/:upgradeNo/retry", kOperator, "retry an upgrade task"},
    S_RouteRoleEntry{"/api/v1/rollouts", kOperator, "create a rollout"},
    S_RouteRoleEntry{"/api/v1/rollouts/converge", kOperator, "converge the site to the baseline"},
    S_RouteRoleEntry{"/api/v1/rollouts/:rolloutNo/start", kOperator, "start a rollout"},
    S_RouteRoleEntry{"/api/v1/rollouts/:rolloutNo/pause", kOperator, "pause a rollout"},
    S_RouteRoleEntry{"/api/v1/rollouts/:rolloutNo/resume", kOperator, "resume a rollout"},
    S_RouteRoleEntry{"/api/v1/rollouts/:rolloutNo/cancel", kOperator, "cancel a rollout"},
    S_RouteRoleEntry{"/api/v1/devices/status-query", kOperator, "query device status"},
    S_RouteRoleEntry{"/api/v1/devices/reconnect", kOperator, "reconnect devices"},
    S_RouteRoleEntry{"/api/v1/devices/frames/capture", kOperator, "switch frame capture"},
    S_RouteRoleEntry{"/api/v1/site/holds", kOperator, "place a site hold"},
    S_RouteRoleEntry{"/api/v1/site/holds/:source/release", kOperator, "release a site hold"},
    S_RouteRoleEntry{"/api/v1/firmware/store", kOperator, "upload firmware"},
    S_RouteRoleEntry{"/api/v1/firmware/store/:sha256/signature", kOperator, "add a firmware signature"},
    S_RouteRoleEntry{"/api/v1/rollouts/:rolloutNo/approve", kApprover, "approve a rollout"},
    S_RouteRoleEntry{"/api/v1/rollouts/:rolloutNo/reject", kApprover, "reject a rollout"},
    S_RouteRoleEntry{"/api/v1/upgrades/preview/approve", kApprover, "approve an upgrade preview"},
    S_RouteRoleEntry{"/api/v1/upgrades/history/clear", kAdmin, "clear the upgrade history"},
    S_RouteRoleEntry{"/api/v1/scene/reload", kAdmin, "reload the scene"},
    S_RouteRoleEntry{"/api/v1/firmware/store/:sha256/delete", kAdmin, "delete stored firmware"},
};

constexpr std::string_view kBaselinePrefix = "/api/v1/baseline";

}  // namespace

S_RouteRole routeRoleOf(std::string_view method, std::string_view pattern)
{
    if (method == "GET")
    {
        return {E_Role::VIEWER, "read"};
    }
    for (const S_RouteRoleEntry& entry : kPostRoles)
    {
        if (entry.pattern == pattern)
        {
            return {entry.least, entry.what};
        }
    }
    if (pattern == kBaselinePrefix || pattern.starts_with("/api/v1/baseline/"))
    {
        return {kAdmin, "change the baseline"};
    }
    return {kAdmin, "call this route"};
}

bool routeNeedsNoRole(std::string_view method, std::string_view pattern)
{
    return method == "POST" && (pattern == "/api/v1/session" || pattern == "/api/v1/session/logout");
}

}  // namespace ota::backend
