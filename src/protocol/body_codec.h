#pragma once

#include "protocol/protocol_frame.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ota::backend
{

// Appends the body layout of the frame's alternative. Returns false for a type outside 1..11 or
// an alternative that does not belong to the type.
bool appendFrameBody(const S_ProtocolFrame& frame, std::vector<std::uint8_t>& out);

// Parses the body bytes of an already header-checked frame into frame.body. On failure sets the
// reason code and message of the body parse rules.
bool parseFrameBody(std::span<const std::uint8_t> body, S_ProtocolFrame& frame, std::uint8_t& reasonCode,
                    std::string& error);

// Steps after validation of encodeFrame: body serialisation, length limit and framing. Kept
// apart so the length limit can be exercised without passing validation first.
bool writeFrameBytes(const S_ProtocolFrame& frame, std::vector<std::uint8_t>& bytes, std::string& error);

}  // namespace ota::backend
