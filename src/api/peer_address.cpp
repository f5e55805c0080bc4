#include "api/peer_address.h"

namespace ota::backend
{

std::string peerAddressOf(const boost::asio::ip::tcp::socket& socket)
{
    boost::system::error_code error;
    const boost::asio::ip::tcp::endpoint endpoint = socket.remote_endpoint(error);
    if (error)
    {
        return "unknown";
    }
    const std::string host = endpoint.address().to_string();
    return (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(endpoint.port());
}

}  // namespace ota::backend
