#include "common/digest.h"
#include "device/upgrade_device_transport.h"

namespace ota::backend
{

namespace
{

// The link of a transport that sends by id only.
class CForwardingDeviceLink final : public IUpgradeDeviceLink
{
public:
    CForwardingDeviceLink(IUpgradeDeviceTransport& transport, std::string deviceId)
        : m_transport(transport), m_deviceId(std::move(deviceId))
    {
    }

    const std::string& deviceId() const override { return m_deviceId; }
    bool sendUpgradeStatusQuery(std::uint32_t upgradeNo, std::string& error) override
    {
        return m_transport.sendUpgradeStatusQuery(m_deviceId, upgradeNo, error);
    }
    bool sendUpgradeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                            std::string& error) override
    {
        return m_transport.sendUpgradeCommand(m_deviceId, upgradeNo, command, error);
    }
    bool sendUpgradeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                               std::string& error) override
    {
        return m_transport.sendUpgradeTargetList(m_deviceId, upgradeNo, targetList, error);
    }
    bool sendUpgradeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                             std::string& error) override
    {
        return m_transport.sendUpgradeFileInfo(m_deviceId, upgradeNo, fileInfo, error);
    }
    std::uint8_t* chunkPayload(std::size_t dataLength) override
    {
        if (dataLength == 0 || dataLength > MAX_CHUNK_DATA_LENGTH)
        {
            return nullptr;
        }
        m_chunk.data.resize(dataLength);
        return m_chunk.data.data();
    }
    bool sendUpgradeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                              std::uint32_t& crc32, std::string& error) override
    {
        m_chunk.fileNo = header.fileNo;
        m_chunk.chunkNo = header.chunkNo;
        m_chunk.totalChunks = header.totalChunks;
        m_chunk.data.resize(header.dataLength);
        m_chunk.crc32 = crc32Of(m_chunk.data.data(), m_chunk.data.size());
        crc32 = m_chunk.crc32;
        return m_transport.sendUpgradeFileChunk(m_deviceId, upgradeNo, m_chunk, error);
    }

private:
    IUpgradeDeviceTransport& m_transport;
    const std::string m_deviceId;
    S_ProtocolFileChunk m_chunk;
};

}  // namespace

std::unique_ptr<IUpgradeDeviceLink> IUpgradeDeviceTransport::resolveDevice(const std::string& deviceId)
{
    return std::make_unique<CForwardingDeviceLink>(*this, deviceId);
}

}  // namespace ota::backend
