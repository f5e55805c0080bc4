// The ota-v1 adapter: creation, the five encode operations and stream decoding into events.

#include "common/digest.h"
#include "protocol/device_side_codec.h"
#include "protocol/ota_v1_protocol_adapter.h"
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
using test::textField;

std::unique_ptr<IDeviceProtocolAdapter> adapterFor(const char* nodeType)
{
    std::string error;
    auto adapter = createProtocolAdapter("ota-v1", nodeType, error);
    EXPECT_NE(adapter, nullptr) << error;
    EXPECT_TRUE(error.empty());
    return adapter;
}

S_ProtocolDecodeResult decode(IDeviceProtocolAdapter& adapter, const Bytes& bytes, bool withHex = false)
{
    return adapter.decode(bytes.data(), bytes.size(), withHex);
}

Bytes pcsStatusFrame(std::uint8_t deviceType)
{
    return concat({hexBytes("5A5A5A5A 01 02"), Bytes{deviceType}, hexBytes("05000000 8C00 01 00 04 22"),
                   hexBytes("01 01"), textField("1.0", 32), hexBytes("02 01"), textField("1.1", 32),
                   hexBytes("03 01"), textField("1.2", 32), hexBytes("04 01"), textField("1.3", 32),
                   hexBytes("A5A5A5A5")});
}

TEST(CreateProtocolAdapter, IdIsCaseSensitiveNodeTypeIsNot)
{
    std::string error;
    EXPECT_EQ(createProtocolAdapter("OTA-V1", "PCS", error), nullptr);
    EXPECT_EQ(error, "Unknown protocol adapter: OTA-V1");
    EXPECT_EQ(createProtocolAdapter("ota-v1", "INVERTER", error), nullptr);
    EXPECT_EQ(error, "Protocol adapter ota-v1 does not support protocolNodeType: INVERTER");

    auto adapter = createProtocolAdapter("ota-v1", "pcs", error);
    ASSERT_NE(adapter, nullptr);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(adapter->protocolAdapterId(), "ota-v1");
    EXPECT_EQ(adapter->protocolNodeType(), "pcs");
    EXPECT_EQ(dynamic_cast<COtaV1ProtocolAdapter&>(*adapter).deviceType(), 2);
    EXPECT_EQ(dynamic_cast<COtaV1ProtocolAdapter&>(*adapterFor("Emu")).deviceType(), 1);
    EXPECT_EQ(dynamic_cast<COtaV1ProtocolAdapter&>(*adapterFor("BMS")).deviceType(), 3);
}

TEST(AdapterEncode, StatusQueriesAndCommand)
{
    auto adapter = adapterFor("EMU");
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    std::uint32_t encodedNo = 99;
    ASSERT_TRUE(adapter->encodeStatusQuery(bytes, type, encodedNo, error)) << error;
    EXPECT_EQ(bytes, hexBytes("5A 5A 5A 5A 01 01 01 00 00 00 00 00 00 A5 A5 A5 A5"));
    EXPECT_EQ(type, "MSG_QUERY_STATUS");
    EXPECT_EQ(encodedNo, 0U);

    ASSERT_TRUE(adapter->encodeUpgradeStatusQuery(0x0102, bytes, type, encodedNo, error));
    EXPECT_EQ(bytes, hexBytes("5A 5A 5A 5A 01 01 01 02 01 00 00 00 00 A5 A5 A5 A5"));
    EXPECT_EQ(encodedNo, 0x0102U);

    ASSERT_TRUE(adapter->encodeCommand(3, S_ProtocolCommand{4, 5, 0}, bytes, type, error));
    EXPECT_EQ(bytes, hexBytes("5A5A5A5A 01 03 01 03000000 0400 04 05 00 00 A5A5A5A5"));
    EXPECT_EQ(type, "MSG_EMS_CMD");

    type = "stale";
    EXPECT_FALSE(adapter->encodeCommand(0, S_ProtocolCommand{4, 5, 0}, bytes, type, error));
    EXPECT_EQ(error, "upgradeNo must not be zero for upgrade workflow frames");
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(type.empty());
}

TEST(AdapterEncode, TargetListConversion)
{
    auto adapter = adapterFor("BMS");
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    S_ProtocolTargetList list{{{1, "bms_bcu", 3, true, "2.0"}, {2, "BMS_BAU", 1, false, "2.1"}}};
    ASSERT_TRUE(adapter->encodeTargetList(8, list, bytes, type, error)) << error;
    EXPECT_EQ(type, "MSG_EMS_TARGET_LIST");
    EXPECT_EQ(bytes, frameBytes(4, 3, 8,
                                concat({hexBytes("02 24 01 07 03 01"), textField("2.0", 32), hexBytes("02 05 01 00"),
                                        textField("2.1", 32)})));

    list.targets[1].componentIndex = 256;
    EXPECT_FALSE(adapter->encodeTargetList(8, list, bytes, type, error));
    EXPECT_EQ(error, "Target component type or index is invalid: BMS_BAU");
    EXPECT_TRUE(bytes.empty());

    list.targets[1] = {2, "BMS_XYZ", 1, false, "2.1"};
    EXPECT_FALSE(adapter->encodeTargetList(8, list, bytes, type, error));
    EXPECT_EQ(error, "Target component type or index is invalid: BMS_XYZ");

    // Range and composition checks are the codec's.
    list.targets[1] = {2, "PCS_ARM", 1, false, "2.1"};
    EXPECT_FALSE(adapter->encodeTargetList(8, list, bytes, type, error));
    EXPECT_EQ(error, "Target component type, index or version is invalid for direct device type");
}

TEST(AdapterEncode, FileInfoAndChunk)
{
    auto adapter = adapterFor("PCS");
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    S_ProtocolFileInfo info;
    info.fileNo = 1;
    info.fileName = "a.bin";
    info.fileSize = 20000;
    info.totalChunks = 2;
    ASSERT_TRUE(adapter->encodeFileInfo(4, info, bytes, type, error)) << error;
    EXPECT_EQ(type, "MSG_EMS_FILE_INFO");
    EXPECT_EQ(bytes.size(), 122U);
    EXPECT_EQ(bytes[6], 2);

    ASSERT_TRUE(adapter->encodeFileChunk(4, S_ProtocolFileChunk{1, 1, 2, 7, {9, 8}}, bytes, type, error));
    EXPECT_EQ(type, "MSG_EMS_FILE_CHUNK");
    EXPECT_EQ(bytes, hexBytes("5A5A5A5A 01 08 02 04000000 0D00 01 0100 0200 0200 07000000 09 08 A5A5A5A5"));

    EXPECT_FALSE(adapter->encodeFileChunk(4, S_ProtocolFileChunk{1, 2, 2, 7, {9}}, bytes, type, error));
    EXPECT_EQ(error, "FileChunk fields are invalid");
}

TEST(AdapterDecode, DeviceStatusEvent)
{
    auto adapter = adapterFor("PCS");
    const auto result = decode(*adapter, pcsStatusFrame(2));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_FALSE(result.connectionRejected);
    ASSERT_EQ(result.events.size(), 1U);
    const S_ProtocolEvent& event = result.events[0];
    EXPECT_STREQ(event.messageTypeName(), "MSG_DEVICE_STATUS");
    EXPECT_EQ(event.upgradeNo, 5U);
    EXPECT_EQ(event.frameLength, 157U);
    EXPECT_TRUE(event.hexText.empty());
    ASSERT_NE(event.deviceStatus(), nullptr);
    const S_ProtocolEventDeviceStatus& status = *event.deviceStatus();
    EXPECT_EQ(status.upgradeNo, 5U);
    EXPECT_STREQ(status.upgradeStateName(), "READY");
    EXPECT_STREQ(status.reasonName(), "OK");
    const std::vector<S_ProtocolEventComponent> expected = {
        {1, 1, "1.0"}, {2, 1, "1.1"}, {3, 1, "1.2"}, {4, 1, "1.3"}};
    EXPECT_EQ(status.components, expected);
    std::vector<std::string> identifiers;
    for (const S_ProtocolEventComponent& component : status.components)
    {
        identifiers.push_back(component.componentTypeId());
    }
    EXPECT_EQ(identifiers, (std::vector<std::string>{"PCS_DSP1", "PCS_DSP2", "PCS_FPGA", "PCS_ARM"}));
    EXPECT_TRUE(std::holds_alternative<S_ProtocolEventDeviceStatus>(event.body));
}

TEST(AdapterDecode, EveryReportTypeFillsOnlyItsGroup)
{
    auto adapter = adapterFor("BMS");
    S_ProtocolSha256 digest{};
    digest[0] = 0xAB;
    const Bytes stream = concat({
        frameBytes(5, 3, 2, hexBytes("04 02 05")),
        frameBytes(6, 3, 2, hexBytes("05 03 4D 09")),
        frameBytes(9, 3, 2, hexBytes("02 0B0A 01 00 44332211")),
        frameBytes(10, 3, 2, concat({hexBytes("03 02 06 10000000"), Bytes(digest.begin(), digest.end())})),
        frameBytes(11, 3, 2, concat({hexBytes("05 07 06 2A 00"), textField("BCU6", 64)})),
    });
    const auto result = decode(*adapter, stream);
    EXPECT_TRUE(result.errors.empty());
    ASSERT_EQ(result.events.size(), 5U);

    const auto expectEvent = [&](std::size_t index, const char* name, std::uint64_t frameLength,
                                 ProtocolEventBody body, const char* reasonName)
    {
        SCOPED_TRACE(name);
        S_ProtocolEvent expected;
        expected.upgradeNo = 2;
        expected.frameLength = frameLength;
        expected.body = std::move(body);
        EXPECT_EQ(result.events[index], expected);
        EXPECT_STREQ(result.events[index].messageTypeName(), name);
        std::visit(
            [&](const auto& decoded)
            {
                if constexpr (!std::is_same_v<std::decay_t<decltype(decoded)>, std::monostate>)
                {
                    EXPECT_STREQ(decoded.reasonName(), reasonName);
                }
            },
            result.events[index].body);
    };
    expectEvent(0, "MSG_DEVICE_ACK", 20, S_ProtocolEventAck{4, 2, 5}, "CHUNK_CRC32_MISMATCH");
    expectEvent(1, "MSG_DEVICE_STAGE_REPORT", 21, S_ProtocolEventStageReport{5, 3, 77, 9},
                "UPGRADE_CONTEXT_RESET");
    expectEvent(2, "MSG_DEVICE_FILE_CHUNK_REPORT", 26,
                S_ProtocolEventFileChunkReport{2, 0x0A0B, 1, 0, 0x11223344}, "OK");
    expectEvent(3, "MSG_DEVICE_FILE_VERIFY_REPORT", 56, S_ProtocolEventFileVerifyReport{3, 2, 6, 16, digest},
                "FILE_SHA256_MISMATCH");
    expectEvent(4, "MSG_DEVICE_PROGRESS", 86, S_ProtocolEventProgress{5, 7, 6, 42, 0, "BCU6"}, "OK");
    EXPECT_STREQ(result.events[4].progress()->componentTypeId(), "BMS_BCU");
}

TEST(AdapterDecode, HexTextOnlyWhenAsked)
{
    auto adapter = adapterFor("EMU");
    const Bytes ack = frameBytes(5, 1, 0x0102, hexBytes("02 01 00"));
    auto result = decode(*adapter, ack, true);
    ASSERT_EQ(result.events.size(), 1U);
    EXPECT_EQ(result.events[0].hexText, "5A 5A 5A 5A 01 05 01 02 01 00 00 03 00 02 01 00 A5 A5 A5 A5");
    EXPECT_EQ(result.events[0].frameLength, 20U);
    result = decode(*adapter, ack, false);
    ASSERT_EQ(result.events.size(), 1U);
    EXPECT_TRUE(result.events[0].hexText.empty());
}

TEST(AdapterDecode, ToolToDeviceFramesAreDroppedWithDirectionError)
{
    auto adapter = adapterFor("EMU");
    const Bytes stream = concat({frameBytes(8, 1, 1, hexBytes("01 0000 0100 0100 00000000 AA")),
                                 frameBytes(3, 1, 1, hexBytes("01 02 00 00")),
                                 frameBytes(5, 1, 1, hexBytes("02 01 00"))});
    const auto result = decode(*adapter, stream);
    ASSERT_EQ(result.errors.size(), 2U);
    EXPECT_EQ(result.errors[0], "Inbound frame direction is invalid: MSG_EMS_FILE_CHUNK is OTA-tool-to-device only");
    EXPECT_EQ(result.errors[1], "Inbound frame direction is invalid: MSG_EMS_CMD is OTA-tool-to-device only");
    ASSERT_EQ(result.events.size(), 1U);
    EXPECT_STREQ(result.events[0].messageTypeName(), "MSG_DEVICE_ACK");
    EXPECT_FALSE(result.connectionRejected);
}

TEST(AdapterDecode, DeviceTypeMismatchRejectsConnectionAndStops)
{
    std::string error;
    auto adapter = createProtocolAdapter("ota-v1", "Pcs", error);
    ASSERT_NE(adapter, nullptr);
    Bytes bmsStatus;
    ASSERT_TRUE(encodeDeviceStatusFrame(3, 0, makeDeviceStatus(1, 0, standardDeviceComponents(3, "1.0")), bmsStatus,
                                        error))
        << error;
    const Bytes stream = concat({pcsStatusFrame(2), bmsStatus, pcsStatusFrame(2)});
    const auto result = decode(*adapter, concat({hexBytes("00"), stream}));
    EXPECT_TRUE(result.connectionRejected);
    EXPECT_EQ(result.rejectionReason, "Device type in frame does not match protocolNodeType Pcs");
    ASSERT_EQ(result.errors.size(), 1U);
    EXPECT_EQ(result.errors[0], result.rejectionReason);
    EXPECT_EQ(result.events.size(), 1U);  // the frame before the mismatch stays
    EXPECT_EQ(result.discardedByteCount, 1U);
}

TEST(AdapterDecode, ScannerErrorsComeFirstAndResetDropsBufferedBytes)
{
    auto adapter = adapterFor("EMU");
    Bytes bad = frameBytes(5, 1, 1, hexBytes("02 01 00"));
    bad.back() = 0;
    const Bytes ack = frameBytes(5, 1, 1, hexBytes("02 01 00"));
    const Bytes cmd = frameBytes(3, 1, 1, hexBytes("01 02 00 00"));
    auto result = decode(*adapter, concat({cmd, bad, ack}));
    ASSERT_EQ(result.errors.size(), 2U);
    EXPECT_EQ(result.errors[0], "Frame tail is invalid");
    EXPECT_EQ(result.errors[1], "Inbound frame direction is invalid: MSG_EMS_CMD is OTA-tool-to-device only");

    // Half a frame, then reset: the other half alone is no frame.
    decode(*adapter, Bytes(ack.begin(), ack.begin() + 10));
    adapter->resetDecoder();
    result = decode(*adapter, Bytes(ack.begin() + 10, ack.end()));
    EXPECT_TRUE(result.events.empty());
    result = decode(*adapter, ack);
    EXPECT_EQ(result.events.size(), 1U);
}

// Whatever a device sends, the adapter keeps less than one accepted frame between reads: garbage,
// an endless run of chunk-sized frames, and a frame that stalls halfway.
TEST(AdapterDecode, BufferedBytesStayBelowOneFrameWhateverArrives)
{
    COtaV1ProtocolAdapter adapter("PCS", 2);
    const auto feed = [&](const Bytes& bytes, std::size_t readSize) {
        for (std::size_t offset = 0; offset < bytes.size(); offset += readSize)
        {
            const std::size_t size = std::min(readSize, bytes.size() - offset);
            adapter.decode(bytes.data() + offset, size, false);
            ASSERT_LT(adapter.bufferedByteCount(), MAX_ACCEPTED_FRAME_LENGTH);
        }
    };

    Bytes garbage(4u << 20);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : garbage)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    // Header magic every few bytes makes every position a candidate.
    for (std::size_t i = 0; i + 4 < garbage.size(); i += 97)
    {
        std::fill_n(garbage.begin() + static_cast<std::ptrdiff_t>(i), 4, 0x5A);
    }
    feed(garbage, 16384);

    S_ProtocolFileChunk chunk;
    chunk.fileNo = 1;
    chunk.totalChunks = 2;
    chunk.data.assign(32768, 0xA5);
    chunk.crc32 = crc32Of(chunk.data.data(), chunk.data.size());
    Bytes frame;
    std::string messageType;
    std::string error;
    ASSERT_TRUE(adapter.encodeFileChunk(1, chunk, frame, messageType, error)) << error;
    Bytes endless;
    for (int i = 0; i < 64; ++i)
    {
        endless.insert(endless.end(), frame.begin(), frame.end());
    }
    feed(endless, 16384);
    feed(endless, 65536);

    const Bytes status = pcsStatusFrame(2);
    feed(Bytes(status.begin(), status.begin() + 40), 40);
    EXPECT_EQ(adapter.bufferedByteCount(), 40u) << "a stalled frame is kept whole for its next bytes";
}

}  // namespace
}  // namespace ota::backend
