// Golden vectors for each of the eleven message types: the bytes are typed from the layout
// tables; both parse (bytes -> record) and encode (record -> bytes) must agree with them.

#include "protocol/protocol_frame.h"
#include "protocol_test_bytes.h"

#include <gtest/gtest.h>

#include <numeric>

namespace ota::backend
{
namespace
{

using test::Bytes;
using test::concat;
using test::hexBytes;
using test::textField;

struct S_GoldenCase
{
    const char* name;
    Bytes bytes;
    S_ProtocolFrame frame;
};

S_ProtocolFrame makeFrame(std::uint8_t type, std::uint8_t device, std::uint32_t upgradeNo, std::uint16_t bodyLength,
                          S_ProtocolFrameBody body)
{
    S_ProtocolFrame frame;
    frame.messageType = type;
    frame.deviceType = device;
    frame.upgradeNo = upgradeNo;
    frame.bodyLength = bodyLength;
    frame.body = std::move(body);
    return frame;
}

S_ProtocolSha256 ascendingDigest(std::uint8_t first)
{
    S_ProtocolSha256 digest{};
    std::iota(digest.begin(), digest.end(), first);
    return digest;
}

Bytes digestBytes(const S_ProtocolSha256& digest)
{
    return Bytes(digest.begin(), digest.end());
}

std::vector<S_GoldenCase> goldenCases()
{
    std::vector<S_GoldenCase> cases;
    cases.push_back({"QueryStatus", hexBytes("5A 5A 5A 5A 01 01 01 00 00 00 00 00 00 A5 A5 A5 A5"),
                     makeFrame(1, 1, 0, 0, std::monostate{})});

    cases.push_back({"DeviceStatus",
                     concat({hexBytes("5A5A5A5A 01 02 02 78563412 8C00 03 01 04 22"),
                             hexBytes("01 01"), textField("D1-1.0", 32), hexBytes("02 01"), textField("D2-2.0", 32),
                             hexBytes("03 01"), textField("FP-3.0", 32), hexBytes("04 01"), textField("ARM-4.0", 32),
                             hexBytes("A5A5A5A5")}),
                     makeFrame(2, 2, 0x12345678, 140,
                               S_ProtocolDeviceStatus{3, 1, {{1, 1, "D1-1.0"}, {2, 1, "D2-2.0"},
                                                             {3, 1, "FP-3.0"}, {4, 1, "ARM-4.0"}}})});

    cases.push_back({"EmsCommand", hexBytes("5A5A5A5A 01 03 03 D4C3B2A1 0400 02 03 11 00 A5A5A5A5"),
                     makeFrame(3, 3, 0xA1B2C3D4, 4, S_ProtocolCommand{2, 3, 17})});

    cases.push_back({"EmsTargetList",
                     concat({hexBytes("5A5A5A5A 01 04 03 07000000 4A00 02 24"), hexBytes("05 07 0C 01"),
                             textField("BCU-9.9", 32), hexBytes("09 05 01 00"), textField("BAU-1.0", 32),
                             hexBytes("A5A5A5A5")}),
                     makeFrame(4, 3, 7, 74,
                               S_ProtocolTargetItems{{{5, 7, 12, 1, "BCU-9.9"}, {9, 5, 1, 0, "BAU-1.0"}}})});

    cases.push_back({"DeviceAck", hexBytes("5A5A5A5A 01 05 01 04030201 0300 04 02 05 A5A5A5A5"),
                     makeFrame(5, 1, 0x01020304, 3, S_ProtocolDeviceAck{4, 2, 5})});

    cases.push_back({"DeviceStageReport", hexBytes("5A5A5A5A 01 06 02 FFFF0000 0400 05 03 4D 09 A5A5A5A5"),
                     makeFrame(6, 2, 0xFFFF, 4, S_ProtocolStageReport{5, 3, 77, 9})});

    S_ProtocolFileInfo info;
    info.fileNo = 3;
    info.fileName = "pcs_dsp1.bin";
    info.fileSize = 0x00012345;  // 74565 bytes in 1024-byte chunks: 73 chunks
    info.chunkSize = 1024;
    info.totalChunks = 73;
    info.sha256 = ascendingDigest(0x00);
    cases.push_back({"EmsFileInfo",
                     concat({hexBytes("5A5A5A5A 01 07 02 EFBE0000 6900 03"), textField("pcs_dsp1.bin", 64),
                             hexBytes("45230100 0004 4900"), digestBytes(info.sha256), hexBytes("A5A5A5A5")}),
                     makeFrame(7, 2, 0xBEEF, 105, info)});

    cases.push_back({"EmsFileChunk",
                     hexBytes("5A5A5A5A 01 08 03 00000080 1000 1F 0201 0403 0500 EFBEADDE 41 42 43 44 45 A5A5A5A5"),
                     makeFrame(8, 3, 0x80000000, 16,
                               S_ProtocolFileChunk{31, 0x0102, 0x0304, 0xDEADBEEF, {'A', 'B', 'C', 'D', 'E'}})});

    cases.push_back({"DeviceFileChunkReport",
                     hexBytes("5A5A5A5A 01 09 01 0A000000 0900 02 0B0A 02 05 44332211 A5A5A5A5"),
                     makeFrame(9, 1, 10, 9, S_ProtocolFileChunkReport{2, 0x0A0B, 2, 5, 0x11223344})});

    S_ProtocolSha256 received = ascendingDigest(0xE0);
    cases.push_back({"DeviceFileVerifyReport",
                     concat({hexBytes("5A5A5A5A 01 0A 02 FEFFFFFF 2700 20 02 06 EFCDAB89"), digestBytes(received),
                             hexBytes("A5A5A5A5")}),
                     makeFrame(10, 2, 0xFFFFFFFE, 39, S_ProtocolFileVerifyReport{32, 2, 6, 0x89ABCDEF, received})});

    cases.push_back({"DeviceProgress",
                     concat({hexBytes("5A5A5A5A 01 0B 03 2A000000 4500 05 07 06 2A 00"), textField("flashing BCU6", 64),
                             hexBytes("A5A5A5A5")}),
                     makeFrame(11, 3, 42, 69, S_ProtocolProgress{5, 7, 6, 42, 0, "flashing BCU6"})});
    return cases;
}

TEST(FrameGolden, EveryMessageTypeParsesToItsRecord)
{
    for (const auto& golden : goldenCases())
    {
        SCOPED_TRACE(golden.name);
        const S_ProtocolParseResult parsed = parseFrame(golden.bytes);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        EXPECT_EQ(parsed.reasonCode, 0);
        EXPECT_TRUE(parsed.error.empty());
        EXPECT_EQ(parsed.frame, golden.frame);
        EXPECT_EQ(parsed.frame.body.index(), golden.frame.messageType - 1U);
    }
}

TEST(FrameGolden, EveryMessageTypeEncodesToItsBytes)
{
    for (auto golden : goldenCases())
    {
        SCOPED_TRACE(golden.name);
        golden.frame.bodyLength = 0;  // ignored by the encoder
        std::vector<std::uint8_t> bytes;
        std::string error = "stale";
        ASSERT_TRUE(encodeFrame(golden.frame, bytes, error)) << error;
        EXPECT_TRUE(error.empty());
        EXPECT_EQ(bytes, golden.bytes);
    }
}

TEST(FrameGolden, CoversAllElevenTypesInTableOrder)
{
    const auto cases = goldenCases();
    ASSERT_EQ(cases.size(), 11U);
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        EXPECT_EQ(cases[i].bytes[5], i + 1);
        EXPECT_EQ(cases[i].bytes.size(), cases[i].frame.bodyLength + 17U);
    }
}

}  // namespace
}  // namespace ota::backend
