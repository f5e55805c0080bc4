#pragma once

#include "protocol/protocol_bodies.h"
#include "protocol/protocol_frame.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// Body rules of validateFrame, applied after the header rules; first failure wins. The body
// alternative must already match the message type.
bool validateFrameBody(const S_ProtocolFrame& frame, std::string& error);

// The rules of a MSG_EMS_FILE_CHUNK body, from its fields and the length of its data.
bool validateFileChunkFields(std::uint8_t fileNo, std::uint16_t chunkNo, std::uint16_t totalChunks,
                             std::size_t dataLength, std::string& error);

// The component rules of MSG_DEVICE_STATUS alone (count, items, composition per device type).
bool validateStatusComponents(std::uint8_t deviceType, const std::vector<S_ProtocolComponentVersion>& components,
                              std::string& error);

}  // namespace ota::backend
