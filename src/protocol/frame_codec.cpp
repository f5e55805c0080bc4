#include "protocol/body_codec.h"
#include "protocol/body_rules.h"
#include "protocol/protocol_frame.h"
#include "protocol/wire_bytes.h"

#include <array>

namespace ota::backend
{
namespace
{

constexpr std::uint8_t REASON_COMPONENT_INFO_INVALID = toProtocolByte(E_ProtocolReasonCode::COMPONENT_INFO_INVALID);
constexpr std::uint8_t REASON_FILE_INFO_INVALID = toProtocolByte(E_ProtocolReasonCode::FILE_INFO_INVALID);
constexpr std::uint8_t REASON_FRAME_FORMAT_INVALID = toProtocolByte(E_ProtocolReasonCode::FRAME_FORMAT_INVALID);
constexpr std::uint8_t REASON_BODY_LENGTH_INVALID = toProtocolByte(E_ProtocolReasonCode::BODY_LENGTH_INVALID);
constexpr std::uint8_t REASON_UNSUPPORTED_MSG_TYPE = toProtocolByte(E_ProtocolReasonCode::UNSUPPORTED_MSG_TYPE);
constexpr std::uint8_t REASON_UNSUPPORTED_DEVICE_TYPE =
    toProtocolByte(E_ProtocolReasonCode::UNSUPPORTED_DEVICE_TYPE);

constexpr std::array<const char*, 11> BODY_TYPE_MESSAGES = {
    "QueryStatus body must be empty",
    "DeviceStatus body type is invalid",
    "EmsCommand body type is invalid",
    "EmsTargetList body type is invalid",
    "DeviceAck body type is invalid",
    "DeviceStageReport body type is invalid",
    "EmsFileInfo body type is invalid",
    "EmsFileChunk body type is invalid",
    "DeviceFileChunkReport body type is invalid",
    "DeviceFileVerifyReport body type is invalid",
    "DeviceProgress body type is invalid",
};

bool isMessageTypeSupported(std::uint8_t messageType)
{
    return messageType >= 1 && messageType <= 11;
}

bool isDeviceTypeSupported(std::uint8_t deviceType)
{
    return deviceType >= 1 && deviceType <= 3;
}

bool hasMagic(const std::uint8_t* bytes, std::uint8_t value)
{
    return bytes[0] == value && bytes[1] == value && bytes[2] == value && bytes[3] == value;
}

// Reason code of a validation failure after a successful body parse.
std::uint8_t validationReasonCode(std::uint8_t messageType)
{
    switch (static_cast<E_ProtocolMessageType>(messageType))
    {
    case E_ProtocolMessageType::MSG_DEVICE_STATUS:
    case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
    case E_ProtocolMessageType::MSG_DEVICE_PROGRESS:
        return REASON_COMPONENT_INFO_INVALID;
    case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
    case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
    case E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT:
    case E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT:
        return REASON_FILE_INFO_INVALID;
    default:
        return REASON_FRAME_FORMAT_INVALID;
    }
}

S_ProtocolParseResult parseFailure(std::uint8_t reasonCode, std::string message)
{
    S_ProtocolParseResult result;
    result.reasonCode = reasonCode;
    result.error = std::move(message);
    return result;
}

}  // namespace

bool validateFrameHeader(std::uint8_t protocolVersion, std::uint8_t messageType, std::uint8_t deviceType,
                         std::uint32_t upgradeNo, std::string& error)
{
    error.clear();
    if (protocolVersion != PROTOCOL_VERSION)
    {
        error = "protocolVersion must be 1";
        return false;
    }
    if (!isMessageTypeSupported(messageType))
    {
        error = "messageType is unsupported";
        return false;
    }
    if (!isDeviceTypeSupported(deviceType))
    {
        error = "deviceType must be EMU, PCS or BMS";
        return false;
    }
    if (upgradeNo == 0 && messageType != toProtocolByte(E_ProtocolMessageType::MSG_QUERY_STATUS) &&
        messageType != toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_STATUS))
    {
        error = "upgradeNo must not be zero for upgrade workflow frames";
        return false;
    }
    return true;
}

bool validateFrame(const S_ProtocolFrame& frame, std::string& error)
{
    if (!validateFrameHeader(frame.protocolVersion, frame.messageType, frame.deviceType, frame.upgradeNo,
                             error))
    {
        return false;
    }
    if (frame.body.index() != frame.messageType - 1U)
    {
        error = BODY_TYPE_MESSAGES[frame.messageType - 1U];
        return false;
    }
    return validateFrameBody(frame, error);
}

bool encodeFrame(const S_ProtocolFrame& frame, std::vector<std::uint8_t>& bytes, std::string& error)
{
    bytes.clear();
    error.clear();
    if (!validateFrame(frame, error))
    {
        return false;
    }
    return writeFrameBytes(frame, bytes, error);
}

S_ProtocolParseResult parseFrame(const std::uint8_t* data, std::size_t size)
{
    if (data == nullptr || size < FRAME_OVERHEAD_LENGTH)
    {
        return parseFailure(REASON_FRAME_FORMAT_INVALID, "Frame is shorter than the minimum length");
    }
    if (!hasMagic(data, 0x5A))
    {
        return parseFailure(REASON_FRAME_FORMAT_INVALID, "Frame header is invalid");
    }
    if (data[4] != PROTOCOL_VERSION)
    {
        return parseFailure(REASON_FRAME_FORMAT_INVALID, "Protocol version is unsupported");
    }
    if (!isMessageTypeSupported(data[5]))
    {
        return parseFailure(REASON_UNSUPPORTED_MSG_TYPE, "Message type is unsupported");
    }
    if (!isDeviceTypeSupported(data[6]))
    {
        return parseFailure(REASON_UNSUPPORTED_DEVICE_TYPE, "Device type is unsupported");
    }
    const std::uint16_t bodyLength = wire::readU16(data + 11);
    if (size != bodyLength + FRAME_OVERHEAD_LENGTH)
    {
        return parseFailure(REASON_BODY_LENGTH_INVALID, "Frame length does not match body_length");
    }
    if (!hasMagic(data + FRAME_HEADER_LENGTH + bodyLength, 0xA5))
    {
        return parseFailure(REASON_FRAME_FORMAT_INVALID, "Frame tail is invalid");
    }

    S_ProtocolParseResult result;
    S_ProtocolFrame& frame = result.frame;
    frame.protocolVersion = data[4];
    frame.messageType = data[5];
    frame.deviceType = data[6];
    frame.upgradeNo = wire::readU32(data + 7);
    frame.bodyLength = bodyLength;
    if (!parseFrameBody({data + FRAME_HEADER_LENGTH, bodyLength}, frame, result.reasonCode, result.error))
    {
        result.frame = S_ProtocolFrame{};
        return result;
    }
    if (!validateFrame(frame, result.error))
    {
        result.reasonCode = validationReasonCode(frame.messageType);
        result.frame = S_ProtocolFrame{};
        return result;
    }
    result.ok = true;
    return result;
}

S_ProtocolParseResult parseFrame(std::span<const std::uint8_t> bytes)
{
    return parseFrame(bytes.data(), bytes.size());
}

}  // namespace ota::backend
