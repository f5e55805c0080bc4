#include "protocol/protocol_frame.h"
#include "protocol/wire_bytes.h"

#include <algorithm>
#include <cstring>

namespace ota::backend
{
namespace
{

constexpr std::size_t MAGIC_LENGTH = 4;
constexpr std::size_t KEPT_PARTIAL_MAGIC = MAGIC_LENGTH - 1;

bool isBodyLengthAllowed(std::uint8_t messageType, std::size_t length)
{
    switch (static_cast<E_ProtocolMessageType>(messageType))
    {
        case E_ProtocolMessageType::MSG_QUERY_STATUS:
            return length == 0;
        case E_ProtocolMessageType::MSG_DEVICE_STATUS:
            return length >= 38 && length <= 548 && (length - 4) % 34 == 0;
        case E_ProtocolMessageType::MSG_EMS_CMD:
            return length == 4;
        case E_ProtocolMessageType::MSG_EMS_TARGET_LIST:
            return length >= 38 && length <= 1154 && (length - 2) % 36 == 0;
        case E_ProtocolMessageType::MSG_DEVICE_ACK:
            return length == 3;
        case E_ProtocolMessageType::MSG_DEVICE_STAGE_REPORT:
            return length == 4;
        case E_ProtocolMessageType::MSG_EMS_FILE_INFO:
            return length == 105;
        case E_ProtocolMessageType::MSG_EMS_FILE_CHUNK:
            return length >= 12 && length <= 11 + MAX_CHUNK_DATA_LENGTH;
        case E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT:
            return length == 9;
        case E_ProtocolMessageType::MSG_DEVICE_FILE_VERIFY_REPORT:
            return length == 39;
        case E_ProtocolMessageType::MSG_DEVICE_PROGRESS:
            return length == 69;
    }
    return false;
}

// Offset of the first "ZZZZ" at or after start, or end when there is none.
std::size_t findMagic(const std::uint8_t* bytes, std::size_t start, std::size_t end)
{
    std::size_t at = start;
    while (end - at >= MAGIC_LENGTH)
    {
        const auto* z =
            static_cast<const std::uint8_t*>(std::memchr(bytes + at, 0x5A, end - at - (MAGIC_LENGTH - 1)));
        if (z == nullptr)
        {
            return end;
        }
        at = static_cast<std::size_t>(z - bytes);
        if (z[1] == 0x5A && z[2] == 0x5A && z[3] == 0x5A)
        {
            return at;
        }
        ++at;
    }
    return end;
}

}  // namespace

bool checkFrameCandidate(std::span<const std::uint8_t> buffer, std::string& error)
{
    error.clear();
    if (buffer.size() < FRAME_HEADER_LENGTH)
    {
        error = "Frame candidate is shorter than the frame header";
        return false;
    }
    const std::uint8_t* header = buffer.data();
    const std::uint8_t messageType = header[5];
    if (header[4] != PROTOCOL_VERSION)
    {
        error = "Frame candidate protocol version is unsupported";
        return false;
    }
    if (messageType < 1 || messageType > 11)
    {
        error = "Frame candidate message type is unsupported";
        return false;
    }
    if (header[6] < 1 || header[6] > 3)
    {
        error = "Frame candidate device type is unsupported";
        return false;
    }
    if (wire::readU32(header + 7) == 0 && !(messageType == 1 || messageType == 2))
    {
        error = "Frame candidate upgrade number must not be zero";
        return false;
    }
    if (!isBodyLengthAllowed(messageType, wire::readU16(header + 11)))
    {
        error = "Frame candidate body length is invalid for its message type";
        return false;
    }
    return true;
}

namespace
{

// Extracts every complete frame of bytes[0, end) into scan; returns the offset of the first byte
// that must be kept for the next read.
std::size_t scanBytes(const std::uint8_t* bytes, std::size_t end, S_ProtocolStreamScan& scan)
{
    std::size_t pos = 0;
    std::string error;
    while (true)
    {
        const std::size_t magicAt = findMagic(bytes, pos, end);
        if (magicAt == end)
        {
            // Keep a possible partial magic at the end for the next read.
            const std::size_t kept = std::min(KEPT_PARTIAL_MAGIC, end - pos);
            scan.discardedByteCount += end - pos - kept;
            return end - kept;
        }
        scan.discardedByteCount += magicAt - pos;
        pos = magicAt;
        if (end - pos < FRAME_HEADER_LENGTH)
        {
            return pos;
        }
        if (!checkFrameCandidate({bytes + pos, end - pos}, error))
        {
            scan.errors.push_back(error);
            ++pos;
            ++scan.discardedByteCount;
            continue;
        }
        const std::size_t frameLength = wire::readU16(bytes + pos + 11) + FRAME_OVERHEAD_LENGTH;
        if (end - pos < frameLength)
        {
            return pos;
        }
        S_ProtocolParseResult parsed = parseFrame(bytes + pos, frameLength);
        if (parsed.ok)
        {
            scan.frames.push_back(std::move(parsed.frame));
            pos += frameLength;
        }
        else
        {
            scan.errors.push_back(std::move(parsed.error));
            ++pos;
            ++scan.discardedByteCount;
        }
    }
}

}  // namespace

void scanFramesInto(std::vector<std::uint8_t>& receiveBuffer, const std::uint8_t* data, std::size_t size,
                    S_ProtocolStreamScan& scan)
{
    scan.frames.clear();
    scan.errors.clear();
    scan.discardedByteCount = 0;
    if (data == nullptr && size != 0)
    {
        scan.errors.emplace_back("Input pointer is null");
        return;
    }
    if (size == 0)
    {
        return;
    }
    if (receiveBuffer.empty())
    {
        // Usual case: the read starts on a frame boundary. Frames are parsed straight from the
        // read, and only an incomplete tail is kept, so a large chunk frame is not copied twice.
        const std::size_t pos = scanBytes(data, size, scan);
        receiveBuffer.assign(data + pos, data + size);
        return;
    }
    receiveBuffer.insert(receiveBuffer.end(), data, data + size);
    // Consumed bytes are removed once at the end, so a read holding many frames costs one move
    // of the remainder instead of one per frame.
    const std::size_t pos = scanBytes(receiveBuffer.data(), receiveBuffer.size(), scan);
    receiveBuffer.erase(receiveBuffer.begin(), receiveBuffer.begin() + static_cast<std::ptrdiff_t>(pos));
}

S_ProtocolStreamScan scanFrames(std::vector<std::uint8_t>& receiveBuffer, const std::uint8_t* data,
                                std::size_t size)
{
    S_ProtocolStreamScan scan;
    scanFramesInto(receiveBuffer, data, size, scan);
    return scan;
}

}  // namespace ota::backend
