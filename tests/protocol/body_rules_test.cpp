// Body parse rules (messages and reason codes) and body validation rules of every message type.

#include "protocol/device_side_codec.h"
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
using test::textField;

constexpr std::uint8_t EMU = 1;
constexpr std::uint8_t PCS = 2;
constexpr std::uint8_t BMS = 3;

std::string validationError(std::uint8_t type, std::uint8_t device, S_ProtocolFrameBody body)
{
    S_ProtocolFrame frame;
    frame.messageType = type;
    frame.deviceType = device;
    frame.upgradeNo = 77;
    frame.body = std::move(body);
    std::string error;
    return validateFrame(frame, error) ? std::string("valid") : error;
}

void expectParse(const Bytes& bytes, std::uint8_t reason, const std::string& message)
{
    const S_ProtocolParseResult result = parseFrame(bytes);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.reasonCode, reason);
    EXPECT_EQ(result.error, message);
}

// ---- MSG_DEVICE_STATUS -------------------------------------------------------------------

using Components = std::vector<S_ProtocolComponentVersion>;

std::string statusError(std::uint8_t device, Components components, std::uint8_t state = 1, std::uint8_t reason = 0)
{
    return validationError(2, device, S_ProtocolDeviceStatus{state, reason, std::move(components)});
}

Components bmsComponents(std::initializer_list<int> bcuIndexes)
{
    Components components = {{5, 1, "a"}, {6, 1, "b"}};
    for (const int index : bcuIndexes)
    {
        components.push_back({7, static_cast<std::uint8_t>(index), "c"});
    }
    return components;
}

TEST(DeviceStatusRules, CompositionPerDeviceType)
{
    EXPECT_EQ(statusError(EMU, standardDeviceComponents(EMU, "1.0")), "valid");
    EXPECT_EQ(statusError(PCS, standardDeviceComponents(PCS, "1.0")), "valid");
    EXPECT_EQ(statusError(BMS, standardDeviceComponents(BMS, "1.0", 6)), "valid");
    EXPECT_EQ(statusError(BMS, standardDeviceComponents(BMS, "1.0", 12)), "valid");

    EXPECT_EQ(statusError(EMU, {{0, 1, "x"}, {1, 1, "y"}}),
              "DeviceStatus target component type or index does not match direct device type");
    EXPECT_EQ(statusError(PCS, {{1, 1, "x"}, {2, 1, "y"}, {3, 1, "z"}}),
              "PCS device must report target components DSP1, DSP2, FPGA1 and ARM1");
    EXPECT_EQ(statusError(BMS, bmsComponents({1, 2, 3, 4, 5, 7})),
              "BMS target component BCU indexes must be continuous from 1");
    EXPECT_EQ(statusError(BMS, bmsComponents({1, 2, 3, 4, 5, 6, 7, 8})),
              "BMS device must report target components BAU1, BEU1 and either 6 or 12 BCUs");
    EXPECT_EQ(statusError(BMS, bmsComponents({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13})),
              "DeviceStatus target component type or index does not match direct device type");
    Components noBeu = bmsComponents({1, 2, 3, 4, 5, 6});
    noBeu[1] = {7, 7, "c"};
    EXPECT_EQ(statusError(BMS, noBeu), "BMS device must report target components BAU1, BEU1 and either 6 or 12 BCUs");
}

TEST(DeviceStatusRules, ItemRulesComeBeforeComposition)
{
    EXPECT_EQ(statusError(EMU, {}), "DeviceStatus target component count is outside the allowed range");
    EXPECT_EQ(statusError(BMS, Components(17, {7, 1, "v"})),
              "DeviceStatus target component count is outside the allowed range");
    EXPECT_EQ(statusError(PCS, {{1, 1, "x"}, {1, 1, "y"}, {3, 1, "z"}, {4, 1, "w"}}),
              "DeviceStatus contains duplicate target components");
    EXPECT_EQ(statusError(EMU, {{0, 1, std::string(32, 'v')}}), "Component version is too long");
    EXPECT_EQ(statusError(EMU, {{0, 1, std::string(31, 'v')}}), "valid");
    EXPECT_EQ(statusError(EMU, {{0, 2, "x"}}),
              "DeviceStatus target component type or index does not match direct device type");
    EXPECT_EQ(statusError(EMU, {{8, 1, "x"}}),
              "DeviceStatus target component type or index does not match direct device type");
}

TEST(DeviceStatusRules, StateAndReasonAreCheckedFirstOnRecords)
{
    EXPECT_EQ(statusError(EMU, {}, 0), "DeviceStatus upgradeState is invalid");
    EXPECT_EQ(statusError(EMU, {}, 5), "DeviceStatus upgradeState is invalid");
    EXPECT_EQ(statusError(EMU, {}, 4, 20), "DeviceStatus reasonCode is invalid");
    EXPECT_EQ(statusError(EMU, {{0, 1, "1"}}, 4, 19), "valid");
}

Bytes emuStatusBody(std::uint8_t state, std::uint8_t reason, std::uint8_t componentType = 0)
{
    return concat({Bytes{state, reason, 1, 34, componentType, 1}, textField("1.0", 32)});
}

TEST(DeviceStatusParse, LayoutAndPrecedenceOfMessages)
{
    expectParse(frameBytes(2, EMU, 0, hexBytes("01 00 01")), 11, "DeviceStatus body is too short");
    expectParse(frameBytes(2, EMU, 0, concat({hexBytes("01 00 01 21 00 01"), textField("1", 32)})), 3,
                "DeviceStatus target component layout is invalid");
    expectParse(frameBytes(2, EMU, 0, concat({hexBytes("01 00 02 22 00 01"), textField("1", 32)})), 3,
                "DeviceStatus target component layout is invalid");
    expectParse(frameBytes(2, EMU, 0, concat({hexBytes("01 00 11 22"), Bytes(17 * 34, 0)})), 3,
                "DeviceStatus target component layout is invalid");
    // A count of zero is a valid layout; the component rules reject it.
    expectParse(frameBytes(2, EMU, 0, hexBytes("01 00 00 22")), 3,
                "DeviceStatus target component count is outside the allowed range");
    // Component faults win over state and reason faults.
    expectParse(frameBytes(2, EMU, 0, emuStatusBody(9, 30, 1)), 3,
                "DeviceStatus target component type or index does not match direct device type");
    expectParse(frameBytes(2, EMU, 0, emuStatusBody(9, 30)), 3, "DeviceStatus upgradeState is invalid");
    expectParse(frameBytes(2, EMU, 0, emuStatusBody(2, 30)), 3, "DeviceStatus reasonCode is invalid");
    EXPECT_TRUE(parseFrame(frameBytes(2, EMU, 0, emuStatusBody(2, 19))).ok);
}

TEST(DeviceStatusParse, VersionFieldWithoutZeroByteReadsWholeField)
{
    const Bytes body = concat({hexBytes("01 00 01 22 00 01"), Bytes(32, 'v')});
    expectParse(frameBytes(2, EMU, 0, body), 3, "Component version is too long");
    const Bytes trailing = concat({hexBytes("01 00 01 22 00 01"), textField("1.2", 4), Bytes(28, 'x')});
    const auto parsed = parseFrame(frameBytes(2, EMU, 0, trailing));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(std::get<S_ProtocolDeviceStatus>(parsed.frame.body).components.at(0).version, "1.2");
}

// ---- MSG_EMS_CMD -------------------------------------------------------------------------

std::string commandError(std::uint8_t type, std::uint8_t stage, std::uint16_t param)
{
    return validationError(3, PCS, S_ProtocolCommand{type, stage, param});
}

TEST(CommandRules, StagePerCommandAndParameter)
{
    EXPECT_EQ(commandError(1, 2, 0), "valid");
    EXPECT_EQ(commandError(2, 3, 1), "valid");
    EXPECT_EQ(commandError(2, 3, 32), "valid");
    EXPECT_EQ(commandError(3, 4, 0), "valid");
    EXPECT_EQ(commandError(4, 5, 0), "valid");
    EXPECT_EQ(commandError(5, 6, 0), "valid");
    for (std::uint8_t stage = 0; stage <= 6; ++stage)
    {
        EXPECT_EQ(commandError(6, stage, 0), "valid");
    }
    EXPECT_EQ(commandError(6, 7, 0), "Command type or stage is invalid");
    EXPECT_EQ(commandError(0, 2, 0), "Command type or stage is invalid");
    EXPECT_EQ(commandError(7, 2, 0), "Command type or stage is invalid");
    EXPECT_EQ(commandError(1, 3, 0), "Command type or stage is invalid");
    EXPECT_EQ(commandError(5, 5, 0), "Command type or stage is invalid");
    EXPECT_EQ(commandError(2, 3, 0), "StartTransfer commandParam must contain file count in the allowed range");
    EXPECT_EQ(commandError(2, 3, 33), "StartTransfer commandParam must contain file count in the allowed range");
    EXPECT_EQ(commandError(1, 2, 1), "Only StartTransfer may carry a non-zero commandParam");
    EXPECT_EQ(commandError(6, 0, 256), "Only StartTransfer may carry a non-zero commandParam");
}

// ---- MSG_EMS_TARGET_LIST -----------------------------------------------------------------

std::string targetError(std::uint8_t device, std::vector<S_ProtocolTargetItem> items)
{
    return validationError(4, device, S_ProtocolTargetItems{std::move(items)});
}

TEST(TargetListRules, ItemRangesAndDuplicates)
{
    const char* invalid = "Target component type, index or version is invalid for direct device type";
    EXPECT_EQ(targetError(BMS, {{1, 7, 12, 1, "v"}, {32, 5, 1, 0, std::string(31, 'v')}}), "valid");
    EXPECT_EQ(targetError(BMS, {}), "Target count is outside the allowed range");
    std::vector<S_ProtocolTargetItem> many;
    for (int i = 0; i < 33; ++i)
    {
        many.push_back({static_cast<std::uint8_t>(i + 1), 7, 1, 0, "v"});
    }
    EXPECT_EQ(targetError(BMS, many), "Target count is outside the allowed range");
    EXPECT_EQ(targetError(BMS, {{0, 7, 1, 0, "v"}}), invalid);
    EXPECT_EQ(targetError(BMS, {{33, 7, 1, 0, "v"}}), invalid);
    EXPECT_EQ(targetError(BMS, {{1, 7, 1, 2, "v"}}), invalid);
    EXPECT_EQ(targetError(BMS, {{1, 7, 1, 0, std::string(32, 'v')}}), invalid);
    EXPECT_EQ(targetError(BMS, {{1, 7, 13, 0, "v"}}), invalid);
    EXPECT_EQ(targetError(PCS, {{1, 7, 1, 0, "v"}}), invalid);
    EXPECT_EQ(targetError(BMS, {{3, 7, 1, 0, "v"}, {3, 5, 1, 0, "w"}}),
              "TargetList contains duplicate target numbers or components");
    EXPECT_EQ(targetError(BMS, {{3, 7, 1, 0, "v"}, {4, 7, 1, 1, "w"}}),
              "TargetList contains duplicate target numbers or components");
    // Item rules of an item run before its duplicate check against later items.
    EXPECT_EQ(targetError(BMS, {{3, 7, 1, 0, "v"}, {3, 9, 1, 0, "w"}}),
              "TargetList contains duplicate target numbers or components");
    EXPECT_EQ(targetError(BMS, {{3, 9, 1, 0, "v"}, {3, 7, 1, 0, "w"}}), invalid);
}

TEST(TargetListParse, LayoutAndValidationMessages)
{
    const Bytes item = concat({hexBytes("01 07 01 00"), textField("v", 32)});
    expectParse(frameBytes(4, BMS, 1, hexBytes("01")), 11, "TargetList body is too short");
    expectParse(frameBytes(4, BMS, 1, concat({hexBytes("00 24")})), 3, "TargetList layout is invalid");
    expectParse(frameBytes(4, BMS, 1, concat({hexBytes("01 23"), item})), 3, "TargetList layout is invalid");
    expectParse(frameBytes(4, BMS, 1, concat({hexBytes("02 24"), item})), 3, "TargetList layout is invalid");
    expectParse(frameBytes(4, BMS, 0, concat({hexBytes("01 24"), item})), 3,
                "upgradeNo must not be zero for upgrade workflow frames");
    expectParse(frameBytes(4, EMU, 1, concat({hexBytes("01 24"), item})), 3,
                "Target component type, index or version is invalid for direct device type");
    EXPECT_TRUE(parseFrame(frameBytes(4, BMS, 1, concat({hexBytes("01 24"), item}))).ok);
}

// ---- ACK, stage report, chunk and verify reports -----------------------------------------

TEST(AckRules, ResultAndReasonMustAgree)
{
    const char* invalid = "Ack stage, result or reasonCode is invalid";
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{6, 1, 0}), "valid");
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{0, 2, 19}), "valid");
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{7, 1, 0}), invalid);
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{2, 0, 0}), invalid);
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{2, 3, 1}), invalid);
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{2, 2, 20}), invalid);
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{2, 1, 1}), invalid);
    EXPECT_EQ(validationError(5, EMU, S_ProtocolDeviceAck{2, 2, 0}), invalid);
}

TEST(StageReportRules, AbortedNeedsAReason)
{
    const char* invalid = "StageReport stage, result, progress or reasonCode is invalid";
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 3, 40, 9}), "valid");
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 1, 100, 0}), "valid");
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 3, 40, 0}), invalid);
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 2, 40, 0}), invalid);
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 1, 40, 3}), invalid);
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 4, 40, 3}), invalid);
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 1, 101, 0}), invalid);
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{7, 1, 0, 0}), invalid);
    EXPECT_EQ(validationError(6, EMU, S_ProtocolStageReport{5, 2, 0, 20}), invalid);
}

TEST(ReportRules, FileNumberResultAndReason)
{
    const char* chunk = "FileChunkReport file number, result or reasonCode is invalid";
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{1, 0, 1, 0, 5}), "valid");
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{32, 9, 2, 5, 5}), "valid");
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{0, 0, 1, 0, 5}), chunk);
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{33, 0, 1, 0, 5}), chunk);
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{1, 0, 3, 5, 5}), chunk);
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{1, 0, 2, 0, 5}), chunk);
    EXPECT_EQ(validationError(9, PCS, S_ProtocolFileChunkReport{1, 0, 1, 2, 5}), chunk);

    const char* verify = "FileVerifyReport file number, result or reasonCode is invalid";
    EXPECT_EQ(validationError(10, PCS, S_ProtocolFileVerifyReport{1, 2, 6, 10, {}}), "valid");
    EXPECT_EQ(validationError(10, PCS, S_ProtocolFileVerifyReport{0, 1, 0, 10, {}}), verify);
    EXPECT_EQ(validationError(10, PCS, S_ProtocolFileVerifyReport{1, 2, 20, 10, {}}), verify);
    EXPECT_EQ(validationError(10, PCS, S_ProtocolFileVerifyReport{1, 1, 6, 10, {}}), verify);
}

// ---- File info and chunk -----------------------------------------------------------------

S_ProtocolFileInfo fileInfo(std::uint32_t size, std::uint16_t chunkSize, std::uint16_t chunks)
{
    S_ProtocolFileInfo info;
    info.fileNo = 1;
    info.fileName = "fw.bin";
    info.fileSize = size;
    info.chunkSize = chunkSize;
    info.totalChunks = chunks;
    return info;
}

TEST(FileInfoRules, ChunkArithmeticAndFields)
{
    const char* invalid = "FileInfo fields are invalid";
    EXPECT_EQ(S_ProtocolFileInfo{}.chunkSize, 10240);
    EXPECT_EQ(validationError(7, EMU, fileInfo(10241, 10240, 2)), "valid");
    EXPECT_EQ(validationError(7, EMU, fileInfo(10241, 10240, 1)), invalid);
    EXPECT_EQ(validationError(7, EMU, fileInfo(10240, 10240, 1)), "valid");
    EXPECT_EQ(validationError(7, EMU, fileInfo(0, 10240, 1)), invalid);
    EXPECT_EQ(validationError(7, EMU, fileInfo(5, 0, 1)), invalid);
    EXPECT_EQ(validationError(7, EMU, fileInfo(5, 32769, 1)), invalid);
    EXPECT_EQ(validationError(7, EMU, fileInfo(32768, 32768, 1)), "valid");
    EXPECT_EQ(validationError(7, EMU, fileInfo(65535, 1, 65535)), "valid");
    EXPECT_EQ(validationError(7, EMU, fileInfo(65536, 1, 65535)), invalid);  // 65536 chunks do not fit
    S_ProtocolFileInfo info = fileInfo(5, 10, 1);
    info.fileNo = 33;
    EXPECT_EQ(validationError(7, EMU, info), invalid);
    info = fileInfo(5, 10, 1);
    info.fileName.clear();
    EXPECT_EQ(validationError(7, EMU, info), invalid);
    info.fileName = std::string(64, 'n');
    EXPECT_EQ(validationError(7, EMU, info), invalid);
    info.fileName = std::string(63, 'n');
    EXPECT_EQ(validationError(7, EMU, info), "valid");
}

TEST(FileChunkRules, NumberingAndDataSize)
{
    const char* invalid = "FileChunk fields are invalid";
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{1, 1, 2, 0, {1}}), "valid");
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{1, 2, 2, 0, {1}}), invalid);
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{1, 0, 0, 0, {1}}), invalid);
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{0, 0, 1, 0, {1}}), invalid);
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{1, 0, 1, 0, {}}), invalid);
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{1, 0, 1, 0, std::vector<std::uint8_t>(32768)}), "valid");
    EXPECT_EQ(validationError(8, EMU, S_ProtocolFileChunk{1, 0, 1, 0, std::vector<std::uint8_t>(32769)}), invalid);
}

TEST(FileChunkParse, LayoutMessages)
{
    expectParse(frameBytes(8, EMU, 1, hexBytes("01 0000 0100 0100 000000")), 11, "FileChunk body is too short");
    expectParse(frameBytes(8, EMU, 1, hexBytes("01 0000 0100 0000 00000000 AA")), 11, "FileChunk layout is invalid");
    expectParse(frameBytes(8, EMU, 1, hexBytes("01 0000 0100 0200 00000000 AA")), 11, "FileChunk layout is invalid");
    expectParse(frameBytes(8, EMU, 1, hexBytes("01 0000 0100 0100 00000000 AA BB")), 11,
                "FileChunk layout is invalid");
    Bytes big = hexBytes("01 0000 0100 0180 00000000");
    big.resize(11 + 32769, 0x33);
    expectParse(frameBytes(8, EMU, 1, big), 11, "FileChunk layout is invalid");
}

// ---- Progress ----------------------------------------------------------------------------

TEST(ProgressRules, ComponentPercentageAndText)
{
    const char* invalid = "Progress target component, index, percentage or detail text is invalid for direct device type";
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{6, 4, 1, 100, 19, std::string(63, 'd')}), "valid");
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{7, 4, 1, 0, 0, ""}), invalid);
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{6, 4, 1, 101, 0, ""}), invalid);
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{6, 4, 1, 0, 20, ""}), invalid);
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{6, 4, 1, 0, 0, std::string(64, 'd')}), invalid);
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{6, 0, 1, 0, 0, ""}), invalid);
    EXPECT_EQ(validationError(11, PCS, S_ProtocolProgress{6, 4, 2, 0, 0, ""}), invalid);
}

TEST(ProgressParse, ValidationFailuresCarryComponentReason)
{
    const Bytes body = concat({hexBytes("02 00 01 32 00"), Bytes(64, 'd')});
    expectParse(frameBytes(11, EMU, 1, body), 3,
                "Progress target component, index, percentage or detail text is invalid for direct device type");
    expectParse(frameBytes(11, EMU, 1, hexBytes("02 00 01 32 00")), 11, "Progress body length must be 69");
}

TEST(BodyParse, FixedLengthMessages)
{
    expectParse(frameBytes(1, EMU, 0, hexBytes("00")), 11, "QueryStatus body must be empty");
    expectParse(frameBytes(3, EMU, 1, hexBytes("01 02 00")), 11, "Command body length must be 4");
    expectParse(frameBytes(5, EMU, 1, hexBytes("01 02 00 00")), 11, "Ack body length must be 3");
    expectParse(frameBytes(6, EMU, 1, hexBytes("01 02 00")), 11, "StageReport body length must be 4");
    expectParse(frameBytes(7, EMU, 1, Bytes(104, 1)), 11, "FileInfo body length must be 105");
    expectParse(frameBytes(9, EMU, 1, Bytes(10, 1)), 11, "FileChunkReport body length must be 9");
    expectParse(frameBytes(10, EMU, 1, Bytes(38, 1)), 11, "FileVerifyReport body length must be 39");
}

// ---- Enumerations ------------------------------------------------------------------------

TEST(ProtocolEnumerations, NamesAndIdentifiers)
{
    EXPECT_STREQ(protocolStageDisplayName(0), "连接与状态同步");
    EXPECT_STREQ(protocolStageDisplayName(1), "状态已同步");
    EXPECT_STREQ(protocolStageDisplayName(2), "升级准备");
    EXPECT_STREQ(protocolStageDisplayName(3), "文件传输");
    EXPECT_STREQ(protocolStageDisplayName(4), "文件接收确认");
    EXPECT_STREQ(protocolStageDisplayName(5), "固件烧写");
    EXPECT_STREQ(protocolStageDisplayName(6), "重启验证");
    EXPECT_STREQ(protocolStageDisplayName(7), "未知阶段");
    EXPECT_STREQ(deviceUpgradeStateName(1), "READY");
    EXPECT_STREQ(deviceUpgradeStateName(4), "FAULT");
    EXPECT_STREQ(deviceUpgradeStateName(0), "UNKNOWN");
    EXPECT_STREQ(deviceUpgradeStateName(5), "UNKNOWN");
    EXPECT_STREQ(componentTypeIdentifier(0), "EMU");
    EXPECT_STREQ(componentTypeIdentifier(3), "PCS_FPGA");
    EXPECT_STREQ(componentTypeIdentifier(7), "BMS_BCU");
    EXPECT_STREQ(componentTypeIdentifier(8), "UNKNOWN");

    std::uint8_t code = 99;
    EXPECT_TRUE(componentTypeFromIdentifier("bms_bcu", code));
    EXPECT_EQ(code, 7);
    EXPECT_TRUE(componentTypeFromIdentifier("Pcs_Arm", code));
    EXPECT_EQ(code, 4);
    EXPECT_FALSE(componentTypeFromIdentifier("PCS_ARM ", code));
    EXPECT_FALSE(componentTypeFromIdentifier("UNKNOWN", code));
    EXPECT_FALSE(componentTypeFromIdentifier("", code));
}

}  // namespace
}  // namespace ota::backend
