#include "protocol/ota_v1_protocol_adapter.h"

#include "protocol/protocol_event_builder.h"

namespace ota::backend
{

std::unique_ptr<IDeviceProtocolAdapter> createProtocolAdapter(std::string_view protocolAdapterId,
                                                              std::string_view protocolNodeType,
                                                              std::string& error)
{
    error.clear();
    if (protocolAdapterId != OTA_V1_PROTOCOL_ADAPTER_ID)
    {
        error = "Unknown protocol adapter: " + std::string(protocolAdapterId);
        return nullptr;
    }
    std::uint8_t deviceType = 0;
    if (!deviceTypeFromProtocolNodeType(protocolNodeType, deviceType))
    {
        error = "Protocol adapter ota-v1 does not support protocolNodeType: " + std::string(protocolNodeType);
        return nullptr;
    }
    return std::make_unique<COtaV1ProtocolAdapter>(std::string(protocolNodeType), deviceType);
}

COtaV1ProtocolAdapter::COtaV1ProtocolAdapter(std::string protocolNodeType, std::uint8_t deviceType)
    : m_protocolNodeType(std::move(protocolNodeType)), m_deviceType(deviceType)
{
}

std::string COtaV1ProtocolAdapter::protocolAdapterId() const
{
    return std::string(OTA_V1_PROTOCOL_ADAPTER_ID);
}

std::string COtaV1ProtocolAdapter::protocolNodeType() const
{
    return m_protocolNodeType;
}

bool COtaV1ProtocolAdapter::encodeBody(std::uint8_t messageType, std::uint32_t upgradeNo, S_ProtocolFrameBody body,
                                       std::vector<std::uint8_t>& bytes, std::string& messageTypeName,
                                       std::string& error)
{
    bytes.clear();
    messageTypeName.clear();
    error.clear();
    S_ProtocolFrame frame;
    frame.protocolVersion = PROTOCOL_VERSION;
    frame.messageType = messageType;
    frame.deviceType = m_deviceType;
    frame.upgradeNo = upgradeNo;
    frame.body = std::move(body);
    if (!encodeFrame(frame, bytes, error))
    {
        return false;
    }
    messageTypeName = protocolMessageTypeName(messageType);
    return true;
}

bool COtaV1ProtocolAdapter::encodeUpgradeStatusQuery(std::uint32_t upgradeNo, std::vector<std::uint8_t>& bytes,
                                                     std::string& messageType, std::uint32_t& encodedUpgradeNo,
                                                     std::string& error)
{
    encodedUpgradeNo = 0;
    if (!encodeBody(toProtocolByte(E_ProtocolMessageType::MSG_QUERY_STATUS), upgradeNo, std::monostate{}, bytes,
                    messageType, error))
    {
        return false;
    }
    encodedUpgradeNo = upgradeNo;
    return true;
}

bool COtaV1ProtocolAdapter::encodeStatusQuery(std::vector<std::uint8_t>& bytes, std::string& messageType,
                                              std::uint32_t& encodedUpgradeNo, std::string& error)
{
    return encodeUpgradeStatusQuery(0, bytes, messageType, encodedUpgradeNo, error);
}

bool COtaV1ProtocolAdapter::encodeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                                          std::vector<std::uint8_t>& bytes, std::string& messageType,
                                          std::string& error)
{
    return encodeBody(toProtocolByte(E_ProtocolMessageType::MSG_EMS_CMD), upgradeNo, command, bytes, messageType,
                      error);
}

bool COtaV1ProtocolAdapter::encodeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                                             std::vector<std::uint8_t>& bytes, std::string& messageType,
                                             std::string& error)
{
    bytes.clear();
    messageType.clear();
    error.clear();
    S_ProtocolTargetItems items;
    items.items.reserve(targetList.targets.size());
    for (const auto& target : targetList.targets)
    {
        std::uint8_t componentType = 0;
        if (target.componentIndex > 255 || !componentTypeFromIdentifier(target.componentTypeId, componentType))
        {
            error = "Target component type or index is invalid: " + target.componentTypeId;
            return false;
        }
        items.items.push_back({target.targetNo, componentType, static_cast<std::uint8_t>(target.componentIndex),
                               static_cast<std::uint8_t>(target.force ? 1 : 0), target.targetVersion});
    }
    return encodeBody(toProtocolByte(E_ProtocolMessageType::MSG_EMS_TARGET_LIST), upgradeNo, std::move(items), bytes,
                      messageType, error);
}

bool COtaV1ProtocolAdapter::encodeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                                           std::vector<std::uint8_t>& bytes, std::string& messageType,
                                           std::string& error)
{
    return encodeBody(toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_INFO), upgradeNo, fileInfo, bytes,
                      messageType, error);
}

bool COtaV1ProtocolAdapter::encodeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunk& fileChunk,
                                            std::vector<std::uint8_t>& bytes, std::string& messageType,
                                            std::string& error)
{
    return encodeBody(toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK), upgradeNo, fileChunk, bytes,
                      messageType, error);
}

bool COtaV1ProtocolAdapter::encodeFileChunkInPlace(std::uint32_t upgradeNo,
                                                   const S_ProtocolFileChunkHeader& header,
                                                   CFrameBuffer& frame, std::uint32_t& crc32,
                                                   std::string& error)
{
    error.clear();
    return sealChunkFrame(frame, m_deviceType, upgradeNo, header, crc32, error);
}

S_ProtocolDecodeResult COtaV1ProtocolAdapter::decode(const std::uint8_t* data, std::size_t size, bool withHexText)
{
    S_ProtocolDecodeResult result;
    decodeInto(data, size, withHexText, result);
    return result;
}

void COtaV1ProtocolAdapter::decodeInto(const std::uint8_t* data, std::size_t size, bool withHexText,
                                       S_ProtocolDecodeResult& result)
{
    result.events.clear();
    result.errors.clear();
    result.connectionRejected = false;
    result.rejectionReason.clear();
    scanFramesInto(m_receiveBuffer, data, size, m_scan);
    result.errors.swap(m_scan.errors);
    result.discardedByteCount = m_scan.discardedByteCount;
    for (const auto& frame : m_scan.frames)
    {
        if (frame.deviceType != m_deviceType)
        {
            result.connectionRejected = true;
            result.rejectionReason = "Device type in frame does not match protocolNodeType " + m_protocolNodeType;
            result.errors.push_back(result.rejectionReason);
            break;
        }
        if (isToolToDeviceMessageType(frame.messageType))
        {
            result.errors.push_back(std::string("Inbound frame direction is invalid: ") +
                                    protocolMessageTypeName(frame.messageType) + " is OTA-tool-to-device only");
            continue;
        }
        result.events.push_back(makeProtocolEvent(frame, withHexText));
    }
}

void COtaV1ProtocolAdapter::resetDecoder()
{
    m_receiveBuffer.clear();
}

}  // namespace ota::backend
