#pragma once

#include "protocol/chunk_frame.h"
#include "protocol/protocol_bodies.h"
#include "protocol/protocol_event.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ota::backend
{

struct S_ProtocolDecodeResult
{
    std::vector<S_ProtocolEvent> events;  // stream order
    std::vector<std::string> errors;      // scanner errors first, then adapter errors
    std::uint64_t discardedByteCount = 0;
    bool connectionRejected = false;      // the peer must be disconnected
    std::string rejectionReason;
};

// One adapter per communication node: encodes the tool-to-device requests with the node's
// device type and decodes the node's byte stream into events. No internal lock: the owner
// serialises all calls on one adapter.
class IDeviceProtocolAdapter
{
public:
    virtual ~IDeviceProtocolAdapter() = default;

    virtual std::string protocolAdapterId() const = 0;
    virtual std::string protocolNodeType() const = 0;

    virtual bool encodeUpgradeStatusQuery(std::uint32_t upgradeNo, std::vector<std::uint8_t>& bytes,
                                          std::string& messageType, std::uint32_t& encodedUpgradeNo,
                                          std::string& error) = 0;
    virtual bool encodeStatusQuery(std::vector<std::uint8_t>& bytes, std::string& messageType,
                                   std::uint32_t& encodedUpgradeNo, std::string& error) = 0;
    virtual bool encodeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                               std::vector<std::uint8_t>& bytes, std::string& messageType,
                               std::string& error) = 0;
    virtual bool encodeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                                  std::vector<std::uint8_t>& bytes, std::string& messageType,
                                  std::string& error) = 0;
    virtual bool encodeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                                std::vector<std::uint8_t>& bytes, std::string& messageType,
                                std::string& error) = 0;
    virtual bool encodeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunk& fileChunk,
                                 std::vector<std::uint8_t>& bytes, std::string& messageType,
                                 std::string& error) = 0;
    // The same frame built in place: the caller has written the data into chunkPayloadArea(frame);
    // the node's device type, header, chunk fields, CRC-32 (returned) and trailer go around it.
    virtual bool encodeFileChunkInPlace(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                                        CFrameBuffer& frame, std::uint32_t& crc32, std::string& error) = 0;

    // Never fails as a whole: bad bytes become errors and discarded bytes.
    virtual S_ProtocolDecodeResult decode(const std::uint8_t* data, std::size_t size,
                                          bool withHexText) = 0;
    // The same into a result the caller keeps from read to read: it is emptied first, and its
    // vectors keep their capacity, so a steady stream of reports costs no allocation.
    virtual void decodeInto(const std::uint8_t* data, std::size_t size, bool withHexText,
                            S_ProtocolDecodeResult& result) = 0;
    // Drops all buffered bytes (a new connection must never see bytes of an old one).
    virtual void resetDecoder() = 0;
};

inline constexpr std::string_view OTA_V1_PROTOCOL_ADAPTER_ID = "ota-v1";

// Adapter for a node's protocol adapter id and protocol node type; null with the error set
// when either is unsupported.
std::unique_ptr<IDeviceProtocolAdapter> createProtocolAdapter(std::string_view protocolAdapterId,
                                                              std::string_view protocolNodeType,
                                                              std::string& error);

}  // namespace ota::backend
