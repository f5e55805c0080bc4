#include "protocol/chunk_frame.h"

#include "common/digest.h"
#include "protocol/body_rules.h"
#include "protocol/protocol_frame.h"

namespace ota::backend
{

namespace
{

void putU16(std::uint8_t* at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void putU32(std::uint8_t* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

bool sealChunkFrame(CFrameBuffer& frame, std::uint8_t deviceType, std::uint32_t upgradeNo,
                    const S_ProtocolFileChunkHeader& header, std::uint32_t& crc32, std::string& error)
{
    frame.setSize(0);
    crc32 = 0;
    if (!validateFrameHeader(PROTOCOL_VERSION, toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK),
                             deviceType, upgradeNo, error) ||
        !validateFileChunkFields(header.fileNo, header.chunkNo, header.totalChunks, header.dataLength, error))
    {
        return false;
    }
    if (frame.capacity() < MAX_CHUNK_FRAME_LENGTH)
    {
        error = "Chunk frame buffer is too small";
        return false;
    }
    std::uint8_t* bytes = frame.data();
    const auto dataLength = static_cast<std::uint16_t>(header.dataLength);
    crc32 = crc32Of(bytes + CHUNK_PAYLOAD_OFFSET, dataLength);
    bytes[0] = bytes[1] = bytes[2] = bytes[3] = 0x5A;
    bytes[4] = PROTOCOL_VERSION;
    bytes[5] = toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK);
    bytes[6] = deviceType;
    putU32(bytes + 7, upgradeNo);
    putU16(bytes + 11, static_cast<std::uint16_t>(CHUNK_FIELDS_LENGTH + dataLength));
    std::uint8_t* fields = bytes + FRAME_HEADER_LENGTH;
    fields[0] = header.fileNo;
    putU16(fields + 1, header.chunkNo);
    putU16(fields + 3, header.totalChunks);
    putU16(fields + 5, dataLength);
    putU32(fields + 7, crc32);
    std::uint8_t* tail = bytes + CHUNK_PAYLOAD_OFFSET + dataLength;
    tail[0] = tail[1] = tail[2] = tail[3] = 0xA5;
    frame.setSize(CHUNK_PAYLOAD_OFFSET + dataLength + FRAME_TAIL_LENGTH);
    return true;
}

}  // namespace ota::backend
