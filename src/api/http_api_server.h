#pragma once

#include "api/api_callbacks.h"
#include "api/request_counter.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ota::backend
{

struct S_HttpApiServerOptions
{
    // Tests only: lets start take port 0, binding a free port that boundPort() reports.
    bool allowEphemeralPort = false;
    // A connection that idles, or sends its request (or reads its answer) more slowly than this, is closed.
    std::chrono::milliseconds requestTimeout{30000};
    // Simultaneous HTTP connections. Beyond them a reserve of reserveConnections more is admitted
    // for health checks and authenticated operators only (see session_registry.h); past the
    // reserve a connection is closed as soon as it is accepted.
    std::size_t maxConnections = 256;
    std::size_t reserveConnections = 16;
    // A connection that has not sent a whole request header within this is closed (a reserve
    // connection within reserveHeaderTimeout).
    std::chrono::milliseconds headerTimeout{10000};
    std::chrono::milliseconds reserveHeaderTimeout{2000};
    // A request that sends a body on a reserve connection must be complete, header and body,
    // within this, and its body is at most 1 MiB; only the operator's requests keep such a place.
    std::chrono::milliseconds reserveRequestTimeout{10000};
    // Simultaneous event-stream clients, counted apart from the HTTP connections; the next
    // upgrade request is refused with 503 "EVENT_STREAM_LIMIT".
    std::size_t maxEventStreams = 64;
};

// The local API for the operator user interface: the sixteen REST routes under /api/v1/ and the
// WebSocket event stream /api/v1/events, on a loopback address, served by two I/O threads. It holds
// no business logic: every route runs the callback handed to start, on one of two callback threads
// (one for the upgrade operations, one for everything else), so a slow operation never holds up
// health, the other routes or the event stream.
class CHttpApiServer
{
public:
    explicit CHttpApiServer(S_HttpApiServerOptions options = {});
    ~CHttpApiServer();
    CHttpApiServer(const CHttpApiServer&) = delete;
    CHttpApiServer& operator=(const CHttpApiServer&) = delete;

    bool start(const std::string& host, std::uint16_t port, JsonHandler health, JsonHandler systemCapacity,
               JsonHandler workspace, JsonHandler sceneReload, JsonBodyHandler firmwareInspect,
               JsonBodyHandler upgradePreview, JsonHandler upgradeStart, UpgradeAbortHandler upgradeAbort,
               JsonHandler currentUpgrade, JsonHandler upgradeHistory, JsonHandler upgradeHistoryClear,
               JsonHandler deviceStatus, JsonHandler deviceFrames, FrameCaptureHandler frameCapture,
               JsonHandler deviceStatusQuery, JsonHandler deviceReconnect, std::string& error);
    bool start(const std::string& host, std::uint16_t port, S_ApiCallbacks callbacks, std::string& error);

    // Never throws, idempotent, safe from several threads at once: a concurrent call returns when
    // the first has finished. Waits for callbacks still running; must not be called from one.
    void stop() noexcept;

    // Sends one event to every connected /api/v1/events client. True when the event was built
    // and handed to every client; false when nothing was sent.
    bool publishEvent(const std::string& eventType, const std::string& dataJson);
    // The same for data the caller wrote in canonical form (with the JSON writer): embedded as it
    // is without the scan that decides it, which costs as much as the rendering on a large site.
    bool publishCanonicalEvent(const std::string& eventType, const std::string& dataJson);

    // The port bound by the running server (the configured one, or the free one for port 0); 0 when stopped.
    std::uint16_t boundPort() const;
    // Connected event-stream clients.
    std::size_t eventClientCount() const;
    // Open HTTP connections, those admitted into the reserve included (event streams are not).
    std::size_t connectionCount() const;
    // Answers since the running server started, by route and HTTP status (request_counter.h);
    // empty while stopped.
    std::vector<CApiRequestCounter::S_Count> requestCounts() const;
    // Requests whose callback waits for its turn (behind a running callback of its kind).
    std::size_t waitingCallbackCount() const;

private:
    bool publish(const std::string& eventType, const std::string& dataJson, bool knownCanonical);

    struct S_Impl;

    const S_HttpApiServerOptions m_options;
    mutable std::mutex m_mutex;
    std::shared_ptr<S_Impl> m_impl;
    // Kept outside S_Impl so that numbering goes on across a stop and a new start.
    std::atomic<std::uint64_t> m_eventSequence{0};
};

}  // namespace ota::backend
