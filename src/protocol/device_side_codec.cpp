#include "protocol/device_side_codec.h"

namespace ota::backend
{
namespace
{

bool encodeDeviceFrame(E_ProtocolMessageType messageType, std::uint8_t deviceType, std::uint32_t upgradeNo,
                       S_ProtocolFrameBody body, std::vector<std::uint8_t>& bytes, std::string& error)
{
    S_ProtocolFrame frame;
    frame.messageType = toProtocolByte(messageType);
    frame.deviceType = deviceType;
    frame.upgradeNo = upgradeNo;
    frame.body = std::move(body);
    return encodeFrame(frame, bytes, error);
}

}  // namespace

std::vector<S_ProtocolComponentVersion> standardDeviceComponents(std::uint8_t deviceType, const std::string& version,
                                                                 unsigned bmsBcuCount)
{
    const auto item = [&](E_ProtocolComponentType type, unsigned index) {
        return S_ProtocolComponentVersion{toProtocolByte(type), static_cast<std::uint8_t>(index), version};
    };
    std::vector<S_ProtocolComponentVersion> components;
    switch (static_cast<E_ProtocolDeviceType>(deviceType))
    {
    case E_ProtocolDeviceType::EMU:
        components.push_back(item(E_ProtocolComponentType::EMU, 1));
        break;
    case E_ProtocolDeviceType::PCS:
        components = {item(E_ProtocolComponentType::PCS_DSP1, 1), item(E_ProtocolComponentType::PCS_DSP2, 1),
                      item(E_ProtocolComponentType::PCS_FPGA, 1), item(E_ProtocolComponentType::PCS_ARM, 1)};
        break;
    case E_ProtocolDeviceType::BMS:
        components = {item(E_ProtocolComponentType::BMS_BAU, 1), item(E_ProtocolComponentType::BMS_BEU, 1)};
        for (unsigned index = 1; index <= bmsBcuCount && index <= 12; ++index)
        {
            components.push_back(item(E_ProtocolComponentType::BMS_BCU, index));
        }
        break;
    }
    return components;
}

S_ProtocolDeviceStatus makeDeviceStatus(std::uint8_t upgradeState, std::uint8_t reasonCode,
                                        std::vector<S_ProtocolComponentVersion> components)
{
    return {upgradeState, reasonCode, std::move(components)};
}

S_ProtocolDeviceAck makeDeviceAck(std::uint8_t stage, std::uint8_t result, std::uint8_t reasonCode)
{
    return {stage, result, reasonCode};
}

S_ProtocolStageReport makeStageReport(std::uint8_t stage, std::uint8_t result, std::uint8_t progress,
                                      std::uint8_t reasonCode)
{
    return {stage, result, progress, reasonCode};
}

S_ProtocolFileChunkReport makeFileChunkReport(std::uint8_t fileNo, std::uint16_t chunkNo, std::uint8_t result,
                                              std::uint8_t reasonCode, std::uint32_t crc32)
{
    return {fileNo, chunkNo, result, reasonCode, crc32};
}

S_ProtocolFileVerifyReport makeFileVerifyReport(std::uint8_t fileNo, std::uint8_t result, std::uint8_t reasonCode,
                                                std::uint32_t fileSize, const S_ProtocolSha256& sha256)
{
    return {fileNo, result, reasonCode, fileSize, sha256};
}

S_ProtocolProgress makeProgress(std::uint8_t stage, std::uint8_t componentType, std::uint8_t componentIndex,
                                std::uint8_t percentage, std::uint8_t reasonCode, std::string detailText)
{
    return {stage, componentType, componentIndex, percentage, reasonCode, std::move(detailText)};
}

bool encodeDeviceStatusFrame(std::uint8_t deviceType, std::uint32_t upgradeNo, const S_ProtocolDeviceStatus& status,
                             std::vector<std::uint8_t>& bytes, std::string& error)
{
    return encodeDeviceFrame(E_ProtocolMessageType::MSG_DEVICE_STATUS, deviceType, upgradeNo, status, bytes, error);
}

bool encodeDeviceAckFrame(std::uint8_t deviceType, std::uint32_t upgradeNo, const S_ProtocolDeviceAck& ack,
                          std::vector<std::uint8_t>& bytes, std::string& error)
{
    return encodeDeviceFrame(E_ProtocolMessageType::MSG_DEVICE_ACK, deviceType, upgradeNo, ack, bytes, error);
}

bool encodeStageReportFrame(std::uint8_t deviceType, std::uint32_t upgradeNo, const S_ProtocolStageReport& report,
                            std::vector<std::uint8_t>& bytes, std::string& error)
{
    return encodeDeviceFrame(E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT, deviceType, upgradeNo, report, bytes,
                             error);
}

bool encodeFileChunkReportFrame(std::uint8_t deviceType, std::uint32_t upgradeNo,
                                const S_ProtocolFileChunkReport& report, std::vector<std::uint8_t>& bytes,
                                std::string& error)
{
    return encodeDeviceFrame(E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT, deviceType, upgradeNo, report, bytes,
                             error);
}

bool encodeFileVerifyReportFrame(std::uint8_t deviceType, std::uint32_t upgradeNo,
                                 const S_ProtocolFileVerifyReport& report, std::vector<std::uint8_t>& bytes,
                                 std::string& error)
{
    return encodeDeviceFrame(E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT, deviceType, upgradeNo, report,
                             bytes, error);
}

bool encodeProgressFrame(std::uint8_t deviceType, std::uint32_t upgradeNo, const S_ProtocolProgress& progress,
                         std::vector<std::uint8_t>& bytes, std::string& error)
{
    return encodeDeviceFrame(E_ProtocolMessageType::MSG_DEVICE_PROGRESS, deviceType, upgradeNo, progress, bytes,
                             error);
}

S_DeviceSideDecodeResult CDeviceSideFrameDecoder::decode(const std::uint8_t* data, std::size_t size)
{
    S_DeviceSideDecodeResult result;
    S_ProtocolStreamScan scan = scanFrames(m_receiveBuffer, data, size);
    result.errors = std::move(scan.errors);
    result.discardedByteCount = scan.discardedByteCount;
    result.frames.reserve(scan.frames.size());
    for (auto& frame : scan.frames)
    {
        if (!isToolToDeviceMessageType(frame.messageType))
        {
            result.errors.push_back(std::string("Inbound frame direction is invalid: ") +
                                    protocolMessageTypeName(frame.messageType) + " is device-to-OTA-tool only");
            continue;
        }
        result.frames.push_back(std::move(frame));
    }
    return result;
}

void CDeviceSideFrameDecoder::reset()
{
    m_receiveBuffer.clear();
}

}  // namespace ota::backend
