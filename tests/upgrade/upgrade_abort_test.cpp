// Abort requests, the device context reset they cause, and stopping the service during a task.
#include "support/wait_until.h"
#include "upgrade/device_event_builders.h"
#include "upgrade/upgrade_test_fixture.h"

#include <atomic>
#include <tuple>

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

using UpgradeAbort = test::CUpgradeExecutionFixture;

struct S_AbortAnswer
{
    bool accepted = false;
    std::string error;
    json response;
};

S_AbortAnswer requestAbort(CUpgradeExecutionService& service, std::uint32_t upgradeNo)
{
    S_AbortAnswer answer;
    std::string response;
    answer.accepted = service.requestAbort(upgradeNo, response, answer.error);
    answer.response = json::parse(response);
    return answer;
}

std::function<bool(const S_RecordedSend&)> chunkNo(std::uint16_t number)
{
    return [number](const S_RecordedSend& send)
    { return send.kind == E_SendKind::FILE_CHUNK && send.fileChunk.chunkNo == number; };
}

void holdFlashingResult(test::CScriptedDevice& device)
{
    device.setHook(
        [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
        {
            if (send.isCommand(E_ProtocolCommandType::START_FLASH))
            {
                replies.resize(1);  // the ACK; the stage report comes from the test
            }
        });
}

TEST_F(UpgradeAbort, AnswersInTheirOrderAndResetsTheDeviceContextDuringTransfer)
{
    startService(options(1));
    m_site.addDevice("emu-transfer", test::emuComponents());
    m_site.addDevice("emu-queued", test::emuComponents());
    const std::string inactive = "No upgrade task is active";
    auto answer = requestAbort(m_service, 5);
    EXPECT_FALSE(answer.accepted);
    EXPECT_EQ(answer.error, inactive);
    EXPECT_EQ(answer.response,
              json({{"status", "ABORT_REJECTED"}, {"upgradeNo", 5}, {"reason", "NO_ACTIVE_UPGRADE"}}));

    m_transport.holdSends(chunkNo(1));
    CSnapshotBuilder builder(m_directory, 80);
    builder.addFile(1, "emu.bin", firmwareBytes(4000, 80), 1024, "V2");
    builder.addTarget("emu-transfer", "EMU", 1, "V1", 1).addTarget("emu-queued", "EMU", 1, "V1", 1);
    startTask(builder.build());
    ASSERT_TRUE(m_transport.waitForHeldSends(1, 30s));

    const json mismatch = {
        {"status", "ABORT_REJECTED"}, {"activeUpgradeNo", 80}, {"reason", "UPGRADE_NO_MISMATCH"}};
    for (const std::uint32_t wrong : {0u, 81u})
    {
        answer = requestAbort(m_service, wrong);
        EXPECT_FALSE(answer.accepted);
        EXPECT_EQ(answer.error, "Upgrade number does not match the active task");
        json expected = mismatch;
        expected["upgradeNo"] = wrong;
        EXPECT_EQ(answer.response, expected);
    }
    answer = requestAbort(m_service, 80);
    EXPECT_TRUE(answer.accepted) << answer.error;
    EXPECT_EQ(answer.error, "");
    EXPECT_EQ(answer.response,
              json({{"status", "ABORT_ACCEPTED"}, {"upgradeNo", 80}, {"abortableDeviceCount", 2}}));
    answer = requestAbort(m_service, 80);
    EXPECT_FALSE(answer.accepted);
    EXPECT_EQ(answer.error, "Abort has already been requested");
    EXPECT_EQ(answer.response,
              json({{"status", "ABORT_REJECTED"}, {"upgradeNo", 80}, {"reason", "ABORT_ALREADY_REQUESTED"}}));
    answer = requestAbort(m_service, 81);
    EXPECT_EQ(answer.response.at("reason"), "UPGRADE_NO_MISMATCH");
    EXPECT_EQ(currentState().at("status"), "ABORTING");
    EXPECT_EQ(currentState().at("active"), true);

    m_transport.releaseHeldSends();
    const json final = waitForEnd(80);
    EXPECT_EQ(final.at("status"), "ABORTED");
    EXPECT_EQ(final.at("abortedCount"), 2);
    expectDeviceOutcome(final, "emu-transfer", "ABORTED", "已终止", 9, "UPGRADE_CONTEXT_RESET",
                        "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
    const auto trace = sendTrace("emu-transfer");
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[trace.size() - 2], "K1.1");
    EXPECT_EQ(trace.back(), "C6/3/0");  // RESET_CONTEXT for FILE_TRANSFER
    // A device whose workflow begins after the abort ends at once, without a frame.
    expectDeviceOutcome(final, "emu-queued", "ABORTED", "已终止", 0, "UPGRADE_CONTEXT_RESET", "用户终止升级");
    EXPECT_TRUE(m_transport.sendsTo("emu-queued").empty());
    EXPECT_TRUE(
        m_recorder.waitFor([](const json& document) { return document.at("status") == "ABORTING"; }, 0ms));

    answer = requestAbort(m_service, 80);
    EXPECT_EQ(answer.error, inactive);
    EXPECT_EQ(answer.response.at("reason"), "NO_ACTIVE_UPGRADE");

    // The abort belonged to that task: the next one runs to its end.
    CSnapshotBuilder next(m_directory, 86);
    next.addFile(1, "emu.bin", firmwareBytes(400, 86), 256, "V2");
    next.addTarget("emu-transfer", "EMU", 1, "V1", 1).addTarget("emu-queued", "EMU", 1, "V1", 1);
    startTask(next.build());
    const json again = waitForEnd(86);
    EXPECT_EQ(again.at("status"), "SUCCESS");
    EXPECT_EQ(again.at("successCount"), 2);
}

// A device that has not received its target list has no context to reset: it ends locally.
// Every other abortable wait ends its question and resets the context of the device's stage.
TEST_F(UpgradeAbort, EndsLocallyWithoutContextAndResetsTheStageFromEveryOtherWait)
{
    startService(options(8));
    const std::vector<
        std::tuple<std::string, std::function<bool(const S_RecordedSend&)>, std::vector<std::string>>>
        cases = {
            {"emu-syncing",
             [](const S_RecordedSend& send) { return send.kind == E_SendKind::STATUS_QUERY; },
             {"Q"}},
            {"emu-listed",
             [](const S_RecordedSend& send) { return send.kind == E_SendKind::TARGET_LIST; },
             {"Q", "T1", "C6/2/0"}},
            {"emu-preparing",
             [](const S_RecordedSend& send)
             { return send.isCommand(E_ProtocolCommandType::PREPARE_UPGRADE); },
             {"Q", "T1", "C1/2/0", "C6/2/0"}},
            {"emu-declaring",
             [](const S_RecordedSend& send) { return send.kind == E_SendKind::FILE_INFO; },
             {"Q", "T1", "C1/2/0", "C2/3/1", "I1", "C6/3/0"}},
            {"emu-finishing",
             [](const S_RecordedSend& send)
             { return send.isCommand(E_ProtocolCommandType::FINISH_TRANSFER); },
             {"Q", "T1", "C1/2/0", "C2/3/1", "I1", "K1.0", "C3/4/0", "C6/4/0"}},
        };
    // These two are not held: they wait for a stage result or a verify report that never comes.
    const std::vector<std::tuple<std::string, E_ProtocolCommandType, std::vector<std::string>>> waiting = {
        {"emu-preparing-long", E_ProtocolCommandType::PREPARE_UPGRADE, {"Q", "T1", "C1/2/0", "C6/2/0"}},
        {"emu-verifying-long",
         E_ProtocolCommandType::FINISH_TRANSFER,
         {"Q", "T1", "C1/2/0", "C2/3/1", "I1", "K1.0", "C3/4/0", "C6/4/0"}},
    };
    CSnapshotBuilder builder(m_directory, 79);
    builder.addFile(1, "emu.bin", firmwareBytes(200, 79), 256, "V2");
    for (const auto& [nodeId, held, trace] : cases)
    {
        m_site.addDevice(nodeId, test::emuComponents());
        builder.addTarget(nodeId, "EMU", 1, "V1", 1);
    }
    for (const auto& [nodeId, type, trace] : waiting)
    {
        m_site.addDevice(nodeId, test::emuComponents())
            .setHook(
                [type = type](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
                {
                    if (send.isCommand(type))
                    {
                        replies.resize(1);  // the ACK only
                    }
                });
        builder.addTarget(nodeId, "EMU", 1, "V1", 1);
    }
    m_transport.holdSends(
        [&cases](const S_RecordedSend& send)
        {
            for (const auto& [nodeId, held, trace] : cases)
            {
                if (send.nodeId == nodeId && held(send))
                {
                    return true;
                }
            }
            return false;
        });
    startTask(builder.build());
    ASSERT_TRUE(m_transport.waitForHeldSends(cases.size(), 30s));
    for (const auto& [nodeId, type, trace] : waiting)
    {
        ASSERT_TRUE(m_transport.waitForSend(
            [&](const S_RecordedSend& send) { return send.nodeId == nodeId && send.isCommand(type); }, 30s));
    }
    const auto answer = requestAbort(m_service, 79);
    EXPECT_EQ(answer.response.value("abortableDeviceCount", -1), 7) << answer.error;
    m_transport.releaseHeldSends();
    const json final = waitForEnd(79);

    EXPECT_EQ(final.at("status"), "ABORTED");
    for (const auto& [nodeId, held, trace] : cases)
    {
        if (nodeId == "emu-syncing")
        {
            expectDeviceOutcome(final, nodeId, "ABORTED", "已终止", 0, "UPGRADE_CONTEXT_RESET",
                                "用户终止升级");
        }
        else
        {
            expectDeviceOutcome(final, nodeId, "ABORTED", "已终止", 9, "UPGRADE_CONTEXT_RESET",
                                "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
        }
        EXPECT_EQ(sendTrace(nodeId), trace) << nodeId;
    }
    for (const auto& [nodeId, type, trace] : waiting)
    {
        expectDeviceOutcome(final, nodeId, "ABORTED", "已终止", 9, "UPGRADE_CONTEXT_RESET",
                            "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
        EXPECT_EQ(sendTrace(nodeId), trace) << nodeId;
    }
}

// One device waits for its connection, one is flashing, one has finished: only the waiting one is
// abortable; it ends without a frame while the flashing one completes.
TEST_F(UpgradeAbort, SparesDevicesPastTheFlashPoint)
{
    S_UpgradeExecutionOptions options = this->options(2);
    options.connectTimeoutMs = 20000;
    options.flashTimeoutMs = 20000;
    startService(options);
    holdFlashingResult(m_site.addDevice("pcs-flash", test::pcsComponents()));
    m_site.addDevice("emu-held", test::emuComponents());
    m_site.addDevice("emu-late", test::emuComponents());
    m_transport.holdSends([](const S_RecordedSend& send)
                          { return send.kind == E_SendKind::STATUS_QUERY && send.nodeId == "emu-held"; });
    CSnapshotBuilder builder(m_directory, 81);
    builder.addFile(1, "emu.bin", firmwareBytes(300, 81), 128, "V2");
    builder.addFile(2, "dsp.bin", firmwareBytes(300, 82), 128, "P2");
    builder.addTarget("pcs-flash", "PCS_DSP1", 1, "P1", 2)
        .addTarget("emu-held", "EMU", 1, "V1", 1)
        .addTarget("emu-late", "EMU", 1, "V1", 1);
    startTask(builder.build());
    ASSERT_TRUE(m_transport.waitForHeldSends(1, 30s));

    // emu-late was connected when the task started and drops now: the next free worker takes it
    // and waits for its connection inside the workflow.
    ASSERT_TRUE(m_transport.deliverConnectionStateAndWait("emu-late", E_DeviceConnectionState::DISCONNECTED));
    ASSERT_TRUE(waitForState([](const json& state)
                             { return deviceIn(state, "pcs-flash").at("abortAllowed") == false; }));
    m_transport.releaseHeldSends();
    ASSERT_TRUE(waitForState([](const json& state)
                             { return deviceIn(state, "emu-late").at("state") == "等待装置连接"; }));

    const auto answer = requestAbort(m_service, 81);
    EXPECT_TRUE(answer.accepted) << answer.error;
    EXPECT_EQ(answer.response,
              json({{"status", "ABORT_ACCEPTED"}, {"upgradeNo", 81}, {"abortableDeviceCount", 1}}));
    ASSERT_TRUE(
        waitForState([](const json& state) { return deviceIn(state, "emu-late").at("completed") == true; }));
    ASSERT_TRUE(m_transport.deliverEventAndWait("pcs-flash",
                                                test::stageReport(81, E_ProtocolStage::FLASHING, 1, 100)));
    const json final = waitForEnd(81);

    EXPECT_EQ(final.at("status"), "ABORTED");
    EXPECT_EQ(final.at("successCount"), 2);
    EXPECT_EQ(final.at("abortedCount"), 1);
    EXPECT_EQ(deviceIn(final, "pcs-flash").at("result"), "SUCCESS");
    EXPECT_EQ(deviceIn(final, "emu-held").at("result"), "SUCCESS");
    expectDeviceOutcome(final, "emu-late", "ABORTED", "已终止", 0, "UPGRADE_CONTEXT_RESET", "用户终止升级");
    EXPECT_TRUE(m_transport.sendsTo("emu-late").empty());
}

TEST_F(UpgradeAbort, IsRefusedWhenEveryRemainingDeviceIsPastTheFlashPoint)
{
    S_UpgradeExecutionOptions options = this->options();
    options.flashTimeoutMs = 20000;
    startService(options);
    holdFlashingResult(m_site.addDevice("emu-flash", test::emuComponents()));
    CSnapshotBuilder builder(m_directory, 82);
    builder.addFile(1, "emu.bin", firmwareBytes(300, 82), 128, "V2");
    builder.addTarget("emu-flash", "EMU", 1, "V1", 1);
    startTask(builder.build());
    ASSERT_TRUE(waitForState([](const json& state)
                             { return deviceIn(state, "emu-flash").at("abortAllowed") == false; }));

    const auto answer = requestAbort(m_service, 82);
    EXPECT_FALSE(answer.accepted);
    EXPECT_EQ(answer.error, "All remaining devices have entered the non-interruptible stage");
    EXPECT_EQ(answer.response, json({{"status", "ABORT_REJECTED"},
                                     {"upgradeNo", 82},
                                     {"reason", "ALL_REMAINING_DEVICES_NON_INTERRUPTIBLE"}}));
    EXPECT_EQ(currentState().at("status"), "RUNNING");
    ASSERT_TRUE(m_transport.deliverEventAndWait("emu-flash",
                                                test::stageReport(82, E_ProtocolStage::FLASHING, 1, 100)));
    const json final = waitForEnd(82);
    EXPECT_EQ(final.at("status"), "SUCCESS");
    EXPECT_EQ(deviceIn(final, "emu-flash").at("result"), "SUCCESS");
}

TEST_F(UpgradeAbort, ContextResetThatFailsEndsTheDeviceFailed)
{
    constexpr int kTimeoutMs = 500;
    S_UpgradeExecutionOptions options = this->options();
    options.ackTimeoutMs = kTimeoutMs;
    options.stageTimeoutMs = kTimeoutMs;
    startService(options);
    const auto resetAnswer =
        [](std::function<void(const S_RecordedSend&, std::vector<S_DeviceReply>&)> change)
    {
        return [change](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
        {
            if (send.isCommand(E_ProtocolCommandType::RESET_CONTEXT))
            {
                change(send, replies);
            }
        };
    };
    m_site.addDevice("emu-ack-only", test::emuComponents())
        .setHook(resetAnswer([](const S_RecordedSend&, std::vector<S_DeviceReply>& replies)
                             { replies.resize(1); }));
    m_site.addDevice("emu-silent", test::emuComponents())
        .setHook(
            resetAnswer([](const S_RecordedSend&, std::vector<S_DeviceReply>& replies) { replies.clear(); }));
    m_site.addDevice("emu-refuses", test::emuComponents())
        .setHook(resetAnswer(
            [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies) {
                replies = {
                    S_DeviceReply::of(test::ack(send.upgradeNo, E_ProtocolStage::FILE_TRANSFER, 2, 19))};
            }));
    m_site.addDevice("emu-resets", test::emuComponents());
    // The first chunk, which each worker sends itself: a later one goes out on the transport's one
    // delivery thread, and holding it there would hold the other devices' answers too.
    m_transport.holdSends(chunkNo(0));
    CSnapshotBuilder builder(m_directory, 83);
    builder.addFile(1, "emu.bin", firmwareBytes(3000, 83), 1024, "V2");
    for (const char* nodeId : {"emu-ack-only", "emu-silent", "emu-refuses", "emu-resets"})
    {
        builder.addTarget(nodeId, "EMU", 1, "V1", 1);
    }
    startTask(builder.build());
    ASSERT_TRUE(m_transport.waitForHeldSends(4, 30s));
    const auto answer = requestAbort(m_service, 83);
    EXPECT_EQ(answer.response.value("abortableDeviceCount", -1), 4);
    m_transport.releaseHeldSends();
    const json final = waitForEnd(83);

    EXPECT_EQ(final.at("status"), "FAILED");
    expectDeviceOutcome(final, "emu-ack-only", "FAILED", "执行失败", 17, "TIMEOUT",
                        "等待装置升级上下文复位结果超时");
    expectDeviceOutcome(final, "emu-silent", "FAILED", "执行失败", 17, "TIMEOUT",
                        "等待命令确认超时: 文件传输");
    expectDeviceOutcome(final, "emu-refuses", "FAILED", "执行失败", 19, "RESET_NOT_ALLOWED",
                        "装置拒绝命令: RESET_NOT_ALLOWED");
    expectDeviceOutcome(final, "emu-resets", "ABORTED", "已终止", 9, "UPGRADE_CONTEXT_RESET",
                        "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
    for (const char* nodeId : {"emu-ack-only", "emu-silent", "emu-refuses", "emu-resets"})
    {
        EXPECT_EQ(sendTrace(nodeId).back(), "C6/3/0") << nodeId;
    }
    // The reset result is awaited for the stage timeout after the reset was acknowledged.
    const auto resetSentAt = m_transport.sendsTo("emu-ack-only").back().sentAtUnixMs;
    EXPECT_GE(deviceIn(final, "emu-ack-only").at("finishedAt").get<std::int64_t>() - resetSentAt,
              kTimeoutMs - 1);
}

TEST_F(UpgradeAbort, StopEndsTheTaskStoppedAndTheServiceStartsAgain)
{
    S_UpgradeExecutionOptions options = this->options(1);
    options.stageTimeoutMs = 20000;
    startService(options);
    m_site.addDevice("emu-mute", test::emuComponents())
        .setHook(
            [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
            {
                if (chunkNo(1)(send))
                {
                    replies.clear();
                }
            });
    m_site.addDevice("emu-waiting", test::emuComponents());
    const auto snapshot = [&](std::uint32_t upgradeNo)
    {
        CSnapshotBuilder builder(m_directory, upgradeNo);
        builder.addFile(1, "emu.bin", firmwareBytes(3000, upgradeNo), 1024, "V2");
        builder.addTarget("emu-mute", "EMU", 1, "V1", 1).addTarget("emu-waiting", "EMU", 1, "V1", 1);
        return builder.build();
    };
    startTask(snapshot(84));
    ASSERT_TRUE(m_transport.waitForSend(chunkNo(1), 30s));

    m_service.stop();
    EXPECT_FALSE(m_service.isStarted());
    EXPECT_FALSE(m_service.isTaskActive());
    const auto documents = m_recorder.documents();
    ASSERT_FALSE(documents.empty());
    const json& last = documents.back();
    EXPECT_EQ(last.at("upgradeNo"), 84);
    EXPECT_EQ(last.at("status"), "STOPPED");
    EXPECT_EQ(last.at("active"), false);
    expectDeviceOutcome(last, "emu-mute", "FAILED", "执行失败", 0, "INTERNAL_ERROR",
                        "等待文件分片确认时执行服务停止");
    expectDeviceOutcome(last, "emu-waiting", "ABORTED", "已终止", 0, "UPGRADE_CONTEXT_RESET", "用户终止升级");
    EXPECT_TRUE(m_transport.sendsTo("emu-waiting").empty());
    std::string state;
    std::string error;
    EXPECT_FALSE(m_service.getCurrentState(state, error));
    EXPECT_EQ(error, "No upgrade execution state is available");

    m_site.device("emu-mute").setHook(nullptr);
    startService(options);
    startTask(snapshot(85));
    const json final = waitForEnd(85);
    EXPECT_EQ(final.at("status"), "SUCCESS");
    EXPECT_EQ(final.at("successCount"), 2);
}

// Called from inside an observer call, stop cannot join the thread it runs on: it only raises the
// stop flags. The task still ends "STOPPED" and stays readable until the real stop.
TEST_F(UpgradeAbort, StopCalledByTheObserverOnlyRaisesTheStopFlags)
{
    S_UpgradeExecutionOptions options = this->options();
    options.stageTimeoutMs = 20000;
    startService(options);
    std::atomic<bool> stopCalled{false};
    m_service.setStateObserver(
        [this, &stopCalled](const std::string& text)
        {
            const json document = json::parse(text);
            if (!stopCalled && document.at("devices").at(0).at("state") == "发送文件分片")
            {
                stopCalled = true;
                m_service.stop();
            }
        });
    m_site.addDevice("emu-mute", test::emuComponents())
        .setHook(
            [](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
            {
                if (chunkNo(1)(send))
                {
                    replies.clear();
                }
            });
    CSnapshotBuilder builder(m_directory, 87);
    builder.addFile(1, "emu.bin", firmwareBytes(3000, 87), 1024, "V2");
    builder.addTarget("emu-mute", "EMU", 1, "V1", 1);
    startTask(builder.build());

    ASSERT_TRUE(test::waitUntil([&] { return stopCalled.load(); }, 30s));
    ASSERT_TRUE(test::waitUntil([&] { return !m_service.isTaskActive(); }, 30s));
    EXPECT_TRUE(m_service.isStarted());
    const json state = currentState();
    EXPECT_EQ(state.at("status"), "STOPPED");
    expectDeviceOutcome(state, "emu-mute", "FAILED", "执行失败", 0, "INTERNAL_ERROR",
                        "等待文件分片确认时执行服务停止");
    m_service.stop();
    EXPECT_FALSE(m_service.isStarted());
}

}  // namespace
}  // namespace ota::backend
