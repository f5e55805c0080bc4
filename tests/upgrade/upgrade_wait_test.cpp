// The device waits: what each one gives up with, how long it waits, what progress does to it, and
// the wait for a connection that dropped before the device's turn.
#include "upgrade/device_event_builders.h"
#include "upgrade/upgrade_test_fixture.h"

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using test::CSnapshotBuilder;
using test::E_SendKind;
using test::firmwareBytes;
using test::S_DeviceReply;
using test::S_RecordedSend;

using UpgradeWait = test::CUpgradeExecutionFixture;

// Every answer a device may leave out, and the text its wait ends with.
TEST_F(UpgradeWait, EachUnansweredQuestionTimesOutWithItsOwnText)
{
    constexpr int kTimeoutMs = 400;
    S_UpgradeExecutionOptions options = this->options(16);
    options.ackTimeoutMs = kTimeoutMs;
    options.stageTimeoutMs = kTimeoutMs;
    options.flashTimeoutMs = kTimeoutMs;
    startService(options);
    using Match = std::function<bool(const S_RecordedSend&)>;
    using Edit = std::function<void(std::vector<S_DeviceReply>&)>;
    const auto command = [](E_ProtocolCommandType type)
    { return Match([type](const S_RecordedSend& send) { return send.isCommand(type); }); };
    const auto kind = [](E_SendKind wanted)
    { return Match([wanted](const S_RecordedSend& send) { return send.kind == wanted; }); };
    const Edit none = [](auto& replies) { replies.clear(); };
    const Edit ackOnly = [](auto& replies) { replies.resize(1); };
    const Edit noStageReport = [](auto& replies) { replies.pop_back(); };
    struct S_Case
    {
        std::string nodeId;
        Match match;
        Edit edit;
        std::string error;
        std::string lastSend;
    };
    const std::vector<S_Case> cases = {
        {"emu-no-status", kind(E_SendKind::STATUS_QUERY), none, "等待装置状态同步超时", "Q"},
        {"emu-no-list-ack", kind(E_SendKind::TARGET_LIST), none, "等待升级目标清单确认超时", "T1"},
        {"emu-no-prepare-ack", command(E_ProtocolCommandType::PREPARE_UPGRADE), none,
         "等待命令确认超时: 升级准备", "C1/2/0"},
        {"emu-no-prepared", command(E_ProtocolCommandType::PREPARE_UPGRADE), ackOnly,
         "等待阶段结果超时: 升级准备", "C1/2/0"},
        {"emu-no-transfer-ack", command(E_ProtocolCommandType::START_TRANSFER), none,
         "等待命令确认超时: 文件传输", "C2/3/1"},
        {"emu-no-declared", kind(E_SendKind::FILE_INFO), none, "等待命令确认超时: 文件传输", "I1"},
        {"emu-no-chunk-report",
         [](const S_RecordedSend& send)
         { return send.kind == E_SendKind::FILE_CHUNK && send.fileChunk.chunkNo == 1; },
         none, "等待文件分片确认连续无响应超时", "K1.1"},
        {"emu-no-verify", command(E_ProtocolCommandType::FINISH_TRANSFER), ackOnly, "等待整文件校验结果超时",
         "C3/4/0"},
        {"emu-no-received", command(E_ProtocolCommandType::FINISH_TRANSFER), noStageReport,
         "等待阶段结果超时: 文件接收确认", "C3/4/0"},
        {"emu-no-flash-ack", command(E_ProtocolCommandType::START_FLASH), none, "等待命令确认超时: 固件烧写",
         "C4/5/0"},
        {"emu-no-flashed", command(E_ProtocolCommandType::START_FLASH), ackOnly, "等待阶段结果超时: 固件烧写",
         "C4/5/0"},
    };
    CSnapshotBuilder builder(m_directory, 74);
    builder.addFile(1, "emu.bin", firmwareBytes(1000, 74), 512, "V2");
    for (const auto& c : cases)
    {
        m_site.addDevice(c.nodeId, test::emuComponents())
            .setHook(
                [match = c.match, edit = c.edit](const S_RecordedSend& send,
                                                 std::vector<S_DeviceReply>& replies)
                {
                    if (match(send))
                    {
                        edit(replies);
                    }
                });
        builder.addTarget(c.nodeId, "EMU", 1, "V1", 1);
    }
    startTask(builder.build());
    const json final = waitForEnd(74);

    EXPECT_EQ(final.at("failedCount"), cases.size());
    for (const auto& c : cases)
    {
        expectDeviceOutcome(final, c.nodeId, "FAILED", "执行失败", 17, "TIMEOUT", c.error);
        const auto sends = m_transport.sendsTo(c.nodeId);
        ASSERT_FALSE(sends.empty()) << c.nodeId;
        EXPECT_EQ(test::describeSend(sends.back()), c.lastSend) << c.nodeId;
        // Nobody gives up before its timeout has passed since the unanswered question.
        EXPECT_GE(deviceIn(final, c.nodeId).at("finishedAt").get<std::int64_t>() - sends.back().sentAtUnixMs,
                  kTimeoutMs - 1)
            << c.nodeId;
    }
}

// A device that was connected when the task started but has dropped when its turn comes is still
// taken, waits for its connection inside the workflow and goes on once it is back.
TEST_F(UpgradeWait, DeviceThatDroppedBeforeItsTurnGoesOnOnceReconnected)
{
    S_UpgradeExecutionOptions options = this->options(1);
    options.connectTimeoutMs = 20000;
    startService(options);
    m_site.addDevice("emu-first", test::emuComponents());
    m_site.addDevice("emu-second", test::emuComponents());
    m_transport.holdSends([](const S_RecordedSend& send) { return send.nodeId == "emu-first"; });
    CSnapshotBuilder builder(m_directory, 75);
    builder.addFile(1, "emu.bin", firmwareBytes(700, 75), 256, "V2");
    builder.addTarget("emu-first", "EMU", 1, "V1", 1).addTarget("emu-second", "EMU", 1, "V1", 1);
    startTask(builder.build());
    ASSERT_TRUE(m_transport.waitForHeldSends(1, 30s));
    ASSERT_TRUE(
        m_transport.deliverConnectionStateAndWait("emu-second", E_DeviceConnectionState::DISCONNECTED));
    m_transport.releaseHeldSends();

    ASSERT_TRUE(waitForState(
        [](const json& state)
        {
            const json& device = deviceIn(state, "emu-second");
            return device.at("state") == "等待装置连接" && device.at("connectionState") == "DISCONNECTED";
        }));
    EXPECT_TRUE(m_transport.sendsTo("emu-second").empty());
    ASSERT_TRUE(m_transport.deliverConnectionStateAndWait("emu-second", E_DeviceConnectionState::CONNECTED));
    const json final = waitForEnd(75);
    EXPECT_EQ(final.at("status"), "SUCCESS");
    EXPECT_EQ(deviceIn(final, "emu-second").at("connectionState"), "CONNECTED");
    EXPECT_EQ(sendTrace("emu-second").front(), "Q");
}

// Progress of the awaited stage moves the inactivity deadline, but never beyond four times the
// timeout from the start of the wait.
TEST_F(UpgradeWait, ProgressKeepsAStageWaitAliveUpToFourTimesItsTimeout)
{
    constexpr int kStageTimeoutMs = 300;
    S_UpgradeExecutionOptions options = this->options();
    options.stageTimeoutMs = kStageTimeoutMs;
    startService(options);
    m_site.addDevice("emu-slow", test::emuComponents())
        .setHook(
            [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
            {
                if (send.isCommand(E_ProtocolCommandType::PREPARE_UPGRADE))
                {
                    replies.resize(1);  // the ACK, never the stage report
                    for (int i = 1; i <= 40; ++i)
                    {
                        replies.push_back(S_DeviceReply::of(
                            test::progress(send.upgradeNo, E_ProtocolStage::PREPARATION, "EMU", 1,
                                           static_cast<std::uint8_t>(2 * i), "preparing"),
                            std::chrono::milliseconds(i * kStageTimeoutMs / 5)));
                    }
                }
            });
    CSnapshotBuilder builder(m_directory, 73);
    builder.addFile(1, "emu.bin", firmwareBytes(100, 73), 64, "V2");
    builder.addTarget("emu-slow", "EMU", 1, "V1", 1);
    startTask(builder.build());
    const json final = waitForEnd(73);

    expectDeviceOutcome(final, "emu-slow", "FAILED", "执行失败", 17, "TIMEOUT", "等待阶段结果超时: 升级准备");
    S_RecordedSend prepare;
    ASSERT_TRUE(m_transport.waitForSend([](const S_RecordedSend& send)
                                        { return send.isCommand(E_ProtocolCommandType::PREPARE_UPGRADE); },
                                        0ms, &prepare));
    const auto waited =
        deviceIn(final, "emu-slow").at("finishedAt").get<std::int64_t>() - prepare.sentAtUnixMs;
    EXPECT_GE(waited, 2 * kStageTimeoutMs) << "progress did not extend the stage wait";
    EXPECT_LT(waited, 8 * kStageTimeoutMs) << "progress extended the stage wait beyond its hard cap";
    // Progress shows on the component; it does not move the device's own progress.
    EXPECT_TRUE(m_recorder.waitFor(
        [](const json& document)
        {
            const json& device = document.at("devices").at(0);
            const json& target = device.at("targets").at(0);
            return target.at("state") == "升级准备" && target.at("componentStageProgress").get<int>() >= 2 &&
                   target.at("detailText") == "preparing" && device.at("workflowProgress") == 15;
        },
        0ms));
}

}  // namespace
}  // namespace ota::backend
