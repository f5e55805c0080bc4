#include "protocol/body_rules.h"

#include <algorithm>
#include <array>

namespace ota::backend
{
namespace
{

constexpr std::uint8_t RESULT_SUCCESS = toProtocolByte(E_ProtocolResult::SUCCESS);
constexpr std::uint8_t RESULT_FAILURE = toProtocolByte(E_ProtocolResult::FAILURE);
constexpr std::uint8_t RESULT_ABORTED = toProtocolByte(E_ProtocolResult::ABORTED);
constexpr std::size_t MAX_VERSION_LENGTH = VERSION_FIELD_WIDTH - 1;

bool fail(std::string& error, const char* message)
{
    error = message;
    return false;
}

// Success carries reason 0, a failure (or abort, where allowed) a non-zero reason.
bool isResultConsistent(std::uint8_t result, std::uint8_t reasonCode, std::uint8_t maxResult)
{
    if (result < RESULT_SUCCESS || result > maxResult || reasonCode > MAX_REASON_CODE)
    {
        return false;
    }
    return result == RESULT_SUCCESS ? reasonCode == 0 : reasonCode != 0;
}

bool isFileNoValid(std::uint8_t fileNo)
{
    return fileNo >= 1 && fileNo <= MAX_FILE_NO;
}

bool hasComponent(const std::vector<S_ProtocolComponentVersion>& components, E_ProtocolComponentType type,
                  std::uint8_t index)
{
    return std::any_of(components.begin(), components.end(), [&](const S_ProtocolComponentVersion& item) {
        return item.componentType == toProtocolByte(type) && item.componentIndex == index;
    });
}

bool validateComposition(std::uint8_t deviceType, const std::vector<S_ProtocolComponentVersion>& components,
                         std::string& error)
{
    switch (static_cast<E_ProtocolDeviceType>(deviceType))
    {
    case E_ProtocolDeviceType::EMU:
        if (components.size() != 1 || !hasComponent(components, E_ProtocolComponentType::EMU, 1))
        {
            return fail(error, "EMU device must report exactly one Emu target component with componentIndex 1");
        }
        return true;
    case E_ProtocolDeviceType::PCS:
        if (components.size() != 4 || !hasComponent(components, E_ProtocolComponentType::PCS_DSP1, 1) ||
            !hasComponent(components, E_ProtocolComponentType::PCS_DSP2, 1) ||
            !hasComponent(components, E_ProtocolComponentType::PCS_FPGA, 1) ||
            !hasComponent(components, E_ProtocolComponentType::PCS_ARM, 1))
        {
            return fail(error, "PCS device must report target components DSP1, DSP2, FPGA1 and ARM1");
        }
        return true;
    case E_ProtocolDeviceType::BMS:
    {
        if ((components.size() != 8 && components.size() != 14) ||
            !hasComponent(components, E_ProtocolComponentType::BMS_BAU, 1) ||
            !hasComponent(components, E_ProtocolComponentType::BMS_BEU, 1))
        {
            return fail(error, "BMS device must report target components BAU1, BEU1 and either 6 or 12 BCUs");
        }
        const std::size_t bcuCount = components.size() - 2;
        for (std::size_t index = 1; index <= bcuCount; ++index)
        {
            if (!hasComponent(components, E_ProtocolComponentType::BMS_BCU, static_cast<std::uint8_t>(index)))
            {
                return fail(error, "BMS target component BCU indexes must be continuous from 1");
            }
        }
        return true;
    }
    }
    // Unreachable after the header rules; kept so a direct call never accepts a foreign type.
    return fail(error, "deviceType must be EMU, PCS or BMS");
}

bool validateDeviceStatus(std::uint8_t deviceType, const S_ProtocolDeviceStatus& status, std::string& error)
{
    if (status.upgradeState < toProtocolByte(E_DeviceUpgradeState::READY) ||
        status.upgradeState > toProtocolByte(E_DeviceUpgradeState::FAULT))
    {
        return fail(error, "DeviceStatus upgradeState is invalid");
    }
    if (status.reasonCode > MAX_REASON_CODE)
    {
        return fail(error, "DeviceStatus reasonCode is invalid");
    }
    return validateStatusComponents(deviceType, status.components, error);
}

bool validateCommand(const S_ProtocolCommand& command, std::string& error)
{
    // Required stage per command type 1..5; RESET_CONTEXT accepts any stage.
    constexpr std::array<std::uint8_t, 6> REQUIRED_STAGES = {2, 3, 4, 5, 6, 0};
    const bool typeValid = command.commandType >= toProtocolByte(E_ProtocolCommandType::PREPARE_UPGRADE) &&
                           command.commandType <= toProtocolByte(E_ProtocolCommandType::RESET_CONTEXT);
    const bool isReset = command.commandType == toProtocolByte(E_ProtocolCommandType::RESET_CONTEXT);
    if (!typeValid || command.stage > MAX_STAGE ||
        (!isReset && command.stage != REQUIRED_STAGES[command.commandType - 1]))
    {
        return fail(error, "Command type or stage is invalid");
    }
    if (command.commandType == toProtocolByte(E_ProtocolCommandType::START_TRANSFER))
    {
        if (command.commandParam < 1 || command.commandParam > MAX_FILE_NO)
        {
            return fail(error, "StartTransfer commandParam must contain file count in the allowed range");
        }
        return true;
    }
    if (command.commandParam != 0)
    {
        return fail(error, "Only StartTransfer may carry a non-zero commandParam");
    }
    return true;
}

bool validateTargetItems(std::uint8_t deviceType, const S_ProtocolTargetItems& targets, std::string& error)
{
    const auto& items = targets.items;
    if (items.empty() || items.size() > MAX_TARGET_ITEMS)
    {
        return fail(error, "Target count is outside the allowed range");
    }
    for (std::size_t i = 0; i < items.size(); ++i)
    {
        const auto& item = items[i];
        if (item.targetNo < 1 || item.targetNo > MAX_TARGET_ITEMS || item.force > 1 ||
            item.version.size() > MAX_VERSION_LENGTH ||
            !isComponentAllowedForDeviceType(deviceType, item.componentType, item.componentIndex))
        {
            return fail(error, "Target component type, index or version is invalid for direct device type");
        }
        for (std::size_t j = i + 1; j < items.size(); ++j)
        {
            const auto& later = items[j];
            if (later.targetNo == item.targetNo ||
                (later.componentType == item.componentType && later.componentIndex == item.componentIndex))
            {
                return fail(error, "TargetList contains duplicate target numbers or components");
            }
        }
    }
    return true;
}

bool validateFileInfo(const S_ProtocolFileInfo& info, std::string& error)
{
    bool valid = isFileNoValid(info.fileNo) && info.fileSize != 0 && info.chunkSize >= 1 &&
                 info.chunkSize <= MAX_CHUNK_DATA_LENGTH && info.totalChunks != 0 && !info.fileName.empty() &&
                 info.fileName.size() < FILE_NAME_FIELD_WIDTH;
    if (valid)
    {
        const std::uint64_t neededChunks =
            (static_cast<std::uint64_t>(info.fileSize) + info.chunkSize - 1) / info.chunkSize;
        valid = neededChunks <= 65535 && neededChunks == info.totalChunks;
    }
    return valid ? true : fail(error, "FileInfo fields are invalid");
}

bool validateFileChunk(const S_ProtocolFileChunk& chunk, std::string& error)
{
    return validateFileChunkFields(chunk.fileNo, chunk.chunkNo, chunk.totalChunks, chunk.data.size(), error);
}

bool validateProgress(std::uint8_t deviceType, const S_ProtocolProgress& progress, std::string& error)
{
    if (progress.stage > MAX_STAGE || progress.percentage > 100 || progress.reasonCode > MAX_REASON_CODE ||
        progress.detailText.size() >= DETAIL_TEXT_FIELD_WIDTH ||
        !isComponentAllowedForDeviceType(deviceType, progress.componentType, progress.componentIndex))
    {
        return fail(error,
                    "Progress target component, index, percentage or detail text is invalid for direct device type");
    }
    return true;
}

}  // namespace

bool validateStatusComponents(std::uint8_t deviceType, const std::vector<S_ProtocolComponentVersion>& components,
                              std::string& error)
{
    if (components.empty() || components.size() > MAX_STATUS_COMPONENTS)
    {
        return fail(error, "DeviceStatus target component count is outside the allowed range");
    }
    for (std::size_t i = 0; i < components.size(); ++i)
    {
        const auto& item = components[i];
        if (item.version.size() > MAX_VERSION_LENGTH)
        {
            return fail(error, "Component version is too long");
        }
        if (!isComponentAllowedForDeviceType(deviceType, item.componentType, item.componentIndex))
        {
            return fail(error, "DeviceStatus target component type or index does not match direct device type");
        }
        for (std::size_t j = i + 1; j < components.size(); ++j)
        {
            if (components[j].componentType == item.componentType &&
                components[j].componentIndex == item.componentIndex)
            {
                return fail(error, "DeviceStatus contains duplicate target components");
            }
        }
    }
    return validateComposition(deviceType, components, error);
}

bool validateFileChunkFields(std::uint8_t fileNo, std::uint16_t chunkNo, std::uint16_t totalChunks,
                             std::size_t dataLength, std::string& error)
{
    if (!isFileNoValid(fileNo) || totalChunks == 0 || chunkNo >= totalChunks || dataLength == 0 ||
        dataLength > MAX_CHUNK_DATA_LENGTH)
    {
        error = "FileChunk fields are invalid";
        return false;
    }
    return true;
}

bool validateFrameBody(const S_ProtocolFrame& frame, std::string& error)
{
    const auto& body = frame.body;
    switch (static_cast<E_ProtocolMessageType>(frame.messageType))
    {
    case E_ProtocolMessageType::MSG_QUERY_STATUS:
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_STATUS:
        return validateDeviceStatus(frame.deviceType, std::get<S_ProtocolDeviceStatus>(body), error);
    case E_ProtocolMessageType::MSG_EMS_CMD:
        return validateCommand(std::get<S_ProtocolCommand>(body), error);
    case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
        return validateTargetItems(frame.deviceType, std::get<S_ProtocolTargetItems>(body), error);
    case E_ProtocolMessageType::MSG_DEVICE_ACK:
    {
        const auto& ack = std::get<S_ProtocolDeviceAck>(body);
        if (ack.stage > MAX_STAGE || !isResultConsistent(ack.result, ack.reasonCode, RESULT_FAILURE))
        {
            return fail(error, "Ack stage, result or reasonCode is invalid");
        }
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT:
    {
        const auto& report = std::get<S_ProtocolStageReport>(body);
        if (report.stage > MAX_STAGE || report.progress > 100 ||
            !isResultConsistent(report.result, report.reasonCode, RESULT_ABORTED))
        {
            return fail(error, "StageReport stage, result, progress or reasonCode is invalid");
        }
        return true;
    }
    case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
        return validateFileInfo(std::get<S_ProtocolFileInfo>(body), error);
    case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
        return validateFileChunk(std::get<S_ProtocolFileChunk>(body), error);
    case E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT:
    {
        const auto& report = std::get<S_ProtocolFileChunkReport>(body);
        if (!isFileNoValid(report.fileNo) || !isResultConsistent(report.result, report.reasonCode, RESULT_FAILURE))
        {
            return fail(error, "FileChunkReport file number, result or reasonCode is invalid");
        }
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT:
    {
        const auto& report = std::get<S_ProtocolFileVerifyReport>(body);
        if (!isFileNoValid(report.fileNo) || !isResultConsistent(report.result, report.reasonCode, RESULT_FAILURE))
        {
            return fail(error, "FileVerifyReport file number, result or reasonCode is invalid");
        }
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_PROGRESS:
        return validateProgress(frame.deviceType, std::get<S_ProtocolProgress>(body), error);
    }
    return fail(error, "messageType is unsupported");
}

}  // namespace ota::backend
