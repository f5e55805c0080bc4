// A chunk frame built in place around its payload must be the very bytes the codec encodes for the
// same chunk, decode to the same record, carry the CRC-32 of the payload, and be refused with the
// codec's texts where the codec refuses.
#include "protocol/chunk_frame.h"
#include "common/digest.h"
#include "protocol/protocol_adapter.h"
#include "protocol/protocol_frame.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ota::backend
{
namespace
{

constexpr std::uint8_t kPcs = toProtocolByte(E_ProtocolDeviceType::PCS);

std::vector<std::uint8_t> payloadOf(std::size_t length, std::uint32_t seed)
{
    std::vector<std::uint8_t> bytes(length);
    for (std::uint8_t& byte : bytes)
    {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

// Every length up to 64, the boundaries of the 16-bit field parts, the default chunk size and the
// largest chunk, each with its neighbours.
std::vector<std::size_t> edgeLengths()
{
    std::vector<std::size_t> lengths;
    for (std::size_t length = 1; length <= 64; ++length)
    {
        lengths.push_back(length);
    }
    for (const std::size_t edge : {127u, 255u, 4096u, 8192u, 10240u, 16384u, 32767u})
    {
        lengths.push_back(edge - 1);
        lengths.push_back(edge);
        lengths.push_back(edge + 1);
    }
    lengths.push_back(MAX_CHUNK_DATA_LENGTH);
    return lengths;
}

TEST(ChunkFrame, IsTheCodecsFrameForEveryChunkSizeAtTheEdges)
{
    CFrameBuffer frame(MAX_CHUNK_FRAME_LENGTH);
    std::string error;
    for (const std::size_t length : edgeLengths())
    {
        SCOPED_TRACE(length);
        const std::vector<std::uint8_t> data = payloadOf(length, static_cast<std::uint32_t>(length));
        // Stale bytes of a longer frame before must not leak into a shorter one.
        std::memset(frame.data(), 0xEE, frame.capacity());
        std::copy(data.begin(), data.end(), chunkPayloadArea(frame));
        const S_ProtocolFileChunkHeader header{7, static_cast<std::uint16_t>(length % 5), 5, length};
        std::uint32_t crc32 = 0;
        ASSERT_TRUE(sealChunkFrame(frame, kPcs, 0x01020304, header, crc32, error)) << error;

        const std::uint32_t zlibCrc =
            static_cast<std::uint32_t>(::crc32(0L, data.data(), static_cast<uInt>(data.size())));
        EXPECT_EQ(crc32, zlibCrc);
        S_ProtocolFrame expected;
        expected.messageType = toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK);
        expected.deviceType = kPcs;
        expected.upgradeNo = 0x01020304;
        expected.body = S_ProtocolFileChunk{7, header.chunkNo, 5, zlibCrc, data};
        std::vector<std::uint8_t> encoded;
        ASSERT_TRUE(encodeFrame(expected, encoded, error)) << error;
        ASSERT_EQ(frame.size(), encoded.size());
        EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), frame.data()));

        const S_ProtocolParseResult parsed = parseFrame(frame.data(), frame.size());
        ASSERT_TRUE(parsed.ok) << parsed.error;
        const auto& chunk = std::get<S_ProtocolFileChunk>(parsed.frame.body);
        EXPECT_EQ(chunk.crc32, crc32Of(chunk.data.data(), chunk.data.size()));
        EXPECT_EQ(chunk.data, data);
        EXPECT_EQ(chunk.chunkNo, header.chunkNo);
        EXPECT_EQ(parsed.frame.bodyLength, CHUNK_FIELDS_LENGTH + length);
    }
}

TEST(ChunkFrame, RefusesWhatTheCodecRefusesWithItsTexts)
{
    CFrameBuffer frame(MAX_CHUNK_FRAME_LENGTH);
    std::uint32_t crc32 = 0;
    std::string error;
    struct S_Case
    {
        std::uint8_t deviceType;
        std::uint32_t upgradeNo;
        S_ProtocolFileChunkHeader header;
    };
    const S_Case cases[] = {
        {kPcs, 1, {1, 0, 1, 0}},  {kPcs, 1, {1, 0, 1, MAX_CHUNK_DATA_LENGTH + 1}},
        {kPcs, 1, {0, 0, 1, 10}}, {kPcs, 1, {33, 0, 1, 10}},
        {kPcs, 1, {1, 1, 1, 10}}, {kPcs, 1, {1, 0, 0, 10}},
        {kPcs, 0, {1, 0, 1, 10}}, {4, 1, {1, 0, 1, 10}},
    };
    for (const S_Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.header.fileNo) + "/" + std::to_string(c.header.chunkNo) + "/" +
                     std::to_string(c.header.totalChunks) + "/" + std::to_string(c.header.dataLength));
        std::string codecError;
        S_ProtocolFrame frameRecord;
        frameRecord.messageType = toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK);
        frameRecord.deviceType = c.deviceType;
        frameRecord.upgradeNo = c.upgradeNo;
        frameRecord.body = S_ProtocolFileChunk{c.header.fileNo, c.header.chunkNo, c.header.totalChunks, 0,
                                               std::vector<std::uint8_t>(c.header.dataLength, 1)};
        std::vector<std::uint8_t> encoded;
        ASSERT_FALSE(encodeFrame(frameRecord, encoded, codecError));
        EXPECT_FALSE(sealChunkFrame(frame, c.deviceType, c.upgradeNo, c.header, crc32, error));
        EXPECT_EQ(error, codecError);
        EXPECT_EQ(frame.size(), 0u);
    }
}

// The adapter seals with the device type of its node.
TEST(ChunkFrame, AdapterSealsWithItsDeviceType)
{
    std::string error;
    const auto adapter = createProtocolAdapter("ota-v1", "bms", error);
    ASSERT_TRUE(adapter) << error;
    CFrameBuffer frame(MAX_CHUNK_FRAME_LENGTH);
    const std::vector<std::uint8_t> data = payloadOf(300, 3);
    std::copy(data.begin(), data.end(), chunkPayloadArea(frame));
    std::uint32_t crc32 = 0;
    ASSERT_TRUE(adapter->encodeFileChunkInPlace(9, {2, 0, 1, data.size()}, frame, crc32, error)) << error;
    const S_ProtocolParseResult parsed = parseFrame(frame.data(), frame.size());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.frame.deviceType, toProtocolByte(E_ProtocolDeviceType::BMS));
    std::vector<std::uint8_t> encoded;
    std::string type;
    ASSERT_TRUE(adapter->encodeFileChunk(9, S_ProtocolFileChunk{2, 0, 1, crc32, data}, encoded, type, error));
    EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), frame.data(), frame.data() + frame.size()));
}

}  // namespace
}  // namespace ota::backend
