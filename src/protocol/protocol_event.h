#pragma once

#include "protocol/protocol_bodies.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// One upgrade target as the execution service hands it to the transport; the adapter turns it
// into a S_ProtocolTargetItem.
struct S_ProtocolTarget
{
    std::uint8_t targetNo = 0;
    std::string componentTypeId;      // "EMU", "PCS_DSP1", ... (any letter case)
    std::uint16_t componentIndex = 0;
    bool force = false;
    std::string targetVersion;

    bool operator==(const S_ProtocolTarget&) const = default;
};

struct S_ProtocolTargetList
{
    std::vector<S_ProtocolTarget> targets;

    bool operator==(const S_ProtocolTargetList&) const = default;
};

struct S_ProtocolEventComponent
{
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::string version;

    bool operator==(const S_ProtocolEventComponent&) const = default;
};

struct S_ProtocolEventDeviceStatus
{
    bool present = false;
    std::uint32_t upgradeNo = 0;
    std::string upgradeState;         // "READY", "BUSY", "UPGRADING", "FAULT" or "UNKNOWN"
    std::uint16_t reasonCode = 0;
    std::string reasonName;
    std::vector<S_ProtocolEventComponent> components;  // wire order

    bool operator==(const S_ProtocolEventDeviceStatus&) const = default;
};

struct S_ProtocolEventAck
{
    bool present = false;
    std::uint8_t stage = 2;
    std::uint8_t result = 1;
    std::uint16_t reasonCode = 0;
    std::string reasonName;

    bool operator==(const S_ProtocolEventAck&) const = default;
};

struct S_ProtocolEventStageReport
{
    bool present = false;
    std::uint8_t stage = 2;
    std::uint8_t result = 1;
    std::uint8_t progress = 0;
    std::uint16_t reasonCode = 0;
    std::string reasonName;

    bool operator==(const S_ProtocolEventStageReport&) const = default;
};

struct S_ProtocolEventFileChunkReport
{
    bool present = false;
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;
    std::uint8_t result = 1;
    std::uint16_t reasonCode = 0;
    std::string reasonName;
    std::uint32_t crc32 = 0;

    bool operator==(const S_ProtocolEventFileChunkReport&) const = default;
};

struct S_ProtocolEventFileVerifyReport
{
    bool present = false;
    std::uint8_t fileNo = 0;
    std::uint8_t result = 1;
    std::uint16_t reasonCode = 0;
    std::string reasonName;
    std::uint32_t fileSize = 0;
    S_ProtocolSha256 sha256{};

    bool operator==(const S_ProtocolEventFileVerifyReport&) const = default;
};

struct S_ProtocolEventProgress
{
    bool present = false;
    std::uint8_t stage = 2;
    std::string componentTypeId;
    std::uint16_t componentIndex = 0;
    std::uint8_t percentage = 0;
    std::uint16_t reasonCode = 0;
    std::string reasonName;
    std::string detailText;

    bool operator==(const S_ProtocolEventProgress&) const = default;
};

// One decoded device-to-tool frame. Exactly one group is present: the one of messageType;
// every other field keeps its default.
struct S_ProtocolEvent
{
    std::string messageType;          // message name, e.g. "MSG_DEVICE_ACK"
    std::uint32_t upgradeNo = 0;
    std::uint64_t frameLength = 0;    // body_length + 17
    std::string hexText;              // "5A 5A 5A 5A 01 ...", only when asked for
    S_ProtocolEventDeviceStatus deviceStatus;
    S_ProtocolEventAck ack;
    S_ProtocolEventStageReport stageReport;
    S_ProtocolEventFileChunkReport fileChunkReport;
    S_ProtocolEventFileVerifyReport fileVerifyReport;
    S_ProtocolEventProgress progress;

    bool operator==(const S_ProtocolEvent&) const = default;
};

}  // namespace ota::backend
