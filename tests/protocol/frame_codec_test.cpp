// Header checks of parseFrame (ordered, with reason codes), validateFrame and encodeFrame.

#include "protocol/body_codec.h"
#include "protocol/protocol_frame.h"
#include "protocol_test_bytes.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using test::Bytes;
using test::frameBytes;
using test::hexBytes;
using test::kQueryStatusFrame;

void expectParseFailure(const Bytes& bytes, std::uint8_t reason, const std::string& message)
{
    const S_ProtocolParseResult result = parseFrame(bytes);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reasonCode, reason);
    EXPECT_EQ(result.error, message);
}

Bytes withByte(Bytes bytes, std::size_t offset, std::uint8_t value)
{
    bytes.at(offset) = value;
    return bytes;
}

TEST(ParseFrame, HeaderChecksReportTheirReasonCodes)
{
    expectParseFailure(Bytes(kQueryStatusFrame.begin(), kQueryStatusFrame.end() - 1), 10,
                       "Frame is shorter than the minimum length");
    expectParseFailure({}, 10, "Frame is shorter than the minimum length");
    expectParseFailure(withByte(kQueryStatusFrame, 2, 0x5B), 10, "Frame header is invalid");
    expectParseFailure(withByte(kQueryStatusFrame, 4, 2), 10, "Protocol version is unsupported");
    expectParseFailure(withByte(kQueryStatusFrame, 5, 0), 12, "Message type is unsupported");
    expectParseFailure(withByte(kQueryStatusFrame, 5, 12), 12, "Message type is unsupported");
    expectParseFailure(withByte(kQueryStatusFrame, 6, 0), 13, "Device type is unsupported");
    expectParseFailure(withByte(kQueryStatusFrame, 6, 4), 13, "Device type is unsupported");
    expectParseFailure(withByte(kQueryStatusFrame, 16, 0xA4), 10, "Frame tail is invalid");
    expectParseFailure(withByte(kQueryStatusFrame, 13, 0x00), 10, "Frame tail is invalid");
}

TEST(ParseFrame, LengthMustMatchBodyLengthExactly)
{
    Bytes longer = kQueryStatusFrame;
    longer.push_back(0xA5);
    expectParseFailure(longer, 11, "Frame length does not match body_length");
    // A body_length pointing past the end must not be followed.
    expectParseFailure(withByte(kQueryStatusFrame, 12, 0xFF), 11, "Frame length does not match body_length");
}

TEST(ParseFrame, ChecksRunInTheirOrder)
{
    // Version and type both wrong: the version check comes first.
    expectParseFailure(withByte(withByte(kQueryStatusFrame, 4, 9), 5, 99), 10,
                       "Protocol version is unsupported");
    // Wrong device type and wrong length: the device type is reported.
    Bytes bad = withByte(kQueryStatusFrame, 6, 7);
    bad.push_back(0);
    expectParseFailure(bad, 13, "Device type is unsupported");
}

TEST(ParseFrame, ValidationFailureReasonDependsOnMessageType)
{
    // Type 3 with upgrade number 0 fails validation: reason 10 for command frames.
    expectParseFailure(frameBytes(3, 1, 0, hexBytes("01 02 00 00")), 10,
                       "upgradeNo must not be zero for upgrade workflow frames");
    expectParseFailure(frameBytes(5, 1, 1, hexBytes("02 01 03")), 10,
                       "Ack stage, result or reasonCode is invalid");
    expectParseFailure(frameBytes(6, 1, 1, hexBytes("02 01 65 00")), 10,
                       "StageReport stage, result, progress or reasonCode is invalid");
    expectParseFailure(frameBytes(9, 1, 1, hexBytes("00 0000 01 00 00000000")), 4,
                       "FileChunkReport file number, result or reasonCode is invalid");
    expectParseFailure(frameBytes(8, 1, 1, hexBytes("01 0500 0500 0100 00000000 AA")), 4,
                       "FileChunk fields are invalid");
    // Header rules still come first when the chunk fields are bad as well.
    expectParseFailure(frameBytes(8, 1, 0, hexBytes("00 0500 0500 0100 00000000 AA")), 4,
                       "upgradeNo must not be zero for upgrade workflow frames");
    expectParseFailure(frameBytes(10, 1, 1, Bytes(39, 0)), 4,
                       "FileVerifyReport file number, result or reasonCode is invalid");
    expectParseFailure(frameBytes(7, 1, 1, Bytes(105, 0)), 4, "FileInfo fields are invalid");
}

TEST(ParseFrame, UpgradeNumberZeroAllowedOnlyForStatusFrames)
{
    EXPECT_TRUE(parseFrame(kQueryStatusFrame).ok);
    const Bytes asCommand = withByte(kQueryStatusFrame, 5, 3);
    // The empty body fails the command body length before validation is reached.
    expectParseFailure(asCommand, 11, "Command body length must be 4");
}

TEST(ParseFrame, NullPointerIsRejectedNotRead)
{
    const S_ProtocolParseResult result = parseFrame(nullptr, 17);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "Frame is shorter than the minimum length");
}

S_ProtocolFrame queryFrame()
{
    S_ProtocolFrame frame;
    frame.deviceType = 1;
    return frame;
}

TEST(ValidateFrame, HeaderRulesInOrder)
{
    std::string error;
    S_ProtocolFrame frame = queryFrame();
    EXPECT_TRUE(validateFrame(frame, error));
    EXPECT_TRUE(error.empty());

    frame.protocolVersion = 2;
    frame.messageType = 0;
    EXPECT_FALSE(validateFrame(frame, error));
    EXPECT_EQ(error, "protocolVersion must be 1");

    frame = queryFrame();
    frame.messageType = 12;
    EXPECT_FALSE(validateFrame(frame, error));
    EXPECT_EQ(error, "messageType is unsupported");

    frame = queryFrame();
    frame.deviceType = 0;
    EXPECT_FALSE(validateFrame(frame, error));
    EXPECT_EQ(error, "deviceType must be EMU, PCS or BMS");

    frame = queryFrame();
    frame.messageType = 3;
    frame.body = S_ProtocolCommand{1, 2, 0};
    EXPECT_FALSE(validateFrame(frame, error));
    EXPECT_EQ(error, "upgradeNo must not be zero for upgrade workflow frames");
    frame.upgradeNo = 5;
    EXPECT_TRUE(validateFrame(frame, error)) << error;
}

TEST(ValidateFrame, BodyAlternativeMustMatchMessageType)
{
    const char* const messages[] = {
        "QueryStatus body must be empty",
        "DeviceStatus body type is invalid",
        "EmsCommand body type is invalid",
        "EmsTargetList body type is invalid",
        "DeviceAck body type is invalid",
        "DeviceStageReport body type is invalid",
        "EmsFileInfo body type is invalid",
        "EmsFileChunk body type is invalid",
        "DeviceFileChunkReport body type is invalid",
        "DeviceFileVerifyReport body type is invalid",
        "DeviceProgress body type is invalid",
    };
    for (std::uint8_t type = 1; type <= 11; ++type)
    {
        SCOPED_TRACE(static_cast<int>(type));
        S_ProtocolFrame frame = queryFrame();
        frame.messageType = type;
        frame.upgradeNo = 1;
        frame.body = type == 1 ? S_ProtocolFrameBody{S_ProtocolDeviceAck{}} : S_ProtocolFrameBody{};
        std::string error;
        EXPECT_FALSE(validateFrame(frame, error));
        EXPECT_EQ(error, messages[type - 1]);
    }
}

TEST(EncodeFrame, RefusesInvalidFramesWithTheValidationMessage)
{
    S_ProtocolFrame frame = queryFrame();
    frame.messageType = 3;
    frame.body = S_ProtocolCommand{1, 2, 0};
    std::vector<std::uint8_t> bytes = {1, 2, 3};
    std::string error;
    EXPECT_FALSE(encodeFrame(frame, bytes, error));
    EXPECT_EQ(error, "upgradeNo must not be zero for upgrade workflow frames");
    EXPECT_TRUE(bytes.empty());
}

TEST(EncodeFrame, WritesTheRealBodyLengthWhateverTheRecordSays)
{
    S_ProtocolFrame frame = queryFrame();
    frame.bodyLength = 999;
    std::vector<std::uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(encodeFrame(frame, bytes, error));
    EXPECT_EQ(bytes, kQueryStatusFrame);
}

TEST(EncodeFrame, BodyAboveMaxBodyLengthIsRefused)
{
    // Validation caps chunk data far below the limit, so the guard is exercised on the writer.
    S_ProtocolFrame frame = queryFrame();
    frame.messageType = 8;
    frame.upgradeNo = 1;
    frame.body = S_ProtocolFileChunk{1, 0, 1, 0, std::vector<std::uint8_t>(65535 - 10, 0x11)};
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(writeFrameBytes(frame, bytes, error));
    EXPECT_EQ(error, "Body exceeds MAX_BODY_LENGTH");
    EXPECT_TRUE(bytes.empty());

    std::get<S_ProtocolFileChunk>(frame.body).data.resize(65535 - 11);
    EXPECT_TRUE(writeFrameBytes(frame, bytes, error)) << error;
    EXPECT_EQ(bytes.size(), 65535U + 17U);

    EXPECT_FALSE(encodeFrame(frame, bytes, error));
    EXPECT_EQ(error, "FileChunk fields are invalid");
}

TEST(FrameNames, MessageAndReasonNames)
{
    EXPECT_STREQ(protocolMessageTypeName(1), "MSG_QUERY_STATUS");
    EXPECT_STREQ(protocolMessageTypeName(8), "MSG_EMS_FILE_CHUNK");
    EXPECT_STREQ(protocolMessageTypeName(11), "MSG_DEVICE_PROGRESS");
    EXPECT_STREQ(protocolMessageTypeName(0), "MSG_UNKNOWN");
    EXPECT_STREQ(protocolMessageTypeName(12), "MSG_UNKNOWN");
    EXPECT_STREQ(protocolReasonCodeName(0), "OK");
    EXPECT_STREQ(protocolReasonCodeName(9), "UPGRADE_CONTEXT_RESET");
    EXPECT_STREQ(protocolReasonCodeName(19), "RESET_NOT_ALLOWED");
    EXPECT_STREQ(protocolReasonCodeName(20), "UNKNOWN_REASON");
    EXPECT_STREQ(protocolReasonCodeName(65535), "UNKNOWN_REASON");
}

}  // namespace
}  // namespace ota::backend
