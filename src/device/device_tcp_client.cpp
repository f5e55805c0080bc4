#include "device/device_tcp_client.h"

#include <boost/asio/ip/address.hpp>

#include <cerrno>

namespace ota::backend
{

CDeviceTcpClient::CDeviceTcpClient(std::int32_t connectTimeoutMs) : m_connectTimeoutMs(connectTimeoutMs)
{
}

int CDeviceTcpClient::createSocket(const std::string& address, std::uint16_t port)
{
    m_host.clear();
    m_port = 0;
    boost::system::error_code error;
    const boost::asio::ip::address ip = boost::asio::ip::make_address(address, error);
    if (error || port == 0)
    {
        return -EINVAL;
    }
    m_host = address;
    m_port = port;
    m_endpoint = boost::asio::ip::tcp::endpoint(ip, port);
    return 0;
}

int CDeviceTcpClient::startConnect(CDeviceTcpChannel& channel) const
{
    if (m_host.empty())
    {
        return -EINVAL;
    }
    return channel.startConnect(m_endpoint, m_connectTimeoutMs);
}

}  // namespace ota::backend
