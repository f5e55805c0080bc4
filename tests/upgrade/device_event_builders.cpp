#include "upgrade/device_event_builders.h"

namespace ota::test
{
namespace
{

using backend::S_ProtocolEvent;

std::string nameOf(std::uint16_t reasonCode, const std::string& reasonName)
{
    return reasonName.empty() ? std::string(backend::protocolReasonCodeName(reasonCode)) : reasonName;
}

S_ProtocolEvent header(backend::E_ProtocolMessageType type, std::uint32_t upgradeNo)
{
    S_ProtocolEvent event;
    event.messageType = backend::protocolMessageTypeName(backend::toProtocolByte(type));
    event.upgradeNo = upgradeNo;
    return event;
}

}  // namespace

S_ProtocolEvent deviceStatus(std::uint32_t upgradeNo, const std::string& upgradeState,
                             std::uint16_t reasonCode,
                             const std::vector<backend::S_ProtocolEventComponent>& components)
{
    S_ProtocolEvent event = header(backend::E_ProtocolMessageType::MSG_DEVICE_STATUS, upgradeNo);
    auto& group = event.deviceStatus;
    group.present = true;
    group.upgradeNo = upgradeNo;
    group.upgradeState = upgradeState;
    group.reasonCode = reasonCode;
    group.reasonName = nameOf(reasonCode, {});
    group.components = components;
    return event;
}

S_ProtocolEvent ack(std::uint32_t upgradeNo, backend::E_ProtocolStage stage, std::uint8_t result,
                    std::uint16_t reasonCode, const std::string& reasonName)
{
    S_ProtocolEvent event = header(backend::E_ProtocolMessageType::MSG_DEVICE_ACK, upgradeNo);
    event.ack = {true, backend::toProtocolByte(stage), result, reasonCode, nameOf(reasonCode, reasonName)};
    return event;
}

S_ProtocolEvent stageReport(std::uint32_t upgradeNo, backend::E_ProtocolStage stage, std::uint8_t result,
                            std::uint8_t progress, std::uint16_t reasonCode, const std::string& reasonName)
{
    S_ProtocolEvent event = header(backend::E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT, upgradeNo);
    event.stageReport = {true,       backend::toProtocolByte(stage), result, progress,
                         reasonCode, nameOf(reasonCode, reasonName)};
    return event;
}

S_ProtocolEvent chunkReport(std::uint32_t upgradeNo, std::uint8_t fileNo, std::uint16_t chunkNo,
                            std::uint8_t result, std::uint32_t crc32, std::uint16_t reasonCode,
                            const std::string& reasonName)
{
    S_ProtocolEvent event = header(backend::E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT, upgradeNo);
    event.fileChunkReport = {true, fileNo, chunkNo, result, reasonCode, nameOf(reasonCode, reasonName),
                             crc32};
    return event;
}

S_ProtocolEvent verifyReport(std::uint32_t upgradeNo, std::uint8_t fileNo, std::uint8_t result,
                             std::uint32_t fileSize, const backend::S_ProtocolSha256& sha256,
                             std::uint16_t reasonCode, const std::string& reasonName)
{
    S_ProtocolEvent event = header(backend::E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT, upgradeNo);
    event.fileVerifyReport = {true,     fileNo, result, reasonCode, nameOf(reasonCode, reasonName),
                              fileSize, sha256};
    return event;
}

S_ProtocolEvent progress(std::uint32_t upgradeNo, backend::E_ProtocolStage stage,
                         const std::string& componentTypeId, std::uint16_t componentIndex,
                         std::uint8_t percentage, const std::string& detailText, std::uint16_t reasonCode,
                         const std::string& reasonName)
{
    S_ProtocolEvent event = header(backend::E_ProtocolMessageType::MSG_DEVICE_PROGRESS, upgradeNo);
    event.progress = {true,       backend::toProtocolByte(stage), componentTypeId, componentIndex, percentage,
                      reasonCode, nameOf(reasonCode, reasonName), detailText};
    return event;
}

S_ProtocolEvent withUpgradeNo(S_ProtocolEvent event, std::uint32_t upgradeNo)
{
    event.upgradeNo = upgradeNo;
    if (event.deviceStatus.present)
    {
        event.deviceStatus.upgradeNo = upgradeNo;
    }
    return event;
}

}  // namespace ota::test
