#include "protocol/body_codec.h"

#include "protocol/body_rules.h"
#include "protocol/wire_bytes.h"

namespace ota::backend
{
namespace
{

constexpr std::uint8_t REASON_COMPONENT_INFO_INVALID = toProtocolByte(E_ProtocolReasonCode::COMPONENT_INFO_INVALID);
constexpr std::uint8_t REASON_BODY_LENGTH_INVALID = toProtocolByte(E_ProtocolReasonCode::BODY_LENGTH_INVALID);
constexpr std::uint8_t REASON_UNSUPPORTED_MSG_TYPE = toProtocolByte(E_ProtocolReasonCode::UNSUPPORTED_MSG_TYPE);
constexpr std::size_t STATUS_ITEM_SIZE = 34;
constexpr std::size_t TARGET_ITEM_SIZE = 36;
constexpr std::size_t CHUNK_FIXED_LENGTH = 11;

struct S_BodyFailure
{
    std::uint8_t& reasonCode;
    std::string& error;

    bool operator()(std::uint8_t reason, const std::string& message) const
    {
        reasonCode = reason;
        error = message;
        return false;
    }
};

void appendDeviceStatus(const S_ProtocolDeviceStatus& status, std::vector<std::uint8_t>& out)
{
    wire::putU8(out, status.upgradeState);
    wire::putU8(out, status.reasonCode);
    wire::putU8(out, static_cast<std::uint8_t>(status.components.size()));
    wire::putU8(out, STATUS_ITEM_SIZE);
    for (const auto& item : status.components)
    {
        wire::putU8(out, item.componentType);
        wire::putU8(out, item.componentIndex);
        wire::putText(out, item.version, VERSION_FIELD_WIDTH);
    }
}

void appendTargetItems(const S_ProtocolTargetItems& targets, std::vector<std::uint8_t>& out)
{
    wire::putU8(out, static_cast<std::uint8_t>(targets.items.size()));
    wire::putU8(out, TARGET_ITEM_SIZE);
    for (const auto& item : targets.items)
    {
        wire::putU8(out, item.targetNo);
        wire::putU8(out, item.componentType);
        wire::putU8(out, item.componentIndex);
        wire::putU8(out, item.force);
        wire::putText(out, item.version, VERSION_FIELD_WIDTH);
    }
}

void appendFileInfo(const S_ProtocolFileInfo& info, std::vector<std::uint8_t>& out)
{
    wire::putU8(out, info.fileNo);
    wire::putText(out, info.fileName, FILE_NAME_FIELD_WIDTH);
    wire::putU32(out, info.fileSize);
    wire::putU16(out, info.chunkSize);
    wire::putU16(out, info.totalChunks);
    wire::putBytes(out, info.sha256.data(), info.sha256.size());
}

void appendFileChunk(const S_ProtocolFileChunk& chunk, std::vector<std::uint8_t>& out)
{
    wire::putU8(out, chunk.fileNo);
    wire::putU16(out, chunk.chunkNo);
    wire::putU16(out, chunk.totalChunks);
    // An oversized data vector is cut here in the length field only; the frame length check
    // that follows rejects such a body before any byte is used.
    wire::putU16(out, static_cast<std::uint16_t>(chunk.data.size()));
    wire::putU32(out, chunk.crc32);
    wire::putBytes(out, chunk.data.data(), chunk.data.size());
}

bool parseDeviceStatus(std::span<const std::uint8_t> body, S_ProtocolFrame& frame, const S_BodyFailure& fail)
{
    if (body.size() < 4)
    {
        return fail(REASON_BODY_LENGTH_INVALID, "DeviceStatus body is too short");
    }
    const std::size_t count = body[2];
    if (count > MAX_STATUS_COMPONENTS || body[3] != STATUS_ITEM_SIZE || body.size() != 4 + STATUS_ITEM_SIZE * count)
    {
        return fail(REASON_COMPONENT_INFO_INVALID, "DeviceStatus target component layout is invalid");
    }
    S_ProtocolDeviceStatus status;
    status.upgradeState = body[0];
    status.reasonCode = body[1];
    status.components.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint8_t* item = body.data() + 4 + STATUS_ITEM_SIZE * i;
        status.components.push_back({item[0], item[1], wire::readText(item + 2, VERSION_FIELD_WIDTH)});
    }
    // Composition faults are the most specific report, so they win over state and reason.
    std::string componentError;
    if (!validateStatusComponents(frame.deviceType, status.components, componentError))
    {
        return fail(REASON_COMPONENT_INFO_INVALID, componentError);
    }
    const bool stateValid = status.upgradeState >= toProtocolByte(E_DeviceUpgradeState::READY) &&
                            status.upgradeState <= toProtocolByte(E_DeviceUpgradeState::FAULT);
    if (!stateValid)
    {
        return fail(REASON_COMPONENT_INFO_INVALID, "DeviceStatus upgradeState is invalid");
    }
    if (status.reasonCode > MAX_REASON_CODE)
    {
        return fail(REASON_COMPONENT_INFO_INVALID, "DeviceStatus reasonCode is invalid");
    }
    frame.body = std::move(status);
    return true;
}

bool parseTargetItems(std::span<const std::uint8_t> body, S_ProtocolFrame& frame, const S_BodyFailure& fail)
{
    if (body.size() < 2)
    {
        return fail(REASON_BODY_LENGTH_INVALID, "TargetList body is too short");
    }
    const std::size_t count = body[0];
    if (count < 1 || count > MAX_TARGET_ITEMS || body[1] != TARGET_ITEM_SIZE ||
        body.size() != 2 + TARGET_ITEM_SIZE * count)
    {
        return fail(REASON_COMPONENT_INFO_INVALID, "TargetList layout is invalid");
    }
    S_ProtocolTargetItems targets;
    targets.items.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::uint8_t* item = body.data() + 2 + TARGET_ITEM_SIZE * i;
        targets.items.push_back({item[0], item[1], item[2], item[3], wire::readText(item + 4, VERSION_FIELD_WIDTH)});
    }
    frame.body = std::move(targets);
    std::string validationError;
    if (!validateFrame(frame, validationError))
    {
        return fail(REASON_COMPONENT_INFO_INVALID, validationError);
    }
    return true;
}

bool parseFileChunk(std::span<const std::uint8_t> body, S_ProtocolFrame& frame, const S_BodyFailure& fail)
{
    if (body.size() < CHUNK_FIXED_LENGTH)
    {
        return fail(REASON_BODY_LENGTH_INVALID, "FileChunk body is too short");
    }
    const std::size_t dataLength = wire::readU16(body.data() + 5);
    if (dataLength < 1 || dataLength > MAX_CHUNK_DATA_LENGTH || body.size() != CHUNK_FIXED_LENGTH + dataLength)
    {
        return fail(REASON_BODY_LENGTH_INVALID, "FileChunk layout is invalid");
    }
    S_ProtocolFileChunk chunk;
    chunk.fileNo = body[0];
    chunk.chunkNo = wire::readU16(body.data() + 1);
    chunk.totalChunks = wire::readU16(body.data() + 3);
    chunk.crc32 = wire::readU32(body.data() + 7);
    // Validity does not depend on the data bytes (any length 1..32768 passes), so a frame that
    // will fail validation is checked with a one-byte stand-in first. The scanner advances one
    // byte per rejected candidate; copying up to 32 KiB for each one would let crafted input
    // cost thousands of copies per received chunk.
    chunk.data.assign(1, 0);
    frame.body = std::move(chunk);
    std::string validationError;
    if (!validateFrame(frame, validationError))
    {
        return true;  // parseFrame's own validation step reports the failure
    }
    std::get<S_ProtocolFileChunk>(frame.body).data.assign(body.begin() + CHUNK_FIXED_LENGTH, body.end());
    return true;
}

bool parseProgress(std::span<const std::uint8_t> body, S_ProtocolFrame& frame, const S_BodyFailure& fail)
{
    if (body.size() != 69)
    {
        return fail(REASON_BODY_LENGTH_INVALID, "Progress body length must be 69");
    }
    frame.body = S_ProtocolProgress{body[0], body[1], body[2], body[3], body[4],
                                    wire::readText(body.data() + 5, DETAIL_TEXT_FIELD_WIDTH)};
    std::string validationError;
    if (!validateFrame(frame, validationError))
    {
        return fail(REASON_COMPONENT_INFO_INVALID, validationError);
    }
    return true;
}

}  // namespace

bool appendFrameBody(const S_ProtocolFrame& frame, std::vector<std::uint8_t>& out)
{
    const auto& body = frame.body;
    if (frame.messageType < 1 || frame.body.index() != frame.messageType - 1U)
    {
        return false;
    }
    switch (static_cast<E_ProtocolMessageType>(frame.messageType))
    {
    case E_ProtocolMessageType::MSG_QUERY_STATUS:
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_STATUS:
        appendDeviceStatus(std::get<S_ProtocolDeviceStatus>(body), out);
        return true;
    case E_ProtocolMessageType::MSG_EMS_CMD:
    {
        const auto& command = std::get<S_ProtocolCommand>(body);
        wire::putU8(out, command.commandType);
        wire::putU8(out, command.stage);
        wire::putU16(out, command.commandParam);
        return true;
    }
    case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
        appendTargetItems(std::get<S_ProtocolTargetItems>(body), out);
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_ACK:
    {
        const auto& ack = std::get<S_ProtocolDeviceAck>(body);
        out.insert(out.end(), {ack.stage, ack.result, ack.reasonCode});
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT:
    {
        const auto& report = std::get<S_ProtocolStageReport>(body);
        out.insert(out.end(), {report.stage, report.result, report.progress, report.reasonCode});
        return true;
    }
    case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
        appendFileInfo(std::get<S_ProtocolFileInfo>(body), out);
        return true;
    case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
        appendFileChunk(std::get<S_ProtocolFileChunk>(body), out);
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT:
    {
        const auto& report = std::get<S_ProtocolFileChunkReport>(body);
        wire::putU8(out, report.fileNo);
        wire::putU16(out, report.chunkNo);
        wire::putU8(out, report.result);
        wire::putU8(out, report.reasonCode);
        wire::putU32(out, report.crc32);
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT:
    {
        const auto& report = std::get<S_ProtocolFileVerifyReport>(body);
        out.insert(out.end(), {report.fileNo, report.result, report.reasonCode});
        wire::putU32(out, report.fileSize);
        wire::putBytes(out, report.sha256.data(), report.sha256.size());
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_PROGRESS:
    {
        const auto& progress = std::get<S_ProtocolProgress>(body);
        out.insert(out.end(), {progress.stage, progress.componentType, progress.componentIndex, progress.percentage,
                               progress.reasonCode});
        wire::putText(out, progress.detailText, DETAIL_TEXT_FIELD_WIDTH);
        return true;
    }
    }
    return false;
}

bool parseFrameBody(std::span<const std::uint8_t> body, S_ProtocolFrame& frame, std::uint8_t& reasonCode,
                    std::string& error)
{
    const S_BodyFailure fail{reasonCode, error};
    const auto exactLength = [&](std::size_t length, const char* message) {
        return body.size() == length ? true : fail(REASON_BODY_LENGTH_INVALID, message);
    };
    const std::uint8_t* b = body.data();
    switch (static_cast<E_ProtocolMessageType>(frame.messageType))
    {
    case E_ProtocolMessageType::MSG_QUERY_STATUS:
        if (!exactLength(0, "QueryStatus body must be empty"))
        {
            return false;
        }
        frame.body = std::monostate{};
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_STATUS:
        return parseDeviceStatus(body, frame, fail);
    case E_ProtocolMessageType::MSG_EMS_CMD:
        if (!exactLength(4, "Command body length must be 4"))
        {
            return false;
        }
        frame.body = S_ProtocolCommand{b[0], b[1], wire::readU16(b + 2)};
        return true;
    case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
        return parseTargetItems(body, frame, fail);
    case E_ProtocolMessageType::MSG_DEVICE_ACK:
        if (!exactLength(3, "Ack body length must be 3"))
        {
            return false;
        }
        frame.body = S_ProtocolDeviceAck{b[0], b[1], b[2]};
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT:
        if (!exactLength(4, "StageReport body length must be 4"))
        {
            return false;
        }
        frame.body = S_ProtocolStageReport{b[0], b[1], b[2], b[3]};
        return true;
    case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
    {
        if (!exactLength(105, "FileInfo body length must be 105"))
        {
            return false;
        }
        S_ProtocolFileInfo info;
        info.fileNo = b[0];
        info.fileName = wire::readText(b + 1, FILE_NAME_FIELD_WIDTH);
        info.fileSize = wire::readU32(b + 65);
        info.chunkSize = wire::readU16(b + 69);
        info.totalChunks = wire::readU16(b + 71);
        std::copy(b + 73, b + 105, info.sha256.begin());
        frame.body = std::move(info);
        return true;
    }
    case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
        return parseFileChunk(body, frame, fail);
    case E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT:
        if (!exactLength(9, "FileChunkReport body length must be 9"))
        {
            return false;
        }
        frame.body = S_ProtocolFileChunkReport{b[0], wire::readU16(b + 1), b[3], b[4], wire::readU32(b + 5)};
        return true;
    case E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT:
    {
        if (!exactLength(39, "FileVerifyReport body length must be 39"))
        {
            return false;
        }
        S_ProtocolFileVerifyReport report;
        report.fileNo = b[0];
        report.result = b[1];
        report.reasonCode = b[2];
        report.fileSize = wire::readU32(b + 3);
        std::copy(b + 7, b + 39, report.sha256.begin());
        frame.body = report;
        return true;
    }
    case E_ProtocolMessageType::MSG_DEVICE_PROGRESS:
        return parseProgress(body, frame, fail);
    }
    return fail(REASON_UNSUPPORTED_MSG_TYPE, "Message type is unsupported");
}

bool writeFrameBytes(const S_ProtocolFrame& frame, std::vector<std::uint8_t>& bytes, std::string& error)
{
    bytes.clear();
    std::size_t expectedBody = 0;
    if (const auto* chunk = std::get_if<S_ProtocolFileChunk>(&frame.body))
    {
        expectedBody = CHUNK_FIXED_LENGTH + chunk->data.size();
    }
    bytes.reserve(FRAME_OVERHEAD_LENGTH + expectedBody);
    // Indexed writes rather than an initializer-list insert, which GCC 12 at -O3 misreads as
    // an overflow (-Wstringop-overflow false positive).
    bytes.resize(FRAME_HEADER_LENGTH, 0);  // body length stays 0 until patched below
    bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0x5A;
    bytes[4] = PROTOCOL_VERSION;
    bytes[5] = frame.messageType;
    bytes[6] = frame.deviceType;
    for (std::size_t i = 0; i < 4; ++i)
    {
        bytes[7 + i] = static_cast<std::uint8_t>(frame.upgradeNo >> (8 * i));
    }
    if (!appendFrameBody(frame, bytes))
    {
        bytes.clear();
        error = "Unsupported message type";
        return false;
    }
    const std::size_t bodyLength = bytes.size() - FRAME_HEADER_LENGTH;
    if (bodyLength > MAX_BODY_LENGTH)
    {
        bytes.clear();
        error = "Body exceeds MAX_BODY_LENGTH";
        return false;
    }
    bytes[11] = static_cast<std::uint8_t>(bodyLength & 0xFF);
    bytes[12] = static_cast<std::uint8_t>(bodyLength >> 8);
    bytes.insert(bytes.end(), FRAME_TAIL_LENGTH, std::uint8_t{0xA5});
    return true;
}

}  // namespace ota::backend
