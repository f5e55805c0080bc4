#pragma once

#include "api/session_context.h"

#include <boost/asio/ip/tcp.hpp>

#include <memory>

namespace ota::backend
{

// Serves HTTP/1.1 requests on one accepted connection (keep-alive, timeouts, size limits) and
// hands a WebSocket upgrade for the event stream over to an event session.
void startHttpSession(boost::asio::ip::tcp::socket&& socket,
                      const std::shared_ptr<const S_SessionContext>& context);

}  // namespace ota::backend
