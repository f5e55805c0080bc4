#pragma once

#include <cstdint>

namespace ota::test
{

// A TCP port on 127.0.0.1 that was free a moment ago, for child processes whose configuration must
// name a port. The kernel hands out ephemeral ports in rotation, so reuse soon after is unlikely.
std::uint16_t findFreeLoopbackPort();

}  // namespace ota::test
