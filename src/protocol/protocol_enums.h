#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace ota::backend
{

// Wire codes of the ota-v1 protocol. Records carry the raw bytes (uint8) because a received
// byte may hold any value; these enumerations name the valid ones.

inline constexpr std::uint8_t PROTOCOL_VERSION = 1;
inline constexpr std::size_t FRAME_HEADER_LENGTH = 13;
inline constexpr std::size_t FRAME_TAIL_LENGTH = 4;
inline constexpr std::size_t FRAME_OVERHEAD_LENGTH = FRAME_HEADER_LENGTH + FRAME_TAIL_LENGTH;
inline constexpr std::size_t MAX_BODY_LENGTH = 65535;
inline constexpr std::size_t MAX_CHUNK_DATA_LENGTH = 32768;
inline constexpr std::size_t MAX_ACCEPTED_FRAME_LENGTH = FRAME_OVERHEAD_LENGTH + 11 + MAX_CHUNK_DATA_LENGTH;
inline constexpr std::uint8_t MAX_REASON_CODE = 19;
inline constexpr std::uint8_t MAX_STAGE = 6;
inline constexpr std::size_t MAX_STATUS_COMPONENTS = 16;
inline constexpr std::size_t MAX_TARGET_ITEMS = 32;
inline constexpr std::uint8_t MAX_FILE_NO = 32;
inline constexpr std::size_t VERSION_FIELD_WIDTH = 32;
inline constexpr std::size_t FILE_NAME_FIELD_WIDTH = 64;
inline constexpr std::size_t DETAIL_TEXT_FIELD_WIDTH = 64;

enum class E_ProtocolMessageType : std::uint8_t
{
    MSG_QUERY_STATUS = 1,
    MSG_DEVICE_STATUS = 2,
    MSG_EMS_CMD = 3,
    MSG_EMS_TARGET_LIST = 4,
    MSG_DEVICE_ACK = 5,
    MSG_DEVICE_STAGE_REPORT = 6,
    MSG_EMS_FILE_INFO = 7,
    MSG_EMS_FILE_CHUNK = 8,
    MSG_DEVICE_FILE_CHUNK_REPORT = 9,
    MSG_DEVICE_FILE_VERIFY_REPORT = 10,
    MSG_DEVICE_PROGRESS = 11,
};

enum class E_ProtocolDeviceType : std::uint8_t
{
    EMU = 1,
    PCS = 2,
    BMS = 3,
};

enum class E_ProtocolReasonCode : std::uint8_t
{
    OK = 0,
    DEVICE_BUSY = 1,
    UPGRADE_NO_INVALID = 2,
    COMPONENT_INFO_INVALID = 3,
    FILE_INFO_INVALID = 4,
    CHUNK_CRC32_MISMATCH = 5,
    FILE_SHA256_MISMATCH = 6,
    FLASH_FAILED = 7,
    VERSION_VERIFY_FAILED = 8,
    UPGRADE_CONTEXT_RESET = 9,
    FRAME_FORMAT_INVALID = 10,
    BODY_LENGTH_INVALID = 11,
    UNSUPPORTED_MSG_TYPE = 12,
    UNSUPPORTED_DEVICE_TYPE = 13,
    UNSUPPORTED_COMPONENT = 14,
    FILE_NAME_INVALID = 15,
    STORAGE_NOT_ENOUGH = 16,
    TIMEOUT = 17,
    INTERNAL_ERROR = 18,
    RESET_NOT_ALLOWED = 19,
};

enum class E_ProtocolStage : std::uint8_t
{
    CONNECTION_SYNC = 0,
    STATUS_SYNCED = 1,
    PREPARATION = 2,
    FILE_TRANSFER = 3,
    FILE_RECEIPT_CONFIRMATION = 4,
    FLASHING = 5,
    RESTART_VERIFICATION = 6,
};

enum class E_ProtocolCommandType : std::uint8_t
{
    PREPARE_UPGRADE = 1,
    START_TRANSFER = 2,
    FINISH_TRANSFER = 3,
    START_FLASH = 4,
    RESTART_VERIFY = 5,
    RESET_CONTEXT = 6,
};

enum class E_ProtocolComponentType : std::uint8_t
{
    EMU = 0,
    PCS_DSP1 = 1,
    PCS_DSP2 = 2,
    PCS_FPGA = 3,
    PCS_ARM = 4,
    BMS_BAU = 5,
    BMS_BEU = 6,
    BMS_BCU = 7,
};

enum class E_DeviceUpgradeState : std::uint8_t
{
    READY = 1,
    BUSY = 2,
    UPGRADING = 3,
    FAULT = 4,
};

enum class E_ProtocolResult : std::uint8_t
{
    SUCCESS = 1,  // success or accepted; reason code 0
    FAILURE = 2,  // failure or rejected; non-zero reason code
    ABORTED = 3,  // stage reports only; non-zero reason code
};

// The wire byte of any of the enumerations above.
template <typename E>
    requires std::is_enum_v<E>
constexpr std::uint8_t toProtocolByte(E value)
{
    return static_cast<std::uint8_t>(value);
}

// "MSG_QUERY_STATUS" .. "MSG_DEVICE_PROGRESS"; "MSG_UNKNOWN" for any other code.
const char* protocolMessageTypeName(std::uint8_t messageType);
// "OK" .. "RESET_NOT_ALLOWED"; "UNKNOWN_REASON" for any other code.
const char* protocolReasonCodeName(std::uint32_t reasonCode);
// Operator-facing (Chinese) stage names; "未知阶段" for any other code.
const char* protocolStageDisplayName(std::uint32_t stage);
// "READY", "BUSY", "UPGRADING", "FAULT"; "UNKNOWN" for any other code.
const char* deviceUpgradeStateName(std::uint8_t upgradeState);
// "EMU", "PCS", "BMS"; "UNKNOWN" for any other code.
const char* protocolDeviceTypeName(std::uint8_t deviceType);

// Component type identifiers: "EMU", "PCS_DSP1", ..., "BMS_BCU"; "UNKNOWN" for any other code.
const char* componentTypeIdentifier(std::uint8_t componentType);
// Case-insensitive; false when the text names no component type.
bool componentTypeFromIdentifier(std::string_view identifier, std::uint8_t& componentType);

// Protocol node type text of a topology node ("EMU", "PCS", "BMS", any letter case) to its
// device type code; false for any other text.
bool deviceTypeFromProtocolNodeType(std::string_view protocolNodeType, std::uint8_t& deviceType);

// True when the (component type, index) pair may appear on a device of this type.
bool isComponentAllowedForDeviceType(std::uint8_t deviceType, std::uint8_t componentType,
                                     std::uint32_t componentIndex);

// Direction of a message type; codes outside 1..11 are neither.
bool isToolToDeviceMessageType(std::uint8_t messageType);
bool isDeviceToToolMessageType(std::uint8_t messageType);

}  // namespace ota::backend
