#include "protocol/protocol_event_builder.h"

namespace ota::backend
{
namespace
{

// The body of a device-to-tool frame; std::monostate for any other.
ProtocolEventBody eventBody(const S_ProtocolFrame& frame)
{
    if (const auto* status = std::get_if<S_ProtocolDeviceStatus>(&frame.body))
    {
        S_ProtocolEventDeviceStatus body;
        body.upgradeNo = frame.upgradeNo;
        body.upgradeState = status->upgradeState;
        body.reasonCode = status->reasonCode;
        body.components.reserve(status->components.size());
        for (const auto& item : status->components)
        {
            body.components.push_back({item.componentType, item.componentIndex, item.version});
        }
        return body;
    }
    if (const auto* ack = std::get_if<S_ProtocolDeviceAck>(&frame.body))
    {
        return S_ProtocolEventAck{ack->stage, ack->result, ack->reasonCode};
    }
    if (const auto* report = std::get_if<S_ProtocolStageReport>(&frame.body))
    {
        return S_ProtocolEventStageReport{report->stage, report->result, report->progress,
                                          report->reasonCode};
    }
    if (const auto* chunkReport = std::get_if<S_ProtocolFileChunkReport>(&frame.body))
    {
        return S_ProtocolEventFileChunkReport{chunkReport->fileNo, chunkReport->chunkNo, chunkReport->result,
                                              chunkReport->reasonCode, chunkReport->crc32};
    }
    if (const auto* verifyReport = std::get_if<S_ProtocolFileVerifyReport>(&frame.body))
    {
        return S_ProtocolEventFileVerifyReport{verifyReport->fileNo, verifyReport->result,
                                               verifyReport->reasonCode, verifyReport->fileSize,
                                               verifyReport->sha256};
    }
    if (const auto* progress = std::get_if<S_ProtocolProgress>(&frame.body))
    {
        return S_ProtocolEventProgress{progress->stage,          progress->componentType,
                                       progress->componentIndex, progress->percentage,
                                       progress->reasonCode,     progress->detailText};
    }
    return std::monostate{};
}

// Upper-case byte pairs separated by single spaces.
std::string spacedHex(const std::vector<std::uint8_t>& bytes)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    if (bytes.empty())
    {
        return text;
    }
    text.reserve(bytes.size() * 3 - 1);
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        if (i != 0)
        {
            text.push_back(' ');
        }
        text.push_back(DIGITS[bytes[i] >> 4]);
        text.push_back(DIGITS[bytes[i] & 0x0F]);
    }
    return text;
}

}  // namespace

S_ProtocolEvent makeProtocolEvent(const S_ProtocolFrame& frame, bool withHexText)
{
    S_ProtocolEvent event;
    event.upgradeNo = frame.upgradeNo;
    event.frameLength = static_cast<std::uint64_t>(frame.bodyLength) + FRAME_OVERHEAD_LENGTH;
    if (withHexText)
    {
        std::vector<std::uint8_t> bytes;
        std::string error;
        if (encodeFrame(frame, bytes, error))
        {
            event.frameLength = bytes.size();
            event.hexText = spacedHex(bytes);
        }
    }
    if (isDeviceToToolMessageType(frame.messageType))
    {
        event.body = eventBody(frame);
    }
    return event;
}

}  // namespace ota::backend
