#pragma once

#include "protocol/protocol_bodies.h"
#include "protocol/protocol_enums.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace ota::backend
{

// The body alternative index is messageType - 1; index 0 (monostate) is the empty body of
// MSG_QUERY_STATUS.
using S_ProtocolFrameBody = std::variant<std::monostate,
                                         S_ProtocolDeviceStatus,
                                         S_ProtocolCommand,
                                         S_ProtocolTargetItems,
                                         S_ProtocolDeviceAck,
                                         S_ProtocolStageReport,
                                         S_ProtocolFileInfo,
                                         S_ProtocolFileChunk,
                                         S_ProtocolFileChunkReport,
                                         S_ProtocolFileVerifyReport,
                                         S_ProtocolProgress>;

struct S_ProtocolFrame
{
    std::uint8_t protocolVersion = PROTOCOL_VERSION;
    std::uint8_t messageType = toProtocolByte(E_ProtocolMessageType::MSG_QUERY_STATUS);
    std::uint8_t deviceType = 0;      // E_ProtocolDeviceType
    std::uint32_t upgradeNo = 0;
    std::uint16_t bodyLength = 0;     // set by parseFrame; encodeFrame writes the real length
    S_ProtocolFrameBody body;

    bool operator==(const S_ProtocolFrame&) const = default;
};

struct S_ProtocolParseResult
{
    bool ok = false;
    S_ProtocolFrame frame;            // meaningful when ok
    std::uint8_t reasonCode = 0;      // E_ProtocolReasonCode of a failure, 0 on success
    std::string error;
};

struct S_ProtocolStreamScan
{
    std::vector<S_ProtocolFrame> frames;  // in stream order
    std::vector<std::string> errors;      // one per rejected candidate
    std::uint64_t discardedByteCount = 0;
};

// Record to bytes. On failure the error holds one message and bytes is empty.
bool encodeFrame(const S_ProtocolFrame& frame, std::vector<std::uint8_t>& bytes, std::string& error);

// Exactly one complete candidate frame (no leading or trailing bytes) to a record.
S_ProtocolParseResult parseFrame(std::span<const std::uint8_t> bytes);
S_ProtocolParseResult parseFrame(const std::uint8_t* data, std::size_t size);

// Header rules, then the body rules of the message type; stops at the first violation.
bool validateFrame(const S_ProtocolFrame& frame, std::string& error);
// The header rules alone.
bool validateFrameHeader(std::uint8_t protocolVersion, std::uint8_t messageType, std::uint8_t deviceType,
                         std::uint32_t upgradeNo, std::string& error);

// Appends the new bytes to the caller's per-connection receive buffer and extracts every
// complete frame; incomplete data stays in the buffer for the next call. Every rejected
// candidate costs exactly one byte, so a frame starting inside rejected bytes is still found.
S_ProtocolStreamScan scanFrames(std::vector<std::uint8_t>& receiveBuffer, const std::uint8_t* data,
                                std::size_t size);
// The same into a scan the caller keeps from read to read (its vectors keep their capacity).
void scanFramesInto(std::vector<std::uint8_t>& receiveBuffer, const std::uint8_t* data, std::size_t size,
                    S_ProtocolStreamScan& scan);

// Plausibility check of the 13 header bytes at the start of the buffer (magic already found).
bool checkFrameCandidate(std::span<const std::uint8_t> buffer, std::string& error);

}  // namespace ota::backend
