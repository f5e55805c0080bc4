#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// In-memory bodies of the ota-v1 message types. Fields hold the raw wire values; the rules
// they must satisfy are checked by validateFrame (protocol_frame.h). Texts are raw bytes.

using S_ProtocolSha256 = std::array<std::uint8_t, 32>;

struct S_ProtocolComponentVersion
{
    std::uint8_t componentType = 0;   // E_ProtocolComponentType
    std::uint8_t componentIndex = 0;
    std::string version;              // at most 31 bytes

    bool operator==(const S_ProtocolComponentVersion&) const = default;
};

// MSG_DEVICE_STATUS (2), device to tool.
struct S_ProtocolDeviceStatus
{
    std::uint8_t upgradeState = 0;    // E_DeviceUpgradeState
    std::uint8_t reasonCode = 0;      // E_ProtocolReasonCode
    std::vector<S_ProtocolComponentVersion> components;

    bool operator==(const S_ProtocolDeviceStatus&) const = default;
};

// MSG_EMS_CMD (3), tool to device.
struct S_ProtocolCommand
{
    std::uint8_t commandType = 0;     // E_ProtocolCommandType
    std::uint8_t stage = 0;           // E_ProtocolStage
    std::uint16_t commandParam = 0;   // file count for START_TRANSFER, else 0

    bool operator==(const S_ProtocolCommand&) const = default;
};

struct S_ProtocolTargetItem
{
    std::uint8_t targetNo = 0;        // 1..32
    std::uint8_t componentType = 0;   // E_ProtocolComponentType
    std::uint8_t componentIndex = 0;
    std::uint8_t force = 0;           // 0 or 1
    std::string version;              // at most 31 bytes

    bool operator==(const S_ProtocolTargetItem&) const = default;
};

// MSG_EMS_TARGET_LIST (4), tool to device.
struct S_ProtocolTargetItems
{
    std::vector<S_ProtocolTargetItem> items;

    bool operator==(const S_ProtocolTargetItems&) const = default;
};

// MSG_DEVICE_ACK (5), device to tool.
struct S_ProtocolDeviceAck
{
    std::uint8_t stage = 0;
    std::uint8_t result = 0;          // E_ProtocolResult, 1..2
    std::uint8_t reasonCode = 0;

    bool operator==(const S_ProtocolDeviceAck&) const = default;
};

// MSG_DEVICE_STAGE_REPORT (6), device to tool.
struct S_ProtocolStageReport
{
    std::uint8_t stage = 0;
    std::uint8_t result = 0;          // E_ProtocolResult, 1..3
    std::uint8_t progress = 0;        // percent 0..100
    std::uint8_t reasonCode = 0;

    bool operator==(const S_ProtocolStageReport&) const = default;
};

// MSG_EMS_FILE_INFO (7), tool to device.
struct S_ProtocolFileInfo
{
    std::uint8_t fileNo = 0;          // 1..32
    std::string fileName;             // 1..63 bytes
    std::uint32_t fileSize = 0;
    std::uint16_t chunkSize = 10240;  // 1..32768
    std::uint16_t totalChunks = 0;    // ceil(fileSize / chunkSize)
    S_ProtocolSha256 sha256{};

    bool operator==(const S_ProtocolFileInfo&) const = default;
};

// MSG_EMS_FILE_CHUNK (8), tool to device.
struct S_ProtocolFileChunk
{
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;        // zero-based, below totalChunks
    std::uint16_t totalChunks = 0;
    std::uint32_t crc32 = 0;          // CRC-32 of data
    std::vector<std::uint8_t> data;   // 1..32768 bytes

    bool operator==(const S_ProtocolFileChunk&) const = default;
};

// MSG_DEVICE_FILE_CHUNK_REPORT (9), device to tool.
struct S_ProtocolFileChunkReport
{
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;
    std::uint8_t result = 0;          // 1..2
    std::uint8_t reasonCode = 0;
    std::uint32_t crc32 = 0;          // CRC-32 the device computed over the received chunk

    bool operator==(const S_ProtocolFileChunkReport&) const = default;
};

// MSG_DEVICE_FILE_VERIFY_REPORT (10), device to tool.
struct S_ProtocolFileVerifyReport
{
    std::uint8_t fileNo = 0;
    std::uint8_t result = 0;          // 1..2
    std::uint8_t reasonCode = 0;
    std::uint32_t fileSize = 0;       // size the device received
    S_ProtocolSha256 sha256{};        // digest the device computed

    bool operator==(const S_ProtocolFileVerifyReport&) const = default;
};

// MSG_DEVICE_PROGRESS (11), device to tool.
struct S_ProtocolProgress
{
    std::uint8_t stage = 0;
    std::uint8_t componentType = 0;
    std::uint8_t componentIndex = 0;
    std::uint8_t percentage = 0;      // 0..100
    std::uint8_t reasonCode = 0;
    std::string detailText;           // 0..63 bytes

    bool operator==(const S_ProtocolProgress&) const = default;
};

}  // namespace ota::backend
