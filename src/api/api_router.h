#pragma once

#include "api/access_control.h"
#include "api/api_adapters.h"
#include "api/api_callbacks.h"
#include "api/api_envelope.h"
#include "api/callback_lanes.h"
#include "common/acting_user.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ota::backend
{

// A request as the transport read it; views into the transport's buffers.
struct S_HttpRequestView
{
    std::string_view method;
    std::string_view target;
    std::vector<std::string_view> hosts;    // every Host header value
    std::vector<std::string_view> origins;  // every Origin header value
    std::string_view body;
    S_RequestCredentials credentials;  // every Authorization and Cookie header value
    std::string_view client;           // address:port of the peer
};

// The route table of the API and the checks every request passes before its route runs.
// Immutable after construction, so the I/O threads and the callback lanes share it without locking.
//
// Two properties hold for every route, whatever the table holds:
// - with access control, a request under /api/ or to /metrics is checked for the token or a
//   session before anything else (GET /api/v1/health and the login are exempt), and then for the
//   least role its route needs (api/route_roles.h): 403 "INSUFFICIENT_ROLE" below it;
// - with an audit trail, every request to a POST route leaves one entry: written before its
//   callback runs and completed with the outcome before the answer goes out, or, for a request
//   refused before it could run, written once with that refusal.
class CApiRouter
{
public:
    static constexpr std::string_view kEventsPath = "/api/v1/events";
    static constexpr std::string_view kHealthPath = "/api/v1/health";
    static constexpr std::string_view kLoginPath = "/api/v1/session";
    static constexpr std::string_view kLogoutPath = "/api/v1/session/logout";
    static constexpr std::string_view kMetricsPath = "/metrics";
    static constexpr std::string_view kFirmwareStorePath = "/api/v1/firmware/store";

    // A request matched to its route, to be run on the route's lane. The request views point into
    // the transport's buffers, which must stay untouched until invoke has returned.
    struct S_RouteCall
    {
        std::size_t route = 0;
        E_CallbackLane lane = E_CallbackLane::Quick;
        S_ApiRequest request;
        std::string client;
        std::int64_t takenUpAt = 0;  // Unix ms
        // Set for a request refused before it could run whose refusal must still be recorded:
        // invoke records it and answers it.
        std::optional<S_HttpReply> refusal;
        // Who the request acts for (empty without access control, or before it was checked):
        // invoke makes it the acting user around the route's callback and names it in the audit.
        S_ActingUser user;
    };
    // The answer of a request that runs no callback (404, 405, 426, Host/Origin refusal), or the
    // call that will produce it.
    using Dispatch = std::variant<S_HttpReply, S_RouteCall>;

    explicit CApiRouter(S_ApiCallbacks callbacks);
    // The routes refer to the callbacks held here, so the router stays where it was built.
    CApiRouter(const CApiRouter&) = delete;
    CApiRouter& operator=(const CApiRouter&) = delete;

    // Routes a plain (non-upgrade) request without running any callback.
    Dispatch dispatch(const S_HttpRequestView& request) const;
    // Runs the route's adapter and callback (on the route's lane) and returns its answer.
    S_HttpReply invoke(const S_RouteCall& call) const;

    // Empty when a WebSocket upgrade may go ahead, else the refusal to write. When a session let it
    // through (and not the token), session names that session for isSessionLive; else it is empty.
    std::optional<S_HttpReply> checkEventStreamUpgrade(const S_HttpRequestView& request,
                                                       std::string& session) const;
    // Whether a session named by checkEventStreamUpgrade is still open (not logged out, not expired).
    bool isSessionLive(const std::string& session) const;

    // A refusal the transport decided on (a body over the limit, a malformed request, no room):
    // the reply itself, or a call that records it first when it is one of a POST route.
    Dispatch refuse(const S_HttpRequestView& request, S_HttpReply reply) const;

    // Whether a request (its header) is served on a connection admitted beyond the connection
    // limit: requests with a valid token or session, and health without a body. Without access
    // control, health and event-stream upgrades. Counts no failed attempt.
    bool servesUnderLoad(const S_HttpRequestView& request, bool upgrade, bool sendsBody) const;

    // The largest body of a request whose route takes its body streamed (read a piece at a time
    // while its callback runs) instead of read whole first; none for every other request.
    std::optional<std::uint64_t> streamedBodyLimit(const S_HttpRequestView& request) const;

    // The pattern of the route a path is for (whatever the method), the event stream's path, or
    // empty when no route takes it.
    std::string_view routeOf(std::string_view path) const;
    // Every route pattern, in table order, then the event stream's path.
    std::vector<std::string_view> routePatterns() const;

    // The path part of a request target: everything before "?" or "#".
    static std::string_view pathOf(std::string_view target);
    // The query part of a request target: after "?", before "#"; empty when there is none.
    static std::string_view queryOf(std::string_view target);

private:
    struct S_Route
    {
        std::string_view method;
        std::string_view pattern;  // may hold one ":name" parameter segment
        E_CallbackLane lane;
        std::function<S_HttpReply(const S_ApiRequest&)> invoke;
    };

    // The routes of the optional callbacks that are set.
    void addOptionalRoutes();
    void addApprovalRoutes();
    void addSiteHoldRoutes();
    void addBaselineRoutes();  // baseline_routes.cpp
    void addFirmwareStoreWriteRoutes();
    static bool matches(std::string_view pattern, std::string_view path,
                        std::optional<std::string_view>& parameter);
    std::optional<S_HttpReply> checkCaller(const S_HttpRequestView& request, std::string_view logPath) const;
    // The 401/429 refusal of a request that needs access and lacks it.
    std::optional<S_HttpReply> checkAccess(const S_HttpRequestView& request, std::string_view logPath,
                                           std::string* grantingSession, S_ActingUser& principal) const;
    // The 403 refusal of a principal whose role is below the least role of the route.
    static std::optional<S_HttpReply> checkRole(const S_Route& route, const S_ActingUser& principal);
    bool needsAccess(std::string_view method, std::string_view path) const;
    // The POST route a request is for, with its path parameter; none for other requests.
    std::optional<std::size_t> findPostRoute(const S_HttpRequestView& request,
                                             std::optional<std::string_view>& parameter) const;
    S_RouteCall makeCall(std::size_t route, const S_HttpRequestView& request,
                         std::optional<std::string_view> parameter) const;
    Dispatch refuseRoute(std::optional<std::size_t> route, const S_HttpRequestView& request,
                         std::optional<std::string_view> parameter, S_HttpReply reply,
                         const S_ActingUser& user = {}) const;
    S_HttpReply invokeAudited(const S_Route& route, const S_RouteCall& call) const;

    S_ApiCallbacks m_callbacks;
    std::vector<S_Route> m_routes;
};

}  // namespace ota::backend
