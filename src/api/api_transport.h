#pragma once

#include "api/api_router.h"
#include "api/event_hub.h"
#include "api/request_counter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ota::backend
{

struct S_TransportOptions
{
    std::chrono::milliseconds requestTimeout{30000};
    std::size_t maxConnections = 256;
    std::chrono::milliseconds headerTimeout{10000};
    std::size_t reserveConnections = 16;
    std::chrono::milliseconds reserveHeaderTimeout{2000};
    std::size_t maxEventStreams = 64;
    // Where every answer is counted by route and status; none: not counted.
    std::shared_ptr<CApiRequestCounter> requestCounter;
    std::chrono::milliseconds reserveRequestTimeout{10000};
};

// The network side of the API server: one io_context run by exactly two I/O threads, the loopback
// acceptor, the HTTP and WebSocket connections it accepts, and the two callback lanes on which the
// route callbacks run (see callback_lanes.h for why they never run on the I/O threads).
class CApiTransport
{
public:
    static constexpr unsigned kWorkerThreads = 2;

    CApiTransport(std::shared_ptr<const CApiRouter> router, std::weak_ptr<CEventHub> hub,
                  S_TransportOptions options);
    ~CApiTransport();
    CApiTransport(const CApiTransport&) = delete;
    CApiTransport& operator=(const CApiTransport&) = delete;

    // Binds and listens synchronously, then serves on the worker threads. On false, result and
    // reason hold the system's error number and text, and nothing is left running.
    bool start(const std::string& host, std::uint16_t port, int& result, std::string& reason);
    // The port actually bound (differs from the requested one only for port 0).
    std::uint16_t boundPort() const;
    // Open HTTP connections, reserve ones included.
    std::size_t connectionCount() const;
    // Route callbacks queued on the lanes that have not started yet.
    std::size_t waitingCallbackCount() const;
    // Closes the acceptor and every connection, drops the callbacks that have not started, waits
    // for the running ones, then joins the lanes and the I/O threads. Idempotent. Must not be
    // called from a route callback.
    void stop() noexcept;

private:
    struct S_State;
    std::unique_ptr<S_State> m_state;
};

}  // namespace ota::backend
