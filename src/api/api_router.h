#pragma once

#include "api/api_adapters.h"
#include "api/api_callbacks.h"
#include "api/api_envelope.h"

#include <functional>
#include <optional>
#include <string_view>
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
// Immutable after construction, so the worker threads share it without locking.
class CApiRouter
{
public:
    static constexpr std::string_view kEventsPath = "/api/v1/events";

    explicit CApiRouter(S_ApiCallbacks callbacks);
    // The routes refer to the callbacks held here, so the router stays where it was built.
    CApiRouter(const CApiRouter&) = delete;
    CApiRouter& operator=(const CApiRouter&) = delete;

    // Answers a plain (non-upgrade) request.
    S_HttpReply handle(const S_HttpRequestView& request) const;

    // Empty when a WebSocket upgrade may go ahead, else the refusal to write.
    std::optional<S_HttpReply> checkEventStreamUpgrade(const S_HttpRequestView& request) const;

    // The path part of a request target: everything before "?" or "#".
    static std::string_view pathOf(std::string_view target);

private:
    struct S_Route
    {
        std::string_view method;
        std::string_view pattern;  // may hold one ":upgradeNo" segment
        std::function<S_HttpReply(const S_ApiRequest&)> invoke;
    };

    static bool matches(std::string_view pattern, std::string_view path,
                        std::optional<std::string_view>& parameter);
    std::optional<S_HttpReply> checkCaller(const S_HttpRequestView& request, std::string_view logPath) const;

    S_ApiCallbacks m_callbacks;
    std::vector<S_Route> m_routes;
};

}  // namespace ota::backend
