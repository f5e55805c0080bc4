// Restart verification: the restart command is taken as accepted by its ACK or by the device
// dropping its connection, and the device must come back reporting the target versions.
#include "upgrade/device_event_builders.h"
#include "upgrade/upgrade_test_fixture.h"

#include <algorithm>
#include <memory>

namespace ota::backend
{
namespace
{

using nlohmann::json;
using test::CSnapshotBuilder;
using test::E_SendKind;
using test::S_DeviceReply;
using test::S_RecordedSend;

using UpgradeRestart = test::CUpgradeExecutionFixture;

TEST_F(UpgradeRestart, AcceptanceReconnectionAndVersionsDecideTheOutcome)
{
    S_UpgradeExecutionOptions options = this->options();
    options.ackTimeoutMs = 600;
    startService(options);
    const auto onRestart = [](std::function<void(const S_RecordedSend&, std::vector<S_DeviceReply>&)> change)
    {
        return [change](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
        {
            if (send.isCommand(E_ProtocolCommandType::RESTART_VERIFY))
            {
                change(send, replies);
            }
        };
    };
    struct S_Case
    {
        std::string nodeId;
        test::DeviceReplyHook hook;
        std::string result;
        std::uint16_t reasonCode;
        std::string reasonName;
        std::string error;
    };
    const std::vector<S_Case> cases = {
        // Restarts at once: the dropped connection stands in for the missing ACK.
        {"emu-no-ack",
         onRestart([](const S_RecordedSend&, auto& replies) { replies.erase(replies.begin()); }), "SUCCESS",
         0, "OK", ""},
        // Applies the versions without dropping the connection.
        {"emu-no-drop", onRestart([](const S_RecordedSend&, auto& replies) { replies.resize(1); }), "SUCCESS",
         0, "OK", ""},
        // Comes back with the old version and keeps it.
        {"emu-old", nullptr, "FAILED", 8, "VERSION_VERIFY_FAILED",
         "重启后版本不匹配: EMU#1, expected=V2, actual=V1"},
        {"emu-gone", onRestart([](const S_RecordedSend&, auto& replies) { replies.resize(2); }), "FAILED", 17,
         "TIMEOUT", "等待装置重启后重新连接超时"},
        {"emu-silent", onRestart([](const S_RecordedSend&, auto& replies) { replies.clear(); }), "FAILED", 17,
         "TIMEOUT", "等待重启命令确认或重启断线超时"},
        // Reports the old version once, then the new one: the second status query settles it.
        {"emu-late-version",
         [seen = std::make_shared<int>(0)](const S_RecordedSend& send, std::vector<S_DeviceReply>& replies)
         {
             if (send.isCommand(E_ProtocolCommandType::RESTART_VERIFY))
             {
                 *seen = 1;
                 replies.resize(1);
             }
             else if (send.kind == E_SendKind::STATUS_QUERY && *seen == 1)
             {
                 *seen = 2;
                 replies.front().event.get<S_ProtocolEventDeviceStatus>()->components.front().version = "V1";
             }
         },
         "SUCCESS", 0, "OK", ""},
        // Its status queries after the restart cannot be sent.
        {"emu-query-fails",
         onRestart([this](const S_RecordedSend& send, auto&)
                   { m_transport.injectSendFailure(send.nodeId, E_SendKind::STATUS_QUERY, "link down"); }),
         "FAILED", 17, "TIMEOUT", "重启验证状态查询未成功: link down"},
        {"emu-verify-failed",
         onRestart(
             [](const S_RecordedSend& send, auto& replies)
             {
                 replies = {replies.front(),
                            S_DeviceReply::of(test::stageReport(
                                send.upgradeNo, E_ProtocolStage::RESTART_VERIFICATION, 2, 0, 8))};
             }),
         "FAILED", 8, "VERSION_VERIFY_FAILED", "装置重启验证失败: VERSION_VERIFY_FAILED"},
    };
    CSnapshotBuilder builder(m_directory, 90);
    builder.addFile(1, "emu.bin", test::firmwareBytes(600, 90), 256, "V2");
    for (const auto& c : cases)
    {
        m_site.addDevice(c.nodeId, test::emuComponents("V1")).setHook(c.hook);
        builder.addTarget(c.nodeId, "EMU", 1, "V1", 1);
    }
    m_site.device("emu-old").setApplyTargetsOnRestart(false);
    startTask(builder.build());
    const json final = waitForEnd(90);

    EXPECT_EQ(final.at("status"), "FAILED");
    for (const auto& c : cases)
    {
        const json& device = deviceIn(final, c.nodeId);
        EXPECT_EQ(device.at("stage"), "重启验证") << c.nodeId;
        if (c.result == "SUCCESS")
        {
            EXPECT_EQ(device.at("result"), "SUCCESS") << c.nodeId << " " << device.at("error");
            EXPECT_EQ(device.at("targets").at(0).at("currentVersion"), "V2") << c.nodeId;
        }
        else
        {
            expectDeviceOutcome(final, c.nodeId, c.result, "执行失败", c.reasonCode, c.reasonName, c.error);
            EXPECT_EQ(device.at("workflowProgress"), 90) << c.nodeId;
        }
        // The restart command is sent once; its verification asks for the status at most twice.
        const auto trace = sendTrace(c.nodeId);
        const auto restart = std::find(trace.begin(), trace.end(), "C5/6/0");
        ASSERT_NE(restart, trace.end()) << c.nodeId;
        const std::vector<std::string> after(restart + 1, trace.end());
        EXPECT_LE(after.size(), 2u) << c.nodeId;
        for (const auto& send : after)
        {
            EXPECT_EQ(send, c.nodeId == "emu-query-fails" ? "!Q" : "Q") << c.nodeId;
        }
        if (c.nodeId == "emu-late-version")
        {
            EXPECT_EQ(after.size(), 2u);
        }
        if (c.nodeId == "emu-old" || c.nodeId == "emu-query-fails")
        {
            EXPECT_GE(after.size(), 1u);
        }
        if (c.nodeId == "emu-gone" || c.nodeId == "emu-silent")
        {
            EXPECT_TRUE(after.empty()) << c.nodeId;
        }
    }
}

}  // namespace
}  // namespace ota::backend
