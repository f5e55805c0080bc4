#include "protocol/protocol_enums.h"

#include <array>
#include <cctype>

namespace ota::backend
{
namespace
{

constexpr std::array<const char*, 12> MESSAGE_TYPE_NAMES = {
    "MSG_UNKNOWN",
    "MSG_QUERY_STATUS",
    "MSG_DEVICE_STATUS",
    "MSG_EMS_CMD",
    "MSG_EMS_TARGET_LIST",
    "MSG_DEVICE_ACK",
    "MSG_DEVICE_STAGE_REPORT",
    "MSG_EMS_FILE_INFO",
    "MSG_EMS_FILE_CHUNK",
    "MSG_DEVICE_FILE_CHUNK_REPORT",
    "MSG_DEVICE_FILE_VERIFY_REPORT",
    "MSG_DEVICE_PROGRESS",
};

constexpr std::array<const char*, 20> REASON_NAMES = {
    "OK",
    "DEVICE_BUSY",
    "UPGRADE_NO_INVALID",
    "COMPONENT_INFO_INVALID",
    "FILE_INFO_INVALID",
    "CHUNK_CRC32_MISMATCH",
    "FILE_SHA256_MISMATCH",
    "FLASH_FAILED",
    "VERSION_VERIFY_FAILED",
    "UPGRADE_CONTEXT_RESET",
    "FRAME_FORMAT_INVALID",
    "BODY_LENGTH_INVALID",
    "UNSUPPORTED_MSG_TYPE",
    "UNSUPPORTED_DEVICE_TYPE",
    "UNSUPPORTED_COMPONENT",
    "FILE_NAME_INVALID",
    "STORAGE_NOT_ENOUGH",
    "TIMEOUT",
    "INTERNAL_ERROR",
    "RESET_NOT_ALLOWED",
};

constexpr std::array<const char*, 7> STAGE_DISPLAY_NAMES = {
    "连接与状态同步", "状态已同步", "升级准备", "文件传输", "文件接收确认", "固件烧写", "重启验证",
};

constexpr std::array<const char*, 8> COMPONENT_IDENTIFIERS = {
    "EMU", "PCS_DSP1", "PCS_DSP2", "PCS_FPGA", "PCS_ARM", "BMS_BAU", "BMS_BEU", "BMS_BCU",
};

bool equalsIgnoringCase(std::string_view text, std::string_view upperCaseWord)
{
    if (text.size() != upperCaseWord.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (std::toupper(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(upperCaseWord[i]))
        {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* protocolMessageTypeName(std::uint8_t messageType)
{
    return messageType < MESSAGE_TYPE_NAMES.size() ? MESSAGE_TYPE_NAMES[messageType] : MESSAGE_TYPE_NAMES[0];
}

const char* protocolReasonCodeName(std::uint32_t reasonCode)
{
    return reasonCode < REASON_NAMES.size() ? REASON_NAMES[reasonCode] : "UNKNOWN_REASON";
}

const char* protocolStageDisplayName(std::uint32_t stage)
{
    return stage < STAGE_DISPLAY_NAMES.size() ? STAGE_DISPLAY_NAMES[stage] : "未知阶段";
}

const char* deviceUpgradeStateName(std::uint8_t upgradeState)
{
    switch (upgradeState)
    {
    case toProtocolByte(E_DeviceUpgradeState::READY): return "READY";
    case toProtocolByte(E_DeviceUpgradeState::BUSY): return "BUSY";
    case toProtocolByte(E_DeviceUpgradeState::UPGRADING): return "UPGRADING";
    case toProtocolByte(E_DeviceUpgradeState::FAULT): return "FAULT";
    default: return "UNKNOWN";
    }
}

const char* protocolDeviceTypeName(std::uint8_t deviceType)
{
    switch (deviceType)
    {
    case toProtocolByte(E_ProtocolDeviceType::EMU): return "EMU";
    case toProtocolByte(E_ProtocolDeviceType::PCS): return "PCS";
    case toProtocolByte(E_ProtocolDeviceType::BMS): return "BMS";
    default: return "UNKNOWN";
    }
}

const char* componentTypeIdentifier(std::uint8_t componentType)
{
    return componentType < COMPONENT_IDENTIFIERS.size() ? COMPONENT_IDENTIFIERS[componentType] : "UNKNOWN";
}

bool componentTypeFromIdentifier(std::string_view identifier, std::uint8_t& componentType)
{
    for (std::size_t code = 0; code < COMPONENT_IDENTIFIERS.size(); ++code)
    {
        if (equalsIgnoringCase(identifier, COMPONENT_IDENTIFIERS[code]))
        {
            componentType = static_cast<std::uint8_t>(code);
            return true;
        }
    }
    return false;
}

bool deviceTypeFromProtocolNodeType(std::string_view protocolNodeType, std::uint8_t& deviceType)
{
    for (const auto type : {E_ProtocolDeviceType::EMU, E_ProtocolDeviceType::PCS, E_ProtocolDeviceType::BMS})
    {
        if (equalsIgnoringCase(protocolNodeType, protocolDeviceTypeName(toProtocolByte(type))))
        {
            deviceType = toProtocolByte(type);
            return true;
        }
    }
    return false;
}

bool isComponentAllowedForDeviceType(std::uint8_t deviceType, std::uint8_t componentType,
                                     std::uint32_t componentIndex)
{
    switch (static_cast<E_ProtocolComponentType>(componentType))
    {
    case E_ProtocolComponentType::EMU:
        return deviceType == toProtocolByte(E_ProtocolDeviceType::EMU) && componentIndex == 1;
    case E_ProtocolComponentType::PCS_DSP1:
    case E_ProtocolComponentType::PCS_DSP2:
    case E_ProtocolComponentType::PCS_FPGA:
    case E_ProtocolComponentType::PCS_ARM:
        return deviceType == toProtocolByte(E_ProtocolDeviceType::PCS) && componentIndex == 1;
    case E_ProtocolComponentType::BMS_BAU:
    case E_ProtocolComponentType::BMS_BEU:
        return deviceType == toProtocolByte(E_ProtocolDeviceType::BMS) && componentIndex == 1;
    case E_ProtocolComponentType::BMS_BCU:
        return deviceType == toProtocolByte(E_ProtocolDeviceType::BMS) && componentIndex >= 1 &&
               componentIndex <= 12;
    }
    return false;
}

bool isToolToDeviceMessageType(std::uint8_t messageType)
{
    switch (static_cast<E_ProtocolMessageType>(messageType))
    {
    case E_ProtocolMessageType::MSG_QUERY_STATUS:
    case E_ProtocolMessageType::MSG_EMS_CMD:
    case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
    case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
    case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
        return true;
    default:
        return false;
    }
}

bool isDeviceToToolMessageType(std::uint8_t messageType)
{
    return messageType >= 1 && messageType <= 11 && !isToolToDeviceMessageType(messageType);
}

}  // namespace ota::backend
