#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <string>

namespace ota::backend
{

// The peer of a connection as "address:port" ("[address]:port" for IPv6); "unknown" when the
// socket has no peer any more. For log lines and the audit trail.
std::string peerAddressOf(const boost::asio::ip::tcp::socket& socket);

}  // namespace ota::backend
