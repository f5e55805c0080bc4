#pragma once

#include <string>
#include <string_view>

namespace ota::backend
{

// The simulator listens on loopback only: a numeric IPv4 address in 127.0.0.0/8 or "::1".
// Host names (localhost included) are refused, since the backend connects to the literal text.
bool isLoopbackAddressText(std::string_view address, std::string& error);

}  // namespace ota::backend
