#include "api/api_router.h"

#include "api/audit_recording.h"
#include "api/audit_trail.h"
#include "api/firmware_store_adapters.h"
#include "api/loopback_guard.h"
#include "api/route_roles.h"
#include "api/session_adapters.h"
#include "api/static_asset_reply.h"
#include "common/clock.h"

namespace ota::backend
{

bool areApiCallbacksComplete(const S_ApiCallbacks& callbacks)
{
    return callbacks.health && callbacks.systemCapacity && callbacks.workspace && callbacks.sceneReload &&
           callbacks.firmwareInspect && callbacks.upgradePreview && callbacks.upgradeStart &&
           callbacks.upgradeAbort && callbacks.currentUpgrade && callbacks.upgradeHistory &&
           callbacks.upgradeHistoryClear && callbacks.deviceStatus && callbacks.deviceFrames &&
           callbacks.frameCapture && callbacks.deviceStatusQuery && callbacks.deviceReconnect;
}

CApiRouter::CApiRouter(S_ApiCallbacks callbacks) : m_callbacks(std::move(callbacks))
{
    constexpr E_CallbackLane quick = E_CallbackLane::Quick;
    constexpr E_CallbackLane operation = E_CallbackLane::Operation;
    const S_ApiCallbacks& c = m_callbacks;
    const auto plain = [this](E_CallbackLane lane, std::string_view method, std::string_view path,
                              std::string_view code, unsigned failure, unsigned success,
                              const JsonHandler& handler)
    {
        m_routes.push_back({method, path, lane,
                            [method, path, code, failure, success, &handler](const S_ApiRequest&)
                            { return invokeHandler(method, path, code, failure, handler, success); }});
    };
    const auto withBody = [this](std::string_view path, std::string_view code, const JsonBodyHandler& handler)
    {
        // Both body routes digest firmware files.
        m_routes.push_back({"POST", path, E_CallbackLane::Operation,
                            [path, code, &handler](const S_ApiRequest& request)
                            { return invokeJsonHandler(path, code, handler, &request); }});
    };

    // The operation lane takes the routes that take the upgrade-operation mutex or digest files.
    plain(quick, "GET", "/api/v1/health", "SERVICE_UNAVAILABLE", 503, 200, c.health);
    plain(quick, "GET", "/api/v1/system/capacity", "SYSTEM_CAPACITY_UNAVAILABLE", 503, 200, c.systemCapacity);
    plain(quick, "GET", "/api/v1/workspace", "WORKSPACE_UNAVAILABLE", 503, 200, c.workspace);
    plain(operation, "POST", "/api/v1/scene/reload", "SCENE_RELOAD_FAILED", 500, 200, c.sceneReload);
    withBody("/api/v1/firmware/inspect", "FIRMWARE_INSPECTION_REJECTED", c.firmwareInspect);
    withBody("/api/v1/upgrades/preview", "UPGRADE_PREVIEW_REJECTED", c.upgradePreview);
    if (c.upgradeStartRefusing)
    {
        m_routes.push_back({"POST", "/api/v1/upgrades/start", operation, [&c](const S_ApiRequest&) {
                                return invokeUpgradeStartHandler("/api/v1/upgrades/start",
                                                                 c.upgradeStartRefusing);
                            }});
    }
    else
    {
        plain(operation, "POST", "/api/v1/upgrades/start", "UPGRADE_START_REJECTED", 409, 202,
              c.upgradeStart);
    }
    m_routes.push_back(
        {"POST", "/api/v1/upgrades/:upgradeNo/abort", operation, [&c](const S_ApiRequest& request) {
             return invokeUpgradeAbortHandler("/api/v1/upgrades/:upgradeNo/abort", c.upgradeAbort, &request);
         }});
    plain(quick, "GET", "/api/v1/upgrades/current", "CURRENT_UPGRADE_UNAVAILABLE", 503, 200,
          c.currentUpgrade);
    m_routes.push_back({"GET", "/api/v1/upgrades/history", operation,
                        [&c](const S_ApiRequest& request)
                        {
                            return invokeHistoryHandler("/api/v1/upgrades/history", c.upgradeHistory,
                                                        c.upgradeHistoryPage, &request);
                        }});
    plain(operation, "POST", "/api/v1/upgrades/history/clear", "UPGRADE_HISTORY_CLEAR_REJECTED", 409, 200,
          c.upgradeHistoryClear);
    plain(quick, "GET", "/api/v1/devices/status", "DEVICE_STATUS_UNAVAILABLE", 503, 200, c.deviceStatus);
    plain(quick, "GET", "/api/v1/devices/frames", "DEVICE_FRAME_TRACE_UNAVAILABLE", 503, 200, c.deviceFrames);
    m_routes.push_back({"POST", "/api/v1/devices/frames/capture", quick, [&c](const S_ApiRequest& request) {
                            return invokeFrameCaptureHandler("/api/v1/devices/frames/capture", c.frameCapture,
                                                             &request);
                        }});
    plain(quick, "POST", "/api/v1/devices/status-query", "DEVICE_STATUS_QUERY_FAILED", 503, 202,
          c.deviceStatusQuery);
    plain(quick, "POST", "/api/v1/devices/reconnect", "DEVICE_RECONNECT_FAILED", 503, 202, c.deviceReconnect);

    // Served only when configured, so that without them the API answers exactly as before.
    if (c.accessControl)
    {
        // Anyone who can connect may log in, and each login or logout is audited with durable
        // writes: on the record lane a flood of them never holds up health and the quick routes.
        constexpr E_CallbackLane record = E_CallbackLane::Record;
        CApiAccessControl& access = *c.accessControl;
        m_routes.push_back({"POST", kLoginPath, record, [&access](const S_ApiRequest& request) {
                                return invokeLogin(kLoginPath, access, request);
                            }});
        m_routes.push_back({"POST", kLogoutPath, record, [&access](const S_ApiRequest& request) {
                                return invokeLogout(kLogoutPath, access, request);
                            }});
        m_routes.push_back({"GET", kLoginPath, quick, [](const S_ApiRequest&) {
                                return invokeSessionInfo(kLoginPath, currentActingUser());
                            }});
    }
    if (c.metrics)
    {
        m_routes.push_back({"GET", kMetricsPath, quick, [&c](const S_ApiRequest&) {
                                return invokeMetricsHandler(kMetricsPath, c.metrics);
                            }});
    }
    if (c.auditList)
    {
        m_routes.push_back({"GET", "/api/v1/audit", quick, [&c](const S_ApiRequest& request) {
                                return invokeAuditListHandler("/api/v1/audit", c.auditList, request);
                            }});
    }
    if (c.auditVerify)
    {
        plain(quick, "GET", "/api/v1/audit/verify", "AUDIT_UNAVAILABLE", 503, 200, c.auditVerify);
    }
    if (c.firmwareStoreList)
    {
        m_routes.push_back({"GET", kFirmwareStorePath, quick, [&c](const S_ApiRequest& request) {
                                return invokeFirmwareStoreListHandler(kFirmwareStorePath, c.firmwareStoreList,
                                                                      request);
                            }});
    }
    if (c.firmwareStoreDelete)
    {
        m_routes.push_back({"POST", "/api/v1/firmware/store/:sha256/delete", operation,
                            [&c](const S_ApiRequest& request)
                            {
                                return invokeFirmwareStoreDeleteHandler(
                                    "/api/v1/firmware/store/:sha256/delete", c.firmwareStoreDelete, &request);
                            }});
    }
    addOptionalRoutes();
    addFirmwareStoreWriteRoutes();
}

void CApiRouter::addFirmwareStoreWriteRoutes()
{
    const S_ApiCallbacks& c = m_callbacks;
    if (c.firmwareStoreUpload)
    {
        m_routes.push_back({"POST", kFirmwareStorePath, E_CallbackLane::Upload,
                            [&c](const S_ApiRequest& request)
                            {
                                return invokeFirmwareStoreUploadHandler(kFirmwareStorePath,
                                                                        c.firmwareStoreUpload,
                                                                        c.firmwareStoreUploadLimit, request);
                            }});
    }
    if (c.firmwareStoreSignature)
    {
        m_routes.push_back({"POST", "/api/v1/firmware/store/:sha256/signature", E_CallbackLane::Operation,
                            [&c](const S_ApiRequest& request)
                            {
                                return invokeFirmwareStoreSignatureHandler(
                                    "/api/v1/firmware/store/:sha256/signature", c.firmwareStoreSignature,
                                    request);
                            }});
    }
}

std::optional<std::uint64_t> CApiRouter::streamedBodyLimit(const S_HttpRequestView& request) const
{
    if (!m_callbacks.firmwareStoreUpload || request.method != "POST" ||
        pathOf(request.target) != kFirmwareStorePath)
    {
        return std::nullopt;
    }
    return m_callbacks.firmwareStoreUploadLimit;
}

void CApiRouter::addOptionalRoutes()
{
    const S_ApiCallbacks& c = m_callbacks;
    constexpr E_CallbackLane operation = E_CallbackLane::Operation;
    if (c.upgradeRetry)
    {
        // Digests the task's files again, as a preview does.
        m_routes.push_back({"POST", "/api/v1/upgrades/:upgradeNo/retry", operation,
                            [&c](const S_ApiRequest& request)
                            {
                                return invokeUpgradeBodyHandler("/api/v1/upgrades/:upgradeNo/retry",
                                                                "UPGRADE_PREVIEW_REJECTED", c.upgradeRetry,
                                                                &request);
                            }});
    }
    if (c.rolloutCreate)
    {
        // Digests the rollout's files.
        m_routes.push_back({"POST", "/api/v1/rollouts", operation, [&c](const S_ApiRequest& request) {
                                return invokeJsonHandler("/api/v1/rollouts", "ROLLOUT_REJECTED",
                                                         c.rolloutCreate, &request);
                            }});
    }
    if (c.rolloutConverge)
    {
        // A rollout back to the baseline: digests its files as a create does.
        m_routes.push_back(
            {"POST", "/api/v1/rollouts/converge", operation, [&c](const S_ApiRequest& request) {
                 return invokeJsonHandler("/api/v1/rollouts/converge", "ROLLOUT_REJECTED", c.rolloutConverge,
                                          &request);
             }});
    }
    const auto readRoute = [this](std::string_view path, const JsonHandler& handler)
    {
        m_routes.push_back({"GET", path, E_CallbackLane::Quick, [path, &handler](const S_ApiRequest&) {
                                return invokeHandler("GET", path, "ROLLOUT_UNAVAILABLE", 503, handler, 200);
                            }});
    };
    if (c.rolloutList)
    {
        readRoute("/api/v1/rollouts", c.rolloutList);
    }
    if (c.rolloutCurrent)
    {
        readRoute("/api/v1/rollouts/current", c.rolloutCurrent);
    }
    // The operations take the upgrade-operation mutex, as previews and starts do.
    const auto operationRoute = [this](std::string_view path, const RolloutNumberHandler& handler)
    {
        if (handler)
        {
            m_routes.push_back({"POST", path, E_CallbackLane::Operation,
                                [path, &handler](const S_ApiRequest& request)
                                { return invokeRolloutNumberHandler(path, handler, &request); }});
        }
    };
    operationRoute("/api/v1/rollouts/:rolloutNo/start", c.rolloutStart);
    operationRoute("/api/v1/rollouts/:rolloutNo/pause", c.rolloutPause);
    operationRoute("/api/v1/rollouts/:rolloutNo/resume", c.rolloutResume);
    operationRoute("/api/v1/rollouts/:rolloutNo/cancel", c.rolloutCancel);
    addApprovalRoutes();
    addSiteHoldRoutes();
    addBaselineRoutes();
}

void CApiRouter::addApprovalRoutes()
{
    const S_ApiCallbacks& c = m_callbacks;
    // A decision takes the upgrade-operation mutex, as the operations do.
    const auto decisionRoute = [this](std::string_view path, const RolloutNumberBodyHandler& handler)
    {
        if (handler)
        {
            m_routes.push_back({"POST", path, E_CallbackLane::Operation,
                                [path, &handler](const S_ApiRequest& request)
                                { return invokeRolloutNumberBodyHandler(path, handler, &request); }});
        }
    };
    decisionRoute("/api/v1/rollouts/:rolloutNo/approve", c.rolloutApprove);
    decisionRoute("/api/v1/rollouts/:rolloutNo/reject", c.rolloutReject);
    if (c.previewApprove)
    {
        m_routes.push_back({"POST", "/api/v1/upgrades/preview/approve", E_CallbackLane::Operation,
                            [&c](const S_ApiRequest& request) {
                                return invokePreviewApproveHandler("/api/v1/upgrades/preview/approve",
                                                                   c.previewApprove, &request);
                            }});
    }
    if (c.approvals)
    {
        m_routes.push_back({"GET", "/api/v1/approvals", E_CallbackLane::Quick, [&c](const S_ApiRequest&) {
                                return invokeHandler("GET", "/api/v1/approvals", "APPROVALS_UNAVAILABLE", 503,
                                                     c.approvals, 200);
                            }});
    }
}

void CApiRouter::addSiteHoldRoutes()
{
    const S_ApiCallbacks& c = m_callbacks;
    if (c.siteHolds)
    {
        m_routes.push_back({"GET", "/api/v1/site/holds", E_CallbackLane::Quick, [&c](const S_ApiRequest&) {
                                return invokeHandler("GET", "/api/v1/site/holds", "SITE_HOLDS_UNAVAILABLE",
                                                     503, c.siteHolds, 200);
                            }});
    }
    // Each writes the store durably and may abort a running task, as the abort route does.
    if (c.siteHoldPlace)
    {
        m_routes.push_back(
            {"POST", "/api/v1/site/holds", E_CallbackLane::Operation, [&c](const S_ApiRequest& request) {
                 return invokeSiteHoldPlaceHandler("/api/v1/site/holds", c.siteHoldPlace, &request);
             }});
    }
    if (c.siteHoldRelease)
    {
        m_routes.push_back({"POST", "/api/v1/site/holds/:source/release", E_CallbackLane::Operation,
                            [&c](const S_ApiRequest& request) {
                                return invokeSiteHoldReleaseHandler("/api/v1/site/holds/:source/release",
                                                                    c.siteHoldRelease, &request);
                            }});
    }
}

std::string_view CApiRouter::routeOf(std::string_view path) const
{
    std::optional<std::string_view> parameter;
    for (const S_Route& route : m_routes)
    {
        if (matches(route.pattern, path, parameter))
        {
            return route.pattern;
        }
    }
    return path == kEventsPath ? kEventsPath : std::string_view();
}

std::vector<std::string_view> CApiRouter::routePatterns() const
{
    std::vector<std::string_view> patterns;
    for (const S_Route& route : m_routes)
    {
        patterns.push_back(route.pattern);
    }
    patterns.push_back(kEventsPath);
    return patterns;
}

std::string_view CApiRouter::pathOf(std::string_view target)
{
    return target.substr(0, target.find_first_of("?#"));
}

std::string_view CApiRouter::queryOf(std::string_view target)
{
    const std::size_t question = target.find_first_of("?#");
    if (question == std::string_view::npos || target[question] != '?')
    {
        return {};
    }
    const std::string_view rest = target.substr(question + 1);
    return rest.substr(0, rest.find('#'));
}

bool CApiRouter::matches(std::string_view pattern, std::string_view path,
                         std::optional<std::string_view>& parameter)
{
    parameter.reset();
    const std::size_t marker = pattern.find("/:");
    if (marker == std::string_view::npos)
    {
        return pattern == path;
    }
    // One parameter segment: the prefix up to it and the suffix after it must match literally.
    const std::string_view prefix = pattern.substr(0, marker + 1);
    const std::size_t segmentEnd = pattern.find('/', marker + 1);
    const std::string_view suffix =
        segmentEnd == std::string_view::npos ? std::string_view() : pattern.substr(segmentEnd);
    if (path.size() < prefix.size() + suffix.size() || !path.starts_with(prefix) || !path.ends_with(suffix))
    {
        return false;
    }
    const std::string_view value = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (value.find('/') != std::string_view::npos)
    {
        return false;
    }
    parameter = value;
    return true;
}

std::optional<S_HttpReply> CApiRouter::checkCaller(const S_HttpRequestView& request,
                                                   std::string_view logPath) const
{
    for (const std::string_view host : request.hosts)
    {
        if (!isLoopbackHostHeader(host))
        {
            return rejectRequest(request.method, logPath, 403, "FORBIDDEN_HOST",
                                 "Host header must name a loopback host (127.0.0.1, [::1] or localhost)");
        }
    }
    for (const std::string_view origin : request.origins)
    {
        if (!isLoopbackOrigin(origin))
        {
            return rejectRequest(request.method, logPath, 403, "FORBIDDEN_ORIGIN",
                                 "Origin must be a loopback origin (127.0.0.1, [::1] or localhost)");
        }
    }
    return std::nullopt;
}

bool CApiRouter::needsAccess(std::string_view method, std::string_view path) const
{
    if (!m_callbacks.accessControl)
    {
        return false;
    }
    if ((method == "GET" && path == kHealthPath) || (method == "POST" && path == kLoginPath))
    {
        return false;
    }
    // The console's own files hold no data and are served to anyone.
    return path.starts_with("/api/") || path == kMetricsPath;
}

std::optional<S_HttpReply> CApiRouter::checkAccess(const S_HttpRequestView& request, std::string_view logPath,
                                                   std::string* grantingSession,
                                                   S_ActingUser& principal) const
{
    principal = S_ActingUser{};
    const std::string_view path = pathOf(request.target);
    if (!needsAccess(request.method, path))
    {
        return std::nullopt;
    }
    std::string session;
    const E_AccessVerdict verdict = m_callbacks.accessControl->check(request.credentials, session, principal);
    if (grantingSession != nullptr)
    {
        *grantingSession = std::move(session);
    }
    if (verdict == E_AccessVerdict::GRANTED)
    {
        return std::nullopt;
    }
    return rejectUnauthorized(request.method, logPath, verdict);
}

std::optional<S_HttpReply> CApiRouter::checkRole(const S_Route& route, const S_ActingUser& principal)
{
    // Only a checked request has a principal: without access control, and on the routes open to
    // anyone, there is no role to check.
    if (!principal.known() || routeNeedsNoRole(route.method, route.pattern))
    {
        return std::nullopt;
    }
    const S_RouteRole needed = routeRoleOf(route.method, route.pattern);
    if (roleAllows(principal.role, needed.least))
    {
        return std::nullopt;
    }
    return rejectRequest(
        route.method, route.pattern, 403, "INSUFFICIENT_ROLE",
        "The role " + std::string(roleName(principal.role)) + " may not " + std::string(needed.what));
}

bool CApiRouter::servesUnderLoad(const S_HttpRequestView& request, bool upgrade, bool sendsBody) const
{
    if (m_callbacks.accessControl)
    {
        if (m_callbacks.accessControl->wouldGrant(request.credentials))
        {
            return true;
        }
        // A health check is answered as soon as its header is in; one that sends a body would hold
        // the place for as long as the body takes, which only the operator may.
        return !sendsBody && request.method == "GET" && pathOf(request.target) == kHealthPath;
    }
    // Every request is the operator's here; the event stream goes on to places of its own.
    return upgrade || (request.method == "GET" && pathOf(request.target) == kHealthPath);
}

std::optional<std::size_t> CApiRouter::findPostRoute(const S_HttpRequestView& request,
                                                     std::optional<std::string_view>& parameter) const
{
    if (request.method != "POST")
    {
        return std::nullopt;
    }
    const std::string_view path = pathOf(request.target);
    for (std::size_t index = 0; index < m_routes.size(); ++index)
    {
        if (m_routes[index].method == "POST" && matches(m_routes[index].pattern, path, parameter))
        {
            return index;
        }
    }
    parameter.reset();
    return std::nullopt;
}

CApiRouter::S_RouteCall CApiRouter::makeCall(std::size_t route, const S_HttpRequestView& request,
                                             std::optional<std::string_view> parameter) const
{
    S_RouteCall call;
    call.route = route;
    call.lane = m_routes[route].lane;
    call.request = S_ApiRequest{request.body, parameter, queryOf(request.target), request.credentials};
    call.client = std::string(request.client);
    call.takenUpAt = currentUnixMs();
    return call;
}

CApiRouter::Dispatch CApiRouter::refuseRoute(std::optional<std::size_t> route,
                                             const S_HttpRequestView& request,
                                             std::optional<std::string_view> parameter, S_HttpReply reply,
                                             const S_ActingUser& user) const
{
    if (!route || !m_callbacks.auditTrail)
    {
        return reply;
    }
    // Recorded on the record lane: a durable write never runs on an I/O thread.
    S_RouteCall call = makeCall(*route, request, parameter);
    call.lane = E_CallbackLane::Record;
    call.refusal = std::move(reply);
    call.user = user;
    return call;
}

CApiRouter::Dispatch CApiRouter::refuse(const S_HttpRequestView& request, S_HttpReply reply) const
{
    std::optional<std::string_view> parameter;
    const std::optional<std::size_t> route = findPostRoute(request, parameter);
    return refuseRoute(route, request, parameter, std::move(reply));
}

S_HttpReply CApiRouter::invoke(const S_RouteCall& call) const
{
    const S_Route& route = m_routes.at(call.route);
    if (m_callbacks.auditTrail && route.method == "POST")
    {
        return invokeAudited(route, call);
    }
    if (call.refusal)
    {
        return *call.refusal;
    }
    const CActingUserScope actingUser(call.user);
    return route.invoke(call.request);
}

S_HttpReply CApiRouter::invokeAudited(const S_Route& route, const S_RouteCall& call) const
{
    IApiAuditTrail& trail = *m_callbacks.auditTrail;
    S_AuditRecord record;
    record.at = call.takenUpAt;
    record.client = call.client;
    record.method = std::string(route.method);
    record.route = std::string(route.pattern);
    record.user = call.user.name;
    record.authenticatedBy = call.user.authenticatedBy;
    noteIdentifiersOfPath(route.pattern, call.request.parameter, record);
    // The login's body holds the token: nothing of it may reach the trail.
    if (route.pattern != kLoginPath)
    {
        noteIdentifiersOfBody(call.request.body, record);
    }
    if (call.refusal)
    {
        noteOutcome(*call.refusal, record);
        trail.record(record);
        return *call.refusal;
    }
    // No operation runs unrecorded: the entry is durable before the callback starts.
    std::int64_t entryId = 0;
    std::string error;
    if (!trail.begin(record, entryId, error))
    {
        return rejectRequest(route.method, route.pattern, 503, "AUDIT_UNAVAILABLE",
                             "The audit trail cannot record the request, so it was not run: " + error);
    }
    S_HttpReply reply;
    {
        const CActingUserScope actingUser(call.user);
        if (route.pattern == kLoginPath && m_callbacks.accessControl)
        {
            // The login learns who acts only as it runs; its outcome names them.
            S_ActingUser loggedIn;
            reply = invokeLogin(kLoginPath, *m_callbacks.accessControl, call.request, &loggedIn);
            record.user = loggedIn.name;
            record.authenticatedBy = loggedIn.authenticatedBy;
        }
        else
        {
            reply = route.invoke(call.request);
        }
    }
    noteOutcome(reply, record);
    trail.complete(entryId, record);
    return reply;
}

CApiRouter::Dispatch CApiRouter::dispatch(const S_HttpRequestView& request) const
{
    const std::string_view path = pathOf(request.target);
    std::optional<std::string_view> postParameter;
    const std::optional<std::size_t> postRoute = findPostRoute(request, postParameter);
    const S_Route* pathMatch = nullptr;
    std::optional<std::size_t> methodMatch;
    std::optional<std::string_view> parameter;
    std::string allowed;
    for (std::size_t index = 0; index < m_routes.size(); ++index)
    {
        const S_Route& route = m_routes[index];
        std::optional<std::string_view> routeParameter;
        if (!matches(route.pattern, path, routeParameter))
        {
            continue;
        }
        pathMatch = &route;
        if (route.method == request.method)
        {
            methodMatch = index;
            parameter = routeParameter;
            break;
        }
        allowed.append(allowed.empty() ? "" : ", ").append(route.method);
    }
    const std::string_view logPath = pathMatch != nullptr ? pathMatch->pattern : path;

    // Access comes first: without it nothing else about the request is looked at.
    S_ActingUser principal;
    if (std::optional<S_HttpReply> refusal = checkAccess(request, logPath, nullptr, principal))
    {
        return refuseRoute(postRoute, request, postParameter, std::move(*refusal));
    }
    if (std::optional<S_HttpReply> refusal = checkCaller(request, logPath))
    {
        return refuseRoute(postRoute, request, postParameter, std::move(*refusal), principal);
    }
    if (methodMatch)
    {
        if (std::optional<S_HttpReply> refusal = checkRole(m_routes[*methodMatch], principal))
        {
            return refuseRoute(postRoute, request, postParameter, std::move(*refusal), principal);
        }
        S_RouteCall call = makeCall(*methodMatch, request, parameter);
        call.user = std::move(principal);
        return call;
    }
    if (path == kEventsPath)
    {
        if (request.method != "GET")
        {
            S_HttpReply reply = rejectRequest(
                request.method, path, 405, "METHOD_NOT_ALLOWED",
                "Method " + std::string(request.method) + " is not allowed for " + std::string(path));
            reply.allow = "GET";
            return reply;
        }
        return rejectRequest(request.method, path, 426, "WEBSOCKET_UPGRADE_REQUIRED",
                             "Path /api/v1/events accepts WebSocket upgrade requests only");
    }
    if (pathMatch == nullptr)
    {
        // Files are looked up only for paths no route takes, so they can never shadow the API.
        // The lookup and the copy of the body are quick enough for the I/O thread.
        if (m_callbacks.staticAssets)
        {
            if (const S_StaticAsset* asset = m_callbacks.staticAssets(path))
            {
                const std::string_view host =
                    request.hosts.empty() ? std::string_view() : request.hosts.front();
                return buildStaticAssetReply(request.method, path, host, *asset);
            }
        }
        return rejectRequest(request.method, path, 404, "NOT_FOUND",
                             "No API route matches path " + std::string(path));
    }
    S_HttpReply reply = rejectRequest(
        request.method, logPath, 405, "METHOD_NOT_ALLOWED",
        "Method " + std::string(request.method) + " is not allowed for " + std::string(logPath));
    reply.allow = std::move(allowed);
    return reply;
}

bool CApiRouter::isSessionLive(const std::string& session) const
{
    return !m_callbacks.accessControl || m_callbacks.accessControl->isSessionLive(session);
}

std::optional<S_HttpReply> CApiRouter::checkEventStreamUpgrade(const S_HttpRequestView& request,
                                                               std::string& session) const
{
    session.clear();
    const std::string_view path = pathOf(request.target);
    // The event stream needs viewer, the least role: any principal may open it.
    S_ActingUser principal;
    if (std::optional<S_HttpReply> refusal = checkAccess(request, path, &session, principal))
    {
        refusal->closeConnection = true;
        return refusal;
    }
    if (std::optional<S_HttpReply> refusal = checkCaller(request, path))
    {
        refusal->closeConnection = true;
        return refusal;
    }
    if (path != kEventsPath)
    {
        S_HttpReply reply = rejectRequest(request.method, path, 404, "NOT_FOUND",
                                          "No WebSocket endpoint matches path " + std::string(path));
        reply.closeConnection = true;
        return reply;
    }
    return std::nullopt;
}

}  // namespace ota::backend
