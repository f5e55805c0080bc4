#include "protocol/protocol_event_builder.h"

namespace ota::backend
{
namespace
{

void fillGroup(const S_ProtocolFrame& frame, S_ProtocolEvent& event)
{
    if (const auto* status = std::get_if<S_ProtocolDeviceStatus>(&frame.body))
    {
        auto& group = event.deviceStatus;
        group.present = true;
        group.upgradeNo = frame.upgradeNo;
        group.upgradeState = deviceUpgradeStateName(status->upgradeState);
        group.reasonCode = status->reasonCode;
        group.reasonName = protocolReasonCodeName(status->reasonCode);
        group.components.reserve(status->components.size());
        for (const auto& item : status->components)
        {
            group.components.push_back({componentTypeIdentifier(item.componentType), item.componentIndex, item.version});
        }
    }
    else if (const auto* ack = std::get_if<S_ProtocolDeviceAck>(&frame.body))
    {
        event.ack = {true, ack->stage, ack->result, ack->reasonCode, protocolReasonCodeName(ack->reasonCode)};
    }
    else if (const auto* report = std::get_if<S_ProtocolStageReport>(&frame.body))
    {
        event.stageReport = {true,           report->stage,      report->result,
                             report->progress, report->reasonCode, protocolReasonCodeName(report->reasonCode)};
    }
    else if (const auto* chunkReport = std::get_if<S_ProtocolFileChunkReport>(&frame.body))
    {
        event.fileChunkReport = {true,
                                 chunkReport->fileNo,
                                 chunkReport->chunkNo,
                                 chunkReport->result,
                                 chunkReport->reasonCode,
                                 protocolReasonCodeName(chunkReport->reasonCode),
                                 chunkReport->crc32};
    }
    else if (const auto* verifyReport = std::get_if<S_ProtocolFileVerifyReport>(&frame.body))
    {
        event.fileVerifyReport = {true,
                                  verifyReport->fileNo,
                                  verifyReport->result,
                                  verifyReport->reasonCode,
                                  protocolReasonCodeName(verifyReport->reasonCode),
                                  verifyReport->fileSize,
                                  verifyReport->sha256};
    }
    else if (const auto* progress = std::get_if<S_ProtocolProgress>(&frame.body))
    {
        event.progress = {true,
                          progress->stage,
                          componentTypeIdentifier(progress->componentType),
                          progress->componentIndex,
                          progress->percentage,
                          progress->reasonCode,
                          protocolReasonCodeName(progress->reasonCode),
                          progress->detailText};
    }
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
    event.messageType = protocolMessageTypeName(frame.messageType);
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
        fillGroup(frame, event);
    }
    return event;
}

}  // namespace ota::backend
