#include "upgrade/device_event_builders.h"

namespace ota::test
{
namespace
{

using backend::S_ProtocolEvent;

template <typename Body>
S_ProtocolEvent eventOf(std::uint32_t upgradeNo, Body body)
{
    S_ProtocolEvent event;
    event.upgradeNo = upgradeNo;
    event.body = std::move(body);
    return event;
}

std::uint8_t componentTypeOf(const std::string& componentTypeId)
{
    std::uint8_t code = 0xFF;
    backend::componentTypeFromIdentifier(componentTypeId, code);
    return code;
}

std::uint8_t upgradeStateOf(const std::string& name)
{
    for (std::uint8_t code = 1; code <= 4; ++code)
    {
        if (name == backend::deviceUpgradeStateName(code))
        {
            return code;
        }
    }
    return 0;
}

}  // namespace

backend::S_ProtocolEventComponent component(const std::string& componentTypeId, std::uint16_t componentIndex,
                                            const std::string& version)
{
    return {componentTypeOf(componentTypeId), componentIndex, version};
}

S_ProtocolEvent deviceStatus(std::uint32_t upgradeNo, const std::string& upgradeState,
                             std::uint16_t reasonCode,
                             const std::vector<backend::S_ProtocolEventComponent>& components)
{
    return eventOf(upgradeNo, backend::S_ProtocolEventDeviceStatus{upgradeNo, upgradeStateOf(upgradeState),
                                                                   reasonCode, components});
}

S_ProtocolEvent ack(std::uint32_t upgradeNo, backend::E_ProtocolStage stage, std::uint8_t result,
                    std::uint16_t reasonCode)
{
    return eventOf(upgradeNo,
                   backend::S_ProtocolEventAck{backend::toProtocolByte(stage), result, reasonCode});
}

S_ProtocolEvent stageReport(std::uint32_t upgradeNo, backend::E_ProtocolStage stage, std::uint8_t result,
                            std::uint8_t progress, std::uint16_t reasonCode)
{
    return eventOf(upgradeNo, backend::S_ProtocolEventStageReport{backend::toProtocolByte(stage), result,
                                                                  progress, reasonCode});
}

S_ProtocolEvent chunkReport(std::uint32_t upgradeNo, std::uint8_t fileNo, std::uint16_t chunkNo,
                            std::uint8_t result, std::uint32_t crc32, std::uint16_t reasonCode)
{
    return eventOf(upgradeNo,
                   backend::S_ProtocolEventFileChunkReport{fileNo, chunkNo, result, reasonCode, crc32});
}

S_ProtocolEvent verifyReport(std::uint32_t upgradeNo, std::uint8_t fileNo, std::uint8_t result,
                             std::uint32_t fileSize, const backend::S_ProtocolSha256& sha256,
                             std::uint16_t reasonCode)
{
    return eventOf(upgradeNo,
                   backend::S_ProtocolEventFileVerifyReport{fileNo, result, reasonCode, fileSize, sha256});
}

S_ProtocolEvent progress(std::uint32_t upgradeNo, backend::E_ProtocolStage stage,
                         const std::string& componentTypeId, std::uint16_t componentIndex,
                         std::uint8_t percentage, const std::string& detailText, std::uint16_t reasonCode)
{
    return eventOf(upgradeNo, backend::S_ProtocolEventProgress{
                                  backend::toProtocolByte(stage), componentTypeOf(componentTypeId),
                                  componentIndex, percentage, reasonCode, detailText});
}

S_ProtocolEvent withUpgradeNo(S_ProtocolEvent event, std::uint32_t upgradeNo)
{
    event.upgradeNo = upgradeNo;
    if (auto* status = event.get<backend::S_ProtocolEventDeviceStatus>())
    {
        status->upgradeNo = upgradeNo;
    }
    return event;
}

}  // namespace ota::test
