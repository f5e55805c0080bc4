#pragma once

#include "protocol/protocol_bodies.h"
#include "protocol/protocol_enums.h"

#include <cstdint>
#include <string>
#include <variant>
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

// The decoded bodies of the six device-to-tool messages. Codes stay codes; the names that logs,
// traces and documents show are derived from them (reasonName() and the like), never compared.

struct S_ProtocolEventComponent
{
    std::uint8_t componentType = 0;  // E_ProtocolComponentType
    std::uint16_t componentIndex = 0;
    std::string version;

    // "EMU", "PCS_DSP1", ...; "UNKNOWN" for a code outside the table.
    const char* componentTypeId() const { return componentTypeIdentifier(componentType); }

    bool operator==(const S_ProtocolEventComponent&) const = default;
};

// MSG_DEVICE_STATUS
struct S_ProtocolEventDeviceStatus
{
    std::uint32_t upgradeNo = 0;
    std::uint8_t upgradeState = 0;  // E_DeviceUpgradeState
    std::uint16_t reasonCode = 0;
    std::vector<S_ProtocolEventComponent> components;  // wire order

    bool isReady() const { return upgradeState == toProtocolByte(E_DeviceUpgradeState::READY); }
    // "READY", "BUSY", "UPGRADING", "FAULT" or "UNKNOWN".
    const char* upgradeStateName() const { return deviceUpgradeStateName(upgradeState); }
    const char* reasonName() const { return protocolReasonCodeName(reasonCode); }

    bool operator==(const S_ProtocolEventDeviceStatus&) const = default;
};

// MSG_DEVICE_ACK
struct S_ProtocolEventAck
{
    std::uint8_t stage = 2;
    std::uint8_t result = 1;
    std::uint16_t reasonCode = 0;

    bool accepted() const { return result == toProtocolByte(E_ProtocolResult::SUCCESS); }
    const char* reasonName() const { return protocolReasonCodeName(reasonCode); }

    bool operator==(const S_ProtocolEventAck&) const = default;
};

// MSG_DEVICE_STAGE_REPORT
struct S_ProtocolEventStageReport
{
    std::uint8_t stage = 2;
    std::uint8_t result = 1;
    std::uint8_t progress = 0;
    std::uint16_t reasonCode = 0;

    bool succeeded() const { return result == toProtocolByte(E_ProtocolResult::SUCCESS); }
    // Result 3: the device has reset its upgrade context.
    bool contextReset() const { return result == toProtocolByte(E_ProtocolResult::ABORTED); }
    const char* reasonName() const { return protocolReasonCodeName(reasonCode); }

    bool operator==(const S_ProtocolEventStageReport&) const = default;
};

// MSG_DEVICE_FILE_CHUNK_REPORT
struct S_ProtocolEventFileChunkReport
{
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;
    std::uint8_t result = 1;
    std::uint16_t reasonCode = 0;
    std::uint32_t crc32 = 0;

    bool succeeded() const { return result == toProtocolByte(E_ProtocolResult::SUCCESS); }
    const char* reasonName() const { return protocolReasonCodeName(reasonCode); }

    bool operator==(const S_ProtocolEventFileChunkReport&) const = default;
};

// MSG_DEVICE_FILE_VERIFY_REPORT
struct S_ProtocolEventFileVerifyReport
{
    std::uint8_t fileNo = 0;
    std::uint8_t result = 1;
    std::uint16_t reasonCode = 0;
    std::uint32_t fileSize = 0;
    S_ProtocolSha256 sha256{};

    bool succeeded() const { return result == toProtocolByte(E_ProtocolResult::SUCCESS); }
    const char* reasonName() const { return protocolReasonCodeName(reasonCode); }

    bool operator==(const S_ProtocolEventFileVerifyReport&) const = default;
};

// MSG_DEVICE_PROGRESS
struct S_ProtocolEventProgress
{
    std::uint8_t stage = 2;
    std::uint8_t componentType = 0;  // E_ProtocolComponentType
    std::uint16_t componentIndex = 0;
    std::uint8_t percentage = 0;
    std::uint16_t reasonCode = 0;
    std::string detailText;

    const char* componentTypeId() const { return componentTypeIdentifier(componentType); }
    const char* reasonName() const { return protocolReasonCodeName(reasonCode); }

    bool operator==(const S_ProtocolEventProgress&) const = default;
};

// The body of an event: the alternative says which message it is. std::monostate only in an
// event built without a body (no decoded frame gives one).
using ProtocolEventBody =
    std::variant<std::monostate, S_ProtocolEventDeviceStatus, S_ProtocolEventAck, S_ProtocolEventStageReport,
                 S_ProtocolEventFileChunkReport, S_ProtocolEventFileVerifyReport, S_ProtocolEventProgress>;

// One decoded device-to-tool frame.
struct S_ProtocolEvent
{
    std::uint32_t upgradeNo = 0;
    std::uint64_t frameLength = 0;    // body_length + 17
    std::string hexText;              // "5A 5A 5A 5A 01 ...", only when asked for
    ProtocolEventBody body;

    // The message type of the body (0 for an event without one).
    std::uint8_t messageType() const;
    // The message name, e.g. "MSG_DEVICE_ACK", for log lines and the frame trace.
    const char* messageTypeName() const { return protocolMessageTypeName(messageType()); }

    template <typename Body>
    const Body* get() const
    {
        return std::get_if<Body>(&body);
    }
    template <typename Body>
    Body* get()
    {
        return std::get_if<Body>(&body);
    }
    const S_ProtocolEventDeviceStatus* deviceStatus() const { return get<S_ProtocolEventDeviceStatus>(); }
    const S_ProtocolEventAck* ack() const { return get<S_ProtocolEventAck>(); }
    const S_ProtocolEventStageReport* stageReport() const { return get<S_ProtocolEventStageReport>(); }
    const S_ProtocolEventFileChunkReport* fileChunkReport() const
    {
        return get<S_ProtocolEventFileChunkReport>();
    }
    const S_ProtocolEventFileVerifyReport* fileVerifyReport() const
    {
        return get<S_ProtocolEventFileVerifyReport>();
    }
    const S_ProtocolEventProgress* progress() const { return get<S_ProtocolEventProgress>(); }

    bool operator==(const S_ProtocolEvent&) const = default;
};

inline std::uint8_t S_ProtocolEvent::messageType() const
{
    switch (body.index())
    {
        case 1:
            return toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STATUS);
        case 2:
            return toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_ACK);
        case 3:
            return toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT);
        case 4:
            return toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT);
        case 5:
            return toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT);
        case 6:
            return toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_PROGRESS);
        default:
            return 0;
    }
}

}  // namespace ota::backend
