#include "sim/loopback_address.h"

#include <boost/asio/ip/address.hpp>

namespace ota::backend
{

bool isLoopbackAddressText(std::string_view address, std::string& error)
{
    error.clear();
    boost::system::error_code code;
    const boost::asio::ip::address parsed = boost::asio::ip::make_address(std::string(address), code);
    if (code)
    {
        error = "address '" + std::string(address) + "' is not a numeric IP address";
        return false;
    }
    if (!parsed.is_loopback())
    {
        error = "address " + std::string(address) + " is not a loopback address; the simulator listens on loopback only";
        return false;
    }
    return true;
}

}  // namespace ota::backend
