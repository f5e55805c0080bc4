// Stream resynchronisation of scanFrames and the header plausibility check.

#include "protocol/protocol_frame.h"
#include "protocol_test_bytes.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using test::Bytes;
using test::concat;
using test::frameBytes;
using test::hexBytes;
using test::kQueryStatusFrame;

const Bytes ACK = hexBytes("5A5A5A5A 01 05 02 09000000 0300 03 01 00 A5A5A5A5");

S_ProtocolStreamScan scan(std::vector<std::uint8_t>& buffer, const Bytes& bytes)
{
    return scanFrames(buffer, bytes.data(), bytes.size());
}

TEST(ScanFrames, GarbageBeforeAFrameIsDiscarded)
{
    std::vector<std::uint8_t> buffer;
    const auto result = scan(buffer, concat({hexBytes("00 11 22"), kQueryStatusFrame}));
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(result.frames[0].messageType, 1);
    EXPECT_EQ(result.discardedByteCount, 3U);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_TRUE(buffer.empty());
}

TEST(ScanFrames, FrameSplitAtEveryBoundaryAppearsOnSecondCallOnly)
{
    for (const Bytes& frame : {kQueryStatusFrame, ACK})
    {
        for (std::size_t cut = 1; cut < frame.size(); ++cut)
        {
            SCOPED_TRACE(cut);
            std::vector<std::uint8_t> buffer;
            const Bytes first(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut));
            const Bytes second(frame.begin() + static_cast<std::ptrdiff_t>(cut), frame.end());
            const auto one = scan(buffer, first);
            EXPECT_TRUE(one.frames.empty());
            EXPECT_TRUE(one.errors.empty());
            EXPECT_EQ(one.discardedByteCount, 0U);
            const auto two = scan(buffer, second);
            ASSERT_EQ(two.frames.size(), 1U);
            EXPECT_EQ(two.frames[0].messageType, frame[5]);
            EXPECT_EQ(two.discardedByteCount, 0U);
            EXPECT_TRUE(buffer.empty());
        }
    }
}

TEST(ScanFrames, PartialMagicIsKeptAndNotCounted)
{
    std::vector<std::uint8_t> buffer;
    auto result = scan(buffer, hexBytes("5A 5A 5A"));
    EXPECT_TRUE(result.frames.empty());
    EXPECT_EQ(result.discardedByteCount, 0U);
    EXPECT_EQ(buffer, hexBytes("5A 5A 5A"));

    // Without a magic only the last three bytes stay; the rest counts as discarded.
    buffer.clear();
    result = scan(buffer, hexBytes("01 02 03 04 05 5A 5A"));
    EXPECT_EQ(result.discardedByteCount, 4U);
    EXPECT_EQ(buffer, hexBytes("05 5A 5A"));
    result = scan(buffer, Bytes(kQueryStatusFrame.begin() + 2, kQueryStatusFrame.end()));
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(result.discardedByteCount, 1U);
}

TEST(ScanFrames, NullAndEmptyInput)
{
    std::vector<std::uint8_t> buffer = hexBytes("5A 5A");
    auto result = scanFrames(buffer, nullptr, 5);
    ASSERT_EQ(result.errors.size(), 1U);
    EXPECT_EQ(result.errors[0], "Input pointer is null");
    EXPECT_EQ(buffer.size(), 2U);
    result = scanFrames(buffer, nullptr, 0);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.discardedByteCount, 0U);
    EXPECT_EQ(buffer.size(), 2U);
}

TEST(ScanFrames, UnsupportedTypeCandidateCostsOneByte)
{
    std::vector<std::uint8_t> buffer;
    Bytes bad = kQueryStatusFrame;
    bad[5] = 12;
    const auto result = scan(buffer, concat({bad, ACK}));
    ASSERT_EQ(result.errors.size(), 1U);
    EXPECT_EQ(result.errors[0], "Frame candidate message type is unsupported");
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(result.frames[0].messageType, 5);
    // One byte for the rejection, then the rest of the bad frame up to the next magic.
    EXPECT_EQ(result.discardedByteCount, bad.size());
}

TEST(ScanFrames, BadTailIsRejectedOnceAndFrameInsideIsFound)
{
    // A chunk candidate whose data holds a complete ACK frame and whose tail is wrong.
    Bytes chunkBody = hexBytes("01 0000 0100 1800 00000000");
    chunkBody.insert(chunkBody.end(), ACK.begin(), ACK.end());
    chunkBody.insert(chunkBody.end(), {0xEE, 0xEE, 0xEE, 0xEE});
    Bytes candidate = frameBytes(8, 2, 9, chunkBody);
    candidate[candidate.size() - 1] = 0x00;

    std::vector<std::uint8_t> buffer;
    const auto result = scan(buffer, candidate);
    ASSERT_EQ(result.errors.size(), 1U);
    EXPECT_EQ(result.errors[0], "Frame tail is invalid");
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(result.frames[0].messageType, 5);
    // Everything but the ACK and the three bytes kept as a possible partial magic.
    EXPECT_EQ(result.discardedByteCount, candidate.size() - ACK.size() - 3);
    EXPECT_EQ(buffer.size(), 3U);
}

TEST(ScanFrames, ZeroUpgradeNumberCandidateIsRejected)
{
    Bytes bad = kQueryStatusFrame;
    bad[5] = 3;
    std::vector<std::uint8_t> buffer;
    const auto result = scan(buffer, bad);
    ASSERT_FALSE(result.errors.empty());
    EXPECT_EQ(result.errors[0], "Frame candidate upgrade number must not be zero");
    EXPECT_TRUE(result.frames.empty());
}

TEST(ScanFrames, ManyFramesInOneReadAndLeftoverKept)
{
    std::vector<std::uint8_t> buffer;
    Bytes stream;
    for (int i = 0; i < 50; ++i)
    {
        stream.insert(stream.end(), ACK.begin(), ACK.end());
    }
    stream.insert(stream.end(), kQueryStatusFrame.begin(), kQueryStatusFrame.begin() + 8);
    const auto result = scan(buffer, stream);
    EXPECT_EQ(result.frames.size(), 50U);
    EXPECT_EQ(result.discardedByteCount, 0U);
    EXPECT_EQ(buffer, Bytes(kQueryStatusFrame.begin(), kQueryStatusFrame.begin() + 8));
}

Bytes chunkHeader(std::size_t dataLength)
{
    const std::size_t bodyLength = 11 + dataLength;
    return {0x5A,
            0x5A,
            0x5A,
            0x5A,
            0x01,
            0x08,
            0x01,
            0x01,
            0x00,
            0x00,
            0x00,
            static_cast<std::uint8_t>(bodyLength),
            static_cast<std::uint8_t>(bodyLength >> 8)};
}

TEST(CheckFrameCandidate, ChunkDataLimitIsCheckedOnTheHeader)
{
    std::string error;
    EXPECT_TRUE(checkFrameCandidate(chunkHeader(32768), error)) << error;
    EXPECT_FALSE(checkFrameCandidate(chunkHeader(32769), error));
    EXPECT_EQ(error, "Frame candidate body length is invalid for its message type");
    EXPECT_TRUE(checkFrameCandidate(chunkHeader(1), error));
    EXPECT_FALSE(checkFrameCandidate(chunkHeader(0), error));

    // A 32768-byte chunk passes the whole scan; the over-long one is rejected at its header
    // without waiting for body bytes.
    Bytes data(32768, 0x5A);
    Bytes body = concat({hexBytes("01 0000 0100 0080 00000000"), data});
    std::vector<std::uint8_t> buffer;
    auto result = scan(buffer, frameBytes(8, 1, 1, body));
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(std::get<S_ProtocolFileChunk>(result.frames[0].body).data.size(), 32768U);

    buffer.clear();
    result = scan(buffer, chunkHeader(32769));
    ASSERT_FALSE(result.errors.empty());
    EXPECT_EQ(result.errors[0], "Frame candidate body length is invalid for its message type");
    EXPECT_LE(buffer.size(), 12U);
}

TEST(CheckFrameCandidate, AllowedLengthsPerType)
{
    struct S_Case
    {
        std::uint8_t type;
        std::size_t length;
        bool allowed;
    };
    const S_Case cases[] = {
        {1, 0, true},     {1, 1, false},     {2, 38, true}, {2, 548, true}, {2, 582, false}, {2, 37, false},
        {2, 39, false},   {3, 4, true},      {3, 5, false}, {4, 38, true},  {4, 1154, true}, {4, 1190, false},
        {4, 39, false},   {5, 3, true},      {6, 4, true},  {7, 105, true}, {7, 104, false}, {8, 12, true},
        {8, 32779, true}, {8, 32780, false}, {9, 9, true},  {10, 39, true}, {11, 69, true},  {11, 70, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.length));
        Bytes header = {0x5A,
                        0x5A,
                        0x5A,
                        0x5A,
                        0x01,
                        c.type,
                        0x02,
                        0x01,
                        0x00,
                        0x00,
                        0x00,
                        static_cast<std::uint8_t>(c.length),
                        static_cast<std::uint8_t>(c.length >> 8)};
        std::string error;
        EXPECT_EQ(checkFrameCandidate(header, error), c.allowed) << error;
    }
}

TEST(CheckFrameCandidate, HeaderFieldsInOrder)
{
    std::string error;
    Bytes header = {0x5A, 0x5A, 0x5A, 0x5A, 0x02, 0x0C, 0x04, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(checkFrameCandidate(header, error));
    EXPECT_EQ(error, "Frame candidate protocol version is unsupported");
    header[4] = 1;
    EXPECT_FALSE(checkFrameCandidate(header, error));
    EXPECT_EQ(error, "Frame candidate message type is unsupported");
    header[5] = 3;
    EXPECT_FALSE(checkFrameCandidate(header, error));
    EXPECT_EQ(error, "Frame candidate device type is unsupported");
    header[6] = 3;
    EXPECT_FALSE(checkFrameCandidate(header, error));
    EXPECT_EQ(error, "Frame candidate upgrade number must not be zero");
    header[10] = 1;
    EXPECT_FALSE(checkFrameCandidate(header, error));
    EXPECT_EQ(error, "Frame candidate body length is invalid for its message type");
    header[11] = 4;
    EXPECT_TRUE(checkFrameCandidate(header, error));
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(checkFrameCandidate(Bytes(header.begin(), header.begin() + 12), error));
}

}  // namespace
}  // namespace ota::backend
