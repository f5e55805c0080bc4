// The double the execution service is tested against must itself behave like the protocol: these
// tests drive it by hand, as the service would, so that a failure of the service's tests is not a
// failure of its device.
#include "common/digest.h"
#include "support/wait_until.h"
#include "upgrade/device_event_builders.h"
#include "upgrade/scripted_device.h"

#include <gtest/gtest.h>

#include <future>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using test::CScriptedSite;
using test::CScriptedTransport;
using test::E_SendKind;
using test::S_RecordedSend;

struct S_Heard
{
    std::mutex mutex;
    std::vector<std::string> lines;  // one per delivery, in delivery order
    bool onDeliveryThread = true;
};

std::string describe(const S_ProtocolEvent& event)
{
    std::string text = std::string(event.messageTypeName()) + " " + std::to_string(event.upgradeNo);
    if (const auto* ack = event.ack())
    {
        text += " stage=" + std::to_string(ack->stage) + " result=" + std::to_string(ack->result);
    }
    if (const auto* report = event.stageReport())
    {
        text += " stage=" + std::to_string(report->stage) + " result=" + std::to_string(report->result) +
                " reason=" + report->reasonName();
    }
    if (const auto* report = event.fileChunkReport())
    {
        text += " chunk=" + std::to_string(report->fileNo) + "." + std::to_string(report->chunkNo);
    }
    if (const auto* report = event.fileVerifyReport())
    {
        text += " file=" + std::to_string(report->fileNo) + " size=" + std::to_string(report->fileSize);
    }
    if (const auto* status = event.deviceStatus())
    {
        text += std::string(" ") + status->upgradeStateName();
        for (const auto& component : status->components)
        {
            text += std::string(" ") + component.componentTypeId() + "#" +
                    std::to_string(component.componentIndex) + "=" + component.version;
        }
    }
    return text;
}

void listen(CScriptedTransport& transport, S_Heard& heard)
{
    transport.setProtocolEventCallback(
        [&](const std::string& nodeId, const S_ProtocolEvent& event)
        {
            std::lock_guard lock(heard.mutex);
            heard.onDeliveryThread = heard.onDeliveryThread && transport.onDeliveryThread();
            heard.lines.push_back(nodeId + ": " + describe(event));
        });
    transport.setConnectionStateCallback(
        [&](const std::string& nodeId, E_DeviceConnectionState state)
        {
            std::lock_guard lock(heard.mutex);
            heard.lines.push_back(nodeId + ": " + std::string(deviceConnectionStateName(state)));
        });
}

std::vector<std::string> take(S_Heard& heard)
{
    std::lock_guard lock(heard.mutex);
    return std::exchange(heard.lines, {});
}

S_ProtocolCommand command(E_ProtocolCommandType type, E_ProtocolStage stage, std::uint16_t param = 0)
{
    return {toProtocolByte(type), toProtocolByte(stage), param};
}

TEST(ScriptedDevice, AnswersAWholeUpgradeFromWhatItReceived)
{
    CScriptedTransport transport;
    CScriptedSite site(transport);
    auto& device = site.addDevice("emu", {test::component("EMU", 1, "V1"), test::component("EMU", 2, "V1")});
    transport.setAnswersBeforeSendReturns(true);
    S_Heard heard;
    listen(transport, heard);
    std::string error;
    const std::string data = "0123456789";
    const auto digest = CSha256::digestOf(data.data(), data.size());

    ASSERT_TRUE(transport.sendUpgradeStatusQuery("emu", 7, error)) << error;
    EXPECT_EQ(take(heard), std::vector<std::string>{"emu: MSG_DEVICE_STATUS 7 READY EMU#1=V1 EMU#2=V1"});
    ASSERT_TRUE(transport.sendUpgradeTargetList("emu", 7, {{{1, "emu", 1, false, "V2"}}}, error));
    ASSERT_TRUE(transport.sendUpgradeCommand(
        "emu", 7, command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION), error));
    ASSERT_TRUE(transport.sendUpgradeCommand(
        "emu", 7, command(E_ProtocolCommandType::START_TRANSFER, E_ProtocolStage::FILE_TRANSFER, 1), error));
    EXPECT_EQ(take(heard),
              (std::vector<std::string>{"emu: MSG_DEVICE_ACK 7 stage=2 result=1",
                                        "emu: MSG_DEVICE_ACK 7 stage=2 result=1",
                                        "emu: MSG_DEVICE_STAGE_REPORT 7 stage=2 result=1 reason=OK",
                                        "emu: MSG_DEVICE_ACK 7 stage=3 result=1"}));
    ASSERT_TRUE(transport.sendUpgradeFileInfo("emu", 7, {1, "emu.bin", 10, 4, 3, digest}, error));
    for (std::uint16_t chunkNo = 0; chunkNo < 3; ++chunkNo)
    {
        const std::string part = data.substr(chunkNo * 4u, 4);
        S_ProtocolFileChunk chunk{
            1, chunkNo, 3, crc32Of(part.data(), part.size()), {part.begin(), part.end()}};
        ASSERT_TRUE(transport.sendUpgradeFileChunk("emu", 7, chunk, error));
    }
    EXPECT_EQ(take(heard), (std::vector<std::string>{"emu: MSG_DEVICE_ACK 7 stage=3 result=1",
                                                     "emu: MSG_DEVICE_FILE_CHUNK_REPORT 7 chunk=1.0",
                                                     "emu: MSG_DEVICE_FILE_CHUNK_REPORT 7 chunk=1.1",
                                                     "emu: MSG_DEVICE_FILE_CHUNK_REPORT 7 chunk=1.2"}));
    EXPECT_EQ(device.receivedFile(1), data);

    S_Heard reports;
    transport.setProtocolEventCallback(
        [&](const std::string&, const S_ProtocolEvent& event)
        {
            std::lock_guard lock(reports.mutex);
            if (const auto* report = event.fileVerifyReport())
            {
                EXPECT_EQ(report->sha256, digest);
            }
            if (event.fileChunkReport() != nullptr)
            {
                reports.lines.push_back("unexpected chunk report");
            }
        });
    ASSERT_TRUE(transport.sendUpgradeCommand(
        "emu", 7, command(E_ProtocolCommandType::FINISH_TRANSFER, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION),
        error));
    EXPECT_TRUE(take(reports).empty());
    listen(transport, heard);
    ASSERT_TRUE(transport.sendUpgradeCommand(
        "emu", 7, command(E_ProtocolCommandType::START_FLASH, E_ProtocolStage::FLASHING), error));
    ASSERT_TRUE(transport.sendUpgradeCommand(
        "emu", 7, command(E_ProtocolCommandType::RESTART_VERIFY, E_ProtocolStage::RESTART_VERIFICATION),
        error));
    ASSERT_TRUE(transport.sendUpgradeStatusQuery("emu", 7, error));
    ASSERT_TRUE(transport.sendUpgradeCommand(
        "emu", 7, command(E_ProtocolCommandType::RESET_CONTEXT, E_ProtocolStage::FLASHING), error));
    EXPECT_EQ(
        take(heard),
        (std::vector<std::string>{
            "emu: MSG_DEVICE_ACK 7 stage=5 result=1",
            "emu: MSG_DEVICE_STAGE_REPORT 7 stage=5 result=1 reason=OK",
            "emu: MSG_DEVICE_ACK 7 stage=6 result=1", "emu: DISCONNECTED", "emu: CONNECTED",
            "emu: MSG_DEVICE_STATUS 7 READY EMU#1=V2 EMU#2=V1", "emu: MSG_DEVICE_ACK 7 stage=5 result=1",
            "emu: MSG_DEVICE_STAGE_REPORT 7 stage=5 result=3 reason=UPGRADE_CONTEXT_RESET"}));
    EXPECT_TRUE(heard.onDeliveryThread);
    EXPECT_EQ(transport.sendsTo("emu").size(), 13u);
    EXPECT_EQ(transport.lostDeliveryCount(), 0u);
}

TEST(ScriptedTransport, RefusesHoldsDelaysAndLetsHooksEditAnswers)
{
    CScriptedTransport transport;
    CScriptedSite site(transport);
    site.addDevice("pcs", {test::component("PCS_DSP1", 1, "A")});
    site.addDevice("away", {}, E_DeviceConnectionState::DISCONNECTED);
    S_Heard heard;
    listen(transport, heard);
    std::string error;

    EXPECT_FALSE(transport.sendUpgradeStatusQuery("pcs", 0, error));
    EXPECT_EQ(error, "Upgrade number must not be zero");
    EXPECT_FALSE(transport.sendUpgradeStatusQuery("nobody", 3, error));
    EXPECT_EQ(error, "Communication node does not exist: nobody");
    EXPECT_FALSE(transport.sendUpgradeStatusQuery("away", 3, error));
    EXPECT_EQ(error, "Communication node is not connected: away");
    transport.injectSendFailure("pcs", E_SendKind::TARGET_LIST, "socket gone");
    EXPECT_FALSE(transport.sendUpgradeTargetList("pcs", 3, {}, error));
    EXPECT_EQ(error, "socket gone");
    transport.clearSendFailures();
    const auto sends = transport.sends();
    ASSERT_EQ(sends.size(), 4u);
    EXPECT_FALSE(sends[3].accepted);
    EXPECT_EQ(sends[3].sequence, 4u);

    // A held send blocks its caller until released; its answer follows the release.
    transport.holdSends([](const S_RecordedSend& send) { return send.kind == E_SendKind::STATUS_QUERY; });
    auto held = std::async(std::launch::async,
                           [&]
                           {
                               std::string sendError;
                               return transport.sendUpgradeStatusQuery("pcs", 3, sendError);
                           });
    ASSERT_TRUE(transport.waitForHeldSends(1, 20s));
    EXPECT_EQ(held.wait_for(0s), std::future_status::timeout);
    transport.releaseHeldSends();
    EXPECT_TRUE(held.get());

    // Hooks may change, delay and add answers; later-due deliveries come later.
    site.device("pcs").setHook(
        [](const S_RecordedSend& send, std::vector<test::S_DeviceReply>& replies)
        {
            if (send.kind == E_SendKind::TARGET_LIST)
            {
                replies.front().delay = 40ms;
                replies.push_back(
                    test::S_DeviceReply::of(test::ack(send.upgradeNo, E_ProtocolStage::FLASHING, 2, 7)));
            }
        });
    ASSERT_TRUE(transport.sendUpgradeTargetList("pcs", 3, {}, error));
    ASSERT_TRUE(transport.deliverConnectionStateAndWait("away", E_DeviceConnectionState::CONNECTED));
    EXPECT_EQ(transport.nodeConnection("away"), E_DeviceConnectionState::CONNECTED);
    ASSERT_TRUE(test::waitUntil(
        [&]
        {
            std::lock_guard lock(heard.mutex);
            return heard.lines.size() == 4;
        }));
    EXPECT_EQ(take(heard),
              (std::vector<std::string>{"pcs: MSG_DEVICE_STATUS 3 READY PCS_DSP1#1=A",
                                        "pcs: MSG_DEVICE_ACK 3 stage=5 result=2", "away: CONNECTED",
                                        "pcs: MSG_DEVICE_ACK 3 stage=2 result=1"}));

    transport.setProtocolEventCallback({});
    transport.deliverEventAndWait("pcs", test::progress(3, E_ProtocolStage::FLASHING, "PCS_DSP1", 1, 5));
    EXPECT_EQ(transport.lostDeliveryCount(), 1u);
}

}  // namespace
}  // namespace ota::backend
