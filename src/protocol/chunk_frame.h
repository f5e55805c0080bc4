#pragma once

// A MSG_EMS_FILE_CHUNK frame built in one buffer: the caller reads the file straight into the
// payload area, then the frame is sealed around it (header and chunk fields in front, the CRC-32
// computed over the payload where it lies, the trailer behind). The payload is never copied.

#include "protocol/protocol_enums.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ota::backend
{

// The chunk fields of a frame whose data the caller supplies.
struct S_ProtocolFileChunkHeader
{
    std::uint8_t fileNo = 0;
    std::uint16_t chunkNo = 0;  // zero-based, below totalChunks
    std::uint16_t totalChunks = 0;
    std::size_t dataLength = 0;  // 1..32768

    bool operator==(const S_ProtocolFileChunkHeader&) const = default;
};

// 13 header bytes and the 11 bytes of chunk fields come before the payload.
inline constexpr std::size_t CHUNK_FIELDS_LENGTH = 11;
inline constexpr std::size_t CHUNK_PAYLOAD_OFFSET = FRAME_HEADER_LENGTH + CHUNK_FIELDS_LENGTH;
inline constexpr std::size_t MAX_CHUNK_FRAME_LENGTH =
    CHUNK_PAYLOAD_OFFSET + MAX_CHUNK_DATA_LENGTH + FRAME_TAIL_LENGTH;

// Bytes of one encoded frame in a buffer of fixed capacity, reused from frame to frame.
class CFrameBuffer
{
public:
    explicit CFrameBuffer(std::size_t capacity) : m_bytes(new std::uint8_t[capacity]), m_capacity(capacity) {}
    CFrameBuffer(const CFrameBuffer&) = delete;
    CFrameBuffer& operator=(const CFrameBuffer&) = delete;

    // A buffer holding exactly these bytes.
    static std::shared_ptr<CFrameBuffer> copyOf(const std::vector<std::uint8_t>& bytes)
    {
        auto frame = std::make_shared<CFrameBuffer>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), frame->data());
        frame->setSize(bytes.size());
        return frame;
    }

    std::uint8_t* data() { return m_bytes.get(); }
    const std::uint8_t* data() const { return m_bytes.get(); }
    std::size_t size() const { return m_size; }
    std::size_t capacity() const { return m_capacity; }
    void setSize(std::size_t size) { m_size = size; }

private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::size_t m_capacity = 0;
    std::size_t m_size = 0;
};

// The payload area of a chunk frame in `frame` (its capacity must be MAX_CHUNK_FRAME_LENGTH).
inline std::uint8_t* chunkPayloadArea(CFrameBuffer& frame)
{
    return frame.data() + CHUNK_PAYLOAD_OFFSET;
}

// Checks the fields as encodeFrame checks a file chunk frame (same rules, same texts), then writes
// header, chunk fields, CRC-32 of the payload and trailer around the payload the caller wrote into
// chunkPayloadArea. The frame's size is the encoded length; crc32 is the payload's checksum.
bool sealChunkFrame(CFrameBuffer& frame, std::uint8_t deviceType, std::uint32_t upgradeNo,
                    const S_ProtocolFileChunkHeader& header, std::uint32_t& crc32, std::string& error);

}  // namespace ota::backend
