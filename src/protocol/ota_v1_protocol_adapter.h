#pragma once

#include "protocol/protocol_adapter.h"
#include "protocol/protocol_frame.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

class COtaV1ProtocolAdapter final : public IDeviceProtocolAdapter
{
public:
    // deviceType must be the E_ProtocolDeviceType of protocolNodeType (createProtocolAdapter
    // derives it).
    COtaV1ProtocolAdapter(std::string protocolNodeType, std::uint8_t deviceType);
    COtaV1ProtocolAdapter(const COtaV1ProtocolAdapter&) = delete;
    COtaV1ProtocolAdapter& operator=(const COtaV1ProtocolAdapter&) = delete;

    std::string protocolAdapterId() const override;
    std::string protocolNodeType() const override;
    std::uint8_t deviceType() const { return m_deviceType; }
    // Bytes kept for the next read; below MAX_ACCEPTED_FRAME_LENGTH after every decode.
    std::size_t bufferedByteCount() const { return m_receiveBuffer.size(); }

    bool encodeUpgradeStatusQuery(std::uint32_t upgradeNo, std::vector<std::uint8_t>& bytes,
                                  std::string& messageType, std::uint32_t& encodedUpgradeNo,
                                  std::string& error) override;
    bool encodeStatusQuery(std::vector<std::uint8_t>& bytes, std::string& messageType,
                           std::uint32_t& encodedUpgradeNo, std::string& error) override;
    bool encodeCommand(std::uint32_t upgradeNo, const S_ProtocolCommand& command,
                       std::vector<std::uint8_t>& bytes, std::string& messageType,
                       std::string& error) override;
    bool encodeTargetList(std::uint32_t upgradeNo, const S_ProtocolTargetList& targetList,
                          std::vector<std::uint8_t>& bytes, std::string& messageType,
                          std::string& error) override;
    bool encodeFileInfo(std::uint32_t upgradeNo, const S_ProtocolFileInfo& fileInfo,
                        std::vector<std::uint8_t>& bytes, std::string& messageType,
                        std::string& error) override;
    bool encodeFileChunk(std::uint32_t upgradeNo, const S_ProtocolFileChunk& fileChunk,
                         std::vector<std::uint8_t>& bytes, std::string& messageType,
                         std::string& error) override;
    bool encodeFileChunkInPlace(std::uint32_t upgradeNo, const S_ProtocolFileChunkHeader& header,
                                CFrameBuffer& frame, std::uint32_t& crc32, std::string& error) override;

    S_ProtocolDecodeResult decode(const std::uint8_t* data, std::size_t size, bool withHexText) override;
    void decodeInto(const std::uint8_t* data, std::size_t size, bool withHexText,
                    S_ProtocolDecodeResult& result) override;
    void resetDecoder() override;

private:
    bool encodeBody(std::uint8_t messageType, std::uint32_t upgradeNo, S_ProtocolFrameBody body,
                    std::vector<std::uint8_t>& bytes, std::string& messageTypeName, std::string& error);

    std::string m_protocolNodeType;
    std::uint8_t m_deviceType = 0;
    std::vector<std::uint8_t> m_receiveBuffer;
    S_ProtocolStreamScan m_scan;  // reused by every decode
};

}  // namespace ota::backend
