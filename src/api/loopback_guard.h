#pragma once

#include <string_view>

namespace ota::backend
{

// The API has no authentication and listens on loopback only. A web page in a browser on the
// same machine can still reach it (cross-site form posts, DNS rebinding), so requests must name a
// loopback Host and, when a browser adds an Origin, come from a loopback origin.

// True for 127.0.0.1, [::1] or localhost (any letter case), each with or without ":<port>".
bool isLoopbackHostHeader(std::string_view host);

// True for "<scheme>://<loopback host>[:<port>]" as in isLoopbackHostHeader.
bool isLoopbackOrigin(std::string_view origin);

}  // namespace ota::backend
