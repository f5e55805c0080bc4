#pragma once

#include "api/session_context.h"

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <memory>
#include <string>

namespace ota::backend
{

// Completes the WebSocket handshake of an accepted upgrade request and joins the client to the
// event hub: server-to-client text frames through a byte-counted write queue, client messages ignored.
// A stream opened with a login session (session names it; empty for the token or without access
// control) is closed with 1008 (policy violation) once that session has ended.
void startEventSession(boost::beast::tcp_stream&& stream,
                       boost::beast::http::request<boost::beast::http::string_body>&& upgradeRequest,
                       const std::shared_ptr<const S_SessionContext>& context, std::string session);

}  // namespace ota::backend
