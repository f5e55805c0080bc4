#pragma once

#include "api/api_router.h"
#include "api/callback_lanes.h"
#include "api/event_hub.h"
#include "api/request_counter.h"
#include "api/session_registry.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace ota::backend
{

// What every connection of one running server shares.
struct S_SessionContext
{
    static constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;
    // A reserve place serves the operator, whose requests are small; a large body there is a
    // client holding the place.
    static constexpr std::size_t kMaxReserveBodyBytes = 1024u * 1024u;
    static constexpr std::size_t kMaxHeaderBytes = 64u * 1024u;
    static constexpr std::size_t kMaxClientMessageBytes = 64u * 1024u;

    std::shared_ptr<const CApiRouter> router;
    std::shared_ptr<CCallbackLanes> lanes;  // where route callbacks run
    std::weak_ptr<CEventHub> hub;           // the stream does nothing once the server that owns it is gone
    std::shared_ptr<CSessionRegistry> registry;
    std::chrono::milliseconds requestTimeout{30000};
    // A whole request header must have arrived within this (reserve connections: the shorter one).
    std::chrono::milliseconds headerTimeout{10000};
    std::chrono::milliseconds reserveHeaderTimeout{2000};
    // A request with a body on a reserve connection must be complete, header and body, within this.
    std::chrono::milliseconds reserveRequestTimeout{10000};
    std::size_t maxEventStreams = 64;
    std::shared_ptr<CApiRequestCounter> requestCounter;  // may be empty
};

}  // namespace ota::backend
