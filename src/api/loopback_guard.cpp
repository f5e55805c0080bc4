#include "api/loopback_guard.h"

#include <algorithm>
#include <cctype>

namespace ota::backend
{

namespace
{

bool isDecimalPort(std::string_view text)
{
    if (text.empty() || text.size() > 5)
    {
        return false;
    }
    unsigned value = 0;
    for (const char character : text)
    {
        if (character < '0' || character > '9')
        {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(character - '0');
    }
    return value <= 65535;
}

bool equalsIgnoringCase(std::string_view left, std::string_view right)
{
    return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin(),
                                                     [](char a, char b) {
                                                         return std::tolower(static_cast<unsigned char>(a)) ==
                                                                std::tolower(static_cast<unsigned char>(b));
                                                     });
}

}  // namespace

bool isLoopbackHostHeader(std::string_view host)
{
    std::string_view name = host;
    if (host.starts_with("["))
    {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
        {
            return false;
        }
        name = host.substr(0, close + 1);
        const std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && !(rest.front() == ':' && isDecimalPort(rest.substr(1))))
        {
            return false;
        }
        return name == "[::1]";
    }
    const std::size_t colon = host.find(':');
    if (colon != std::string_view::npos)
    {
        name = host.substr(0, colon);
        if (!isDecimalPort(host.substr(colon + 1)))
        {
            return false;
        }
    }
    return name == "127.0.0.1" || equalsIgnoringCase(name, "localhost");
}

bool isLoopbackOrigin(std::string_view origin)
{
    const std::size_t separator = origin.find("://");
    if (separator == std::string_view::npos || separator == 0)
    {
        return false;
    }
    const std::string_view scheme = origin.substr(0, separator);
    const bool schemeIsToken = std::all_of(scheme.begin(), scheme.end(),
                                           [](char character)
                                           {
                                               return std::isalnum(static_cast<unsigned char>(character)) ||
                                                      character == '+' || character == '-' ||
                                                      character == '.';
                                           });
    return schemeIsToken && isLoopbackHostHeader(origin.substr(separator + 3));
}

}  // namespace ota::backend
