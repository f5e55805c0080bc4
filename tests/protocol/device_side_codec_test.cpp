// The device end: frames a simulated device sends reach the adapter as events, and the
// adapter's requests reach the device as frames.

#include "protocol/device_side_codec.h"
#include "protocol/ota_v1_protocol_adapter.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

TEST(DeviceSideCodec, StandardComponentsPerDeviceType)
{
    EXPECT_EQ(standardDeviceComponents(1, "v").size(), 1U);
    EXPECT_EQ(standardDeviceComponents(2, "v").size(), 4U);
    EXPECT_EQ(standardDeviceComponents(3, "v", 6).size(), 8U);
    EXPECT_EQ(standardDeviceComponents(3, "v", 12).size(), 14U);
    EXPECT_TRUE(standardDeviceComponents(4, "v").empty());
    const auto bms = standardDeviceComponents(3, "v", 12);
    EXPECT_EQ(bms.back(), (S_ProtocolComponentVersion{7, 12, "v"}));
}

TEST(DeviceSideCodec, DeviceFramesDecodeToEvents)
{
    COtaV1ProtocolAdapter adapter("BMS", 3);
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> bytes;
    std::string error;
    const auto append = [&](bool ok) {
        ASSERT_TRUE(ok) << error;
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    append(encodeDeviceStatusFrame(3, 0, makeDeviceStatus(3, 0, standardDeviceComponents(3, "2.0", 12)), bytes, error));
    append(encodeDeviceAckFrame(3, 9, makeDeviceAck(2, 1, 0), bytes, error));
    append(encodeStageReportFrame(3, 9, makeStageReport(3, 1, 100, 0), bytes, error));
    append(encodeFileChunkReportFrame(3, 9, makeFileChunkReport(1, 4, 2, 5, 0xCAFE), bytes, error));
    append(encodeFileVerifyReportFrame(3, 9, makeFileVerifyReport(1, 1, 0, 100, {}), bytes, error));
    append(encodeProgressFrame(3, 9, makeProgress(5, 7, 12, 50, 0, "half"), bytes, error));

    const auto result = adapter.decode(stream.data(), stream.size(), false);
    EXPECT_TRUE(result.errors.empty());
    ASSERT_EQ(result.events.size(), 6U);
    ASSERT_NE(result.events[0].deviceStatus(), nullptr);
    EXPECT_STREQ(result.events[0].deviceStatus()->upgradeStateName(), "UPGRADING");
    EXPECT_EQ(result.events[0].deviceStatus()->components.size(), 14U);
    EXPECT_NE(result.events[1].ack(), nullptr);
    ASSERT_NE(result.events[2].stageReport(), nullptr);
    EXPECT_EQ(result.events[2].stageReport()->progress, 100);
    ASSERT_NE(result.events[3].fileChunkReport(), nullptr);
    EXPECT_STREQ(result.events[3].fileChunkReport()->reasonName(), "CHUNK_CRC32_MISMATCH");
    ASSERT_NE(result.events[4].fileVerifyReport(), nullptr);
    EXPECT_EQ(result.events[4].fileVerifyReport()->fileSize, 100U);
    ASSERT_NE(result.events[5].progress(), nullptr);
    EXPECT_STREQ(result.events[5].progress()->componentTypeId(), "BMS_BCU");
    EXPECT_EQ(result.events[5].progress()->detailText, "half");

    EXPECT_FALSE(encodeDeviceAckFrame(3, 9, makeDeviceAck(2, 2, 0), bytes, error));
    EXPECT_EQ(error, "Ack stage, result or reasonCode is invalid");
    EXPECT_TRUE(bytes.empty());
}

TEST(DeviceSideCodec, DecoderYieldsToolFramesAndRejectsDeviceFrames)
{
    COtaV1ProtocolAdapter adapter("PCS", 2);
    std::vector<std::uint8_t> stream;
    std::vector<std::uint8_t> bytes;
    std::string type;
    std::string error;
    std::uint32_t encodedNo = 0;
    ASSERT_TRUE(adapter.encodeStatusQuery(bytes, type, encodedNo, error));
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    ASSERT_TRUE(encodeDeviceAckFrame(2, 3, makeDeviceAck(2, 1, 0), bytes, error));
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    ASSERT_TRUE(adapter.encodeCommand(3, S_ProtocolCommand{1, 2, 0}, bytes, type, error));
    stream.insert(stream.end(), bytes.begin(), bytes.end());

    CDeviceSideFrameDecoder decoder;
    auto result = decoder.decode(stream.data(), stream.size() - 1);
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(result.frames[0].messageType, 1);
    ASSERT_EQ(result.errors.size(), 1U);
    EXPECT_EQ(result.errors[0], "Inbound frame direction is invalid: MSG_DEVICE_ACK is device-to-OTA-tool only");
    EXPECT_GT(decoder.bufferedByteCount(), 0U);

    result = decoder.decode(stream.data() + stream.size() - 1, 1);
    ASSERT_EQ(result.frames.size(), 1U);
    EXPECT_EQ(std::get<S_ProtocolCommand>(result.frames[0].body), (S_ProtocolCommand{1, 2, 0}));
    EXPECT_EQ(decoder.bufferedByteCount(), 0U);

    decoder.decode(stream.data(), 5);
    decoder.reset();
    EXPECT_EQ(decoder.bufferedByteCount(), 0U);
}

}  // namespace
}  // namespace ota::backend
