// What the service does with what devices send: ACK matching and its counters, events it must
// ignore, the bounded event queue and device-reported failures.
#include "upgrade/device_event_builders.h"
#include "upgrade/upgrade_test_fixture.h"

#include <memory>
#include <utility>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using test::ack;
using test::CSnapshotBuilder;
using test::DeviceReplyHook;
using test::E_SendKind;
using test::firmwareBytes;
using test::S_DeviceReply;
using test::S_RecordedSend;
using test::stageReport;

using UpgradeIntake = test::CUpgradeExecutionFixture;

constexpr std::uint8_t kSuccess = 1;
constexpr std::uint8_t kFailure = 2;

// The same failure, as another task would report it.
S_ProtocolEvent foreignFailure(const S_ProtocolEvent& event)
{
    S_ProtocolEvent foreign = test::withUpgradeNo(event, event.upgradeNo + 1000);
    const auto busy = toProtocolByte(E_ProtocolReasonCode::DEVICE_BUSY);
    if (auto* ack = foreign.get<S_ProtocolEventAck>())
    {
        *ack = {ack->stage, kFailure, busy};
    }
    if (auto* report = foreign.get<S_ProtocolEventStageReport>())
    {
        *report = {report->stage, kFailure, 0, busy};
    }
    if (auto* report = foreign.get<S_ProtocolEventFileChunkReport>())
    {
        report->result = kFailure;
        report->crc32 ^= 1;
    }
    if (auto* report = foreign.get<S_ProtocolEventFileVerifyReport>())
    {
        report->result = kFailure;
        report->fileSize += 1;
    }
    if (auto* status = foreign.get<S_ProtocolEventDeviceStatus>())
    {
        status->upgradeState = toProtocolByte(E_DeviceUpgradeState::BUSY);
        status->reasonCode = busy;
    }
    return foreign;
}

TEST_F(UpgradeIntake, DroppedAndForeignEventsAreCountedOrIgnoredAndTheDeviceGoesOn)
{
    // Answers arrive while the worker is still in its send, so which question is pending when an
    // answer arrives is fixed: the one just sent (or none while chunks are outstanding).
    m_transport.setAnswersBeforeSendReturns(true);
    startService(options());
    struct S_Case
    {
        std::string nodeId;
        DeviceReplyHook hook;
        std::uint64_t unexpected;
        std::uint64_t duplicate;
        std::uint64_t mismatched;
    };
    const std::vector<S_Case> cases = {
        {"emu-twice",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::TARGET_LIST)
             {
                 replies.push_back(replies.front());
             }
         },
         0, 1, 0},
        {"emu-unasked",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::FILE_CHUNK)
             {
                 replies.push_back(
                     S_DeviceReply::of(ack(send.upgradeNo, E_ProtocolStage::FILE_TRANSFER, kSuccess)));
             }
         },
         4, 0, 0},
        {"emu-mismatch",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::TARGET_LIST)
             {
                 replies = {
                     S_DeviceReply::of(ack(send.upgradeNo, E_ProtocolStage::FILE_TRANSFER, kSuccess)),
                     S_DeviceReply::of(ack(send.upgradeNo, E_ProtocolStage::PREPARATION, kSuccess), 50ms)};
             }
         },
         0, 0, 1},
        {"emu-stray",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::FILE_CHUNK && send.fileChunk.chunkNo == 0)
             {
                 const auto flashFailed = toProtocolByte(E_ProtocolReasonCode::FLASH_FAILED);
                 replies.insert(replies.begin(),
                                {S_DeviceReply::of(stageReport(send.upgradeNo, E_ProtocolStage::FLASHING,
                                                               kFailure, 0, flashFailed)),
                                 S_DeviceReply::of(stageReport(
                                     send.upgradeNo, E_ProtocolStage::RESTART_VERIFICATION, kSuccess, 100))});
             }
         },
         0, 0, 0},
        // While the status is awaited a newer status replaces an older one: only READY is seen.
        {"emu-changes-mind",
         [first = std::make_shared<bool>(true)](const S_RecordedSend& send,
                                                std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::STATUS_QUERY && std::exchange(*first, false))
             {
                 S_DeviceReply busy = replies.front();
                 auto* status = busy.event.get<S_ProtocolEventDeviceStatus>();
                 status->upgradeState = toProtocolByte(E_DeviceUpgradeState::BUSY);
                 status->reasonCode = toProtocolByte(E_ProtocolReasonCode::DEVICE_BUSY);
                 replies.insert(replies.begin(), busy);
             }
         },
         0, 0, 0},
        {"emu-foreign",
         [](const S_RecordedSend&, std::vector<S_DeviceReply>& replies)
         {
             std::vector<S_DeviceReply> both;
             for (const auto& reply : replies)
             {
                 if (!reply.isConnectionChange)
                 {
                     both.push_back(S_DeviceReply::of(foreignFailure(reply.event), reply.delay));
                 }
                 both.push_back(reply);
             }
             replies = both;
         },
         0, 0, 0},
    };
    CSnapshotBuilder builder(m_directory, 70);
    builder.addFile(1, "emu.bin", firmwareBytes(4000, 70), 1024, "V2");
    for (const auto& c : cases)
    {
        m_site.addDevice(c.nodeId, test::emuComponents()).setHook(c.hook);
        builder.addTarget(c.nodeId, "EMU", 1, "V1", 1);
    }
    startTask(builder.build());
    const json final = waitForEnd(70);

    EXPECT_EQ(final.at("status"), "SUCCESS");
    for (const auto& c : cases)
    {
        const json& device = deviceIn(final, c.nodeId);
        EXPECT_EQ(device.at("result"), "SUCCESS") << c.nodeId << " " << device.at("error");
        EXPECT_EQ(device.at("unexpectedAckCount"), c.unexpected) << c.nodeId;
        EXPECT_EQ(device.at("duplicateAckCount"), c.duplicate) << c.nodeId;
        EXPECT_EQ(device.at("mismatchedAckCount"), c.mismatched) << c.nodeId;
        EXPECT_EQ(device.at("protocolEventDropCount"), 0) << c.nodeId;
        EXPECT_EQ(device.at("eventStreamFailed"), false) << c.nodeId;
        // Dropped answers are never replaced by a second question.
        auto trace = sendTrace(c.nodeId);
        const auto expected = test::workflowSends(1, {{1, 4}});
        ASSERT_GE(trace.size(), expected.size()) << c.nodeId;
        trace.resize(expected.size());
        EXPECT_EQ(trace, expected) << c.nodeId;
    }
}

// Stage reports of PREPARATION with result 1 are queued while the PREPARE_UPGRADE ACK is awaited
// and that wait leaves them there: 256 fit, the 257th overflows the queue.
TEST_F(UpgradeIntake, TheEventQueueOfADeviceHoldsTwoHundredFiftySixEvents)
{
    S_UpgradeExecutionOptions options = this->options();
    options.ackTimeoutMs = 800;
    startService(options);
    const auto flood = [](int count)
    {
        return [count](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
        {
            if (send.isCommand(E_ProtocolCommandType::PREPARE_UPGRADE))
            {
                replies.clear();
                for (int i = 0; i < count; ++i)
                {
                    replies.push_back(S_DeviceReply::of(
                        stageReport(send.upgradeNo, E_ProtocolStage::PREPARATION, kSuccess, 50)));
                }
            }
        };
    };
    m_site.addDevice("emu-full", test::emuComponents()).setHook(flood(256));
    m_site.addDevice("emu-over", test::emuComponents()).setHook(flood(257));
    // Device statuses are queued while the restart command is awaited and that wait leaves them.
    m_site.addDevice("emu-restart-flood", test::emuComponents())
        .setHook(
            [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
            {
                if (send.isCommand(E_ProtocolCommandType::RESTART_VERIFY))
                {
                    replies.clear();
                    for (int i = 0; i < 257; ++i)
                    {
                        replies.push_back(S_DeviceReply::of(
                            test::deviceStatus(send.upgradeNo, "READY", 0, test::emuComponents("V1"))));
                    }
                }
            });
    m_site.addDevice("emu-calm", test::emuComponents());
    CSnapshotBuilder builder(m_directory, 71);
    builder.addFile(1, "emu.bin", firmwareBytes(900, 71), 512, "V2");
    builder.addTarget("emu-full", "EMU", 1, "V1", 1)
        .addTarget("emu-over", "EMU", 1, "V1", 1)
        .addTarget("emu-restart-flood", "EMU", 1, "V1", 1)
        .addTarget("emu-calm", "EMU", 1, "V1", 1);
    startTask(builder.build());
    const json final = waitForEnd(71);

    EXPECT_EQ(final.at("status"), "FAILED");
    expectDeviceOutcome(final, "emu-full", "FAILED", "执行失败", 17, "TIMEOUT", "等待命令确认超时: 升级准备");
    EXPECT_EQ(deviceIn(final, "emu-full").at("eventStreamFailed"), false);
    EXPECT_EQ(deviceIn(final, "emu-full").at("protocolEventDropCount"), 0);
    expectDeviceOutcome(
        final, "emu-over", "FAILED", "执行失败", 0, "EVENT_QUEUE_OVERFLOW",
        "装置事件队列溢出，事件流已不完整，停止当前装置升级: nodeId=emu-over, protocolDropped=1, "
        "connectionDropped=0");
    EXPECT_EQ(deviceIn(final, "emu-over").at("eventStreamFailed"), true);
    EXPECT_EQ(deviceIn(final, "emu-over").at("protocolEventDropCount"), 1);
    EXPECT_EQ(sendTrace("emu-over").back(), "C1/2/0");
    expectDeviceOutcome(final, "emu-restart-flood", "FAILED", "执行失败", 0, "EVENT_QUEUE_OVERFLOW",
                        "装置事件队列溢出，事件流已不完整，停止当前装置升级: nodeId=emu-restart-flood, "
                        "protocolDropped=1, connectionDropped=0");
    EXPECT_EQ(sendTrace("emu-restart-flood").back(), "C5/6/0");
    EXPECT_EQ(deviceIn(final, "emu-calm").at("result"), "SUCCESS");
}

TEST_F(UpgradeIntake, DeviceReportedFailuresEndOnlyThatDevice)
{
    startService(options(16));
    struct S_Case
    {
        std::string nodeId;
        DeviceReplyHook hook;
        std::string result;
        std::uint16_t reasonCode;
        std::string reasonName;
        std::string error;
        std::string lastSend;
        int workflowProgress;
    };
    const std::vector<S_Case> cases = {
        {"emu-crc",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::FILE_CHUNK && send.fileChunk.chunkNo == 2)
             {
                 replies.front().event.get<S_ProtocolEventFileChunkReport>()->crc32 ^= 0x10;
             }
         },
         "FAILED", 0, "OK", "文件分片校验失败: fileNo=1, chunkNo=2", "K1.2", 20 + 35 * 2 / 4},
        {"emu-crc-refused",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::FILE_CHUNK)
             {
                 replies = {S_DeviceReply::of(
                     test::chunkReport(send.upgradeNo, 1, send.fileChunk.chunkNo, kFailure, 0, 5))};
             }
         },
         "FAILED", 5, "CHUNK_CRC32_MISMATCH", "文件分片校验失败: fileNo=1, chunkNo=0", "K1.0", 20},
        {"emu-size",
         [](const S_RecordedSend&, std::vector<S_DeviceReply>& replies)
         {
             for (auto& reply : replies)
             {
                 if (auto* report = reply.event.get<S_ProtocolEventFileVerifyReport>())
                 {
                     report->fileSize += 1;
                 }
             }
         },
         "FAILED", 0, "OK", "整文件SHA256校验失败: fileNo=1", "C3/4/0", 55},
        {"emu-sha-refused",
         [](const S_RecordedSend&, std::vector<S_DeviceReply>& replies)
         {
             for (auto& reply : replies)
             {
                 if (auto* report = reply.event.get<S_ProtocolEventFileVerifyReport>())
                 {
                     *report = {report->fileNo, kFailure, 6, report->fileSize, {}};
                 }
             }
         },
         "FAILED", 6, "FILE_SHA256_MISMATCH", "整文件SHA256校验失败: fileNo=1", "C3/4/0", 55},
        {"emu-list-refused",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.kind == E_SendKind::TARGET_LIST)
             {
                 replies = {
                     S_DeviceReply::of(ack(send.upgradeNo, E_ProtocolStage::PREPARATION, kFailure, 3))};
             }
         },
         "FAILED", 3, "COMPONENT_INFO_INVALID", "装置拒绝升级目标清单: COMPONENT_INFO_INVALID", "T1", 10},
        {"emu-busy", nullptr, "FAILED", 1, "DEVICE_BUSY", "装置当前不可升级: state=BUSY, reason=DEVICE_BUSY",
         "Q", 10},
        {"emu-prepare-failed",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.isCommand(E_ProtocolCommandType::PREPARE_UPGRADE))
             {
                 replies.back() = S_DeviceReply::of(
                     stageReport(send.upgradeNo, E_ProtocolStage::PREPARATION, kFailure, 80, 16));
             }
         },
         "FAILED", 16, "STORAGE_NOT_ENOUGH", "装置阶段执行失败: STORAGE_NOT_ENOUGH", "C1/2/0", 18},
        {"emu-flash-refused",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.isCommand(E_ProtocolCommandType::START_FLASH))
             {
                 replies = {S_DeviceReply::of(ack(send.upgradeNo, E_ProtocolStage::FLASHING, kFailure, 7))};
             }
         },
         "FAILED", 7, "FLASH_FAILED", "装置拒绝命令: FLASH_FAILED", "C4/5/0", 65},
        {"emu-self-reset",
         [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.isCommand(E_ProtocolCommandType::PREPARE_UPGRADE))
             {
                 replies.back() =
                     S_DeviceReply::of(stageReport(send.upgradeNo, E_ProtocolStage::PREPARATION, 3, 0, 9));
             }
         },
         "ABORTED", 9, "UPGRADE_CONTEXT_RESET", "装置升级上下文已复位: UPGRADE_CONTEXT_RESET", "C1/2/0", 15},
    };
    CSnapshotBuilder builder(m_directory, 72);
    builder.addFile(1, "emu.bin", firmwareBytes(4000, 72), 1024, "V2");
    for (const auto& c : cases)
    {
        auto& device = m_site.addDevice(c.nodeId, test::emuComponents());
        device.setHook(c.hook);
        builder.addTarget(c.nodeId, "EMU", 1, "V1", 1);
    }
    m_site.device("emu-busy").setUpgradeState("BUSY", 1);
    m_site.addDevice("emu-fine", test::emuComponents());
    builder.addTarget("emu-fine", "EMU", 1, "V1", 1);
    startTask(builder.build());
    const json final = waitForEnd(72);

    EXPECT_EQ(final.at("status"), "FAILED");
    EXPECT_EQ(final.at("failedCount"), 8);
    EXPECT_EQ(final.at("abortedCount"), 1);
    EXPECT_EQ(final.at("successCount"), 1);
    EXPECT_EQ(deviceIn(final, "emu-fine").at("result"), "SUCCESS");
    for (const auto& c : cases)
    {
        const std::string stateText = c.result == "ABORTED" ? "已终止" : "执行失败";
        expectDeviceOutcome(final, c.nodeId, c.result, stateText, c.reasonCode, c.reasonName, c.error);
        EXPECT_EQ(deviceIn(final, c.nodeId).at("workflowProgress"), c.workflowProgress) << c.nodeId;
        EXPECT_EQ(sendTrace(c.nodeId).back(), c.lastSend) << c.nodeId;
    }
    EXPECT_EQ(deviceIn(final, "emu-prepare-failed").at("stage"), "升级准备");
}

}  // namespace
}  // namespace ota::backend
