#pragma once

#include "api/api_adapters.h"
#include "api/api_callbacks.h"
#include "api/api_envelope.h"
#include "api/callback_lanes.h"

#include <cstddef>
#include <functional>
#include <optional>
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
};

// The route table of the API and the checks every request passes before its route runs.
// Immutable after construction, so the I/O threads and the callback lanes share it without locking.
class CApiRouter
{
public:
    static constexpr std::string_view kEventsPath = "/api/v1/events";

    // A request matched to its route, to be run on the route's lane. The request views point into
    // the transport's buffers, which must stay untouched until invoke has returned.
    struct S_RouteCall
    {
        std::size_t route = 0;
        E_CallbackLane lane = E_CallbackLane::Quick;
        S_ApiRequest request;
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

    // Empty when a WebSocket upgrade may go ahead, else the refusal to write.
    std::optional<S_HttpReply> checkEventStreamUpgrade(const S_HttpRequestView& request) const;

    // The path part of a request target: everything before "?" or "#".
    static std::string_view pathOf(std::string_view target);
    // The query of a request target: what follows "?", up to any "#"; empty without one.
    static std::string_view queryOf(std::string_view target);

private:
    struct S_Route
    {
        std::string_view method;
        std::string_view pattern;  // may hold one ":upgradeNo" segment
        E_CallbackLane lane;
        std::function<S_HttpReply(const S_ApiRequest&)> invoke;
    };

    // The routes of the optional callbacks that are set.
    void addOptionalRoutes();
    static bool matches(std::string_view pattern, std::string_view path,
                        std::optional<std::string_view>& parameter);
    std::optional<S_HttpReply> checkCaller(const S_HttpRequestView& request, std::string_view logPath) const;

    S_ApiCallbacks m_callbacks;
    std::vector<S_Route> m_routes;
};

}  // namespace ota::backend
