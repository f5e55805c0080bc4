#pragma once

#include "device/device_tcp_channel.h"

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace ota::backend
{

// A node's TCP client: its endpoint and connect timeout. Every connect
// attempt creates a new channel. The endpoint must be an IP address literal: names are never
// resolved on the loop thread.
class CDeviceTcpClient
{
public:
    explicit CDeviceTcpClient(std::int32_t connectTimeoutMs);

    // 0, or a negative errno when address:port is no usable endpoint (the client then keeps no host).
    int createSocket(const std::string& address, std::uint16_t port);
    bool hasHost() const { return !m_host.empty(); }
    std::uint16_t port() const { return m_port; }

    // Loop thread. 0 when the attempt started (the channel reports the outcome), else a negative errno.
    int startConnect(CDeviceTcpChannel& channel) const;

private:
    std::int32_t m_connectTimeoutMs;
    std::string m_host;
    std::uint16_t m_port = 0;
    boost::asio::ip::tcp::endpoint m_endpoint;
};

}  // namespace ota::backend
