// The execution service's life cycle, a whole task on several devices, and the checks made before
// and at the start of a task.
#include "common/digest.h"
#include "support/wait_until.h"
#include "upgrade/upgrade_test_fixture.h"

#include <algorithm>
#include <fstream>
#include <limits>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using test::CSnapshotBuilder;
using test::E_SendKind;
using test::firmwareBytes;
using test::S_RecordedSend;

using UpgradeExecution = test::CUpgradeExecutionFixture;

UpgradeTaskSnapshotPtr singleDeviceSnapshot(const test::CTempDirectory& directory, std::uint32_t upgradeNo,
                                            const std::string& nodeId = "emu-1")
{
    CSnapshotBuilder builder(directory, upgradeNo);
    builder.addFile(1, "emu.bin", firmwareBytes(300, upgradeNo), 128, "V2");
    builder.addTarget(nodeId, "EMU", 1, "V1", 1);
    return builder.build();
}

TEST_F(UpgradeExecution, StartChecksItsOptionsAndStartTaskItsSnapshot)
{
    std::string state;
    std::string response;
    std::string error;
    EXPECT_FALSE(m_service.getCurrentState(state, error));
    EXPECT_EQ(error, "No upgrade execution state is available");
    const auto snapshot = singleDeviceSnapshot(m_directory, 3);
    EXPECT_FALSE(m_service.startTask(snapshot, 1, response, error));
    EXPECT_EQ(error, "Upgrade execution service is not started");

    const std::vector<std::pair<std::string, std::function<void(S_UpgradeExecutionOptions&)>>> invalid = {
        {"configured 0", [](auto& o) { o.configuredDeviceConcurrency = 0; }},
        {"configured 1001", [](auto& o) { o.configuredDeviceConcurrency = 1001; }},
        {"recommended 0", [](auto& o) { o.recommendedDeviceConcurrency = 0; }},
        {"recommended 33", [](auto& o) { o.recommendedDeviceConcurrency = 33; }},
        {"concurrency 0", [](auto& o) { o.deviceConcurrency = 0; }},
        {"concurrency above configured", [](auto& o)
         { o.configuredDeviceConcurrency = 2, o.recommendedDeviceConcurrency = 8, o.deviceConcurrency = 3; }},
        {"concurrency above recommended", [](auto& o)
         { o.configuredDeviceConcurrency = 8, o.recommendedDeviceConcurrency = 2, o.deviceConcurrency = 3; }},
        {"publish interval 0", [](auto& o) { o.progressPublishIntervalMs = 0; }},
        {"connect 0", [](auto& o) { o.connectTimeoutMs = 0; }},
        {"ack 0", [](auto& o) { o.ackTimeoutMs = 0; }},
        {"stage 0", [](auto& o) { o.stageTimeoutMs = 0; }},
        {"flash 0", [](auto& o) { o.flashTimeoutMs = 0; }},
        {"restart 0", [](auto& o) { o.restartTimeoutMs = 0; }},
    };
    for (const auto& [name, change] : invalid)
    {
        S_UpgradeExecutionOptions options = this->options(4);
        change(options);
        error = "old";
        EXPECT_FALSE(m_service.start(m_transport, options, error)) << name;
        EXPECT_EQ(error, "Upgrade execution options must be greater than zero") << name;
        EXPECT_FALSE(m_service.isStarted()) << name;
    }
    S_UpgradeExecutionOptions widest = options(4);
    widest.configuredDeviceConcurrency = 1000;
    widest.recommendedDeviceConcurrency = 32;
    widest.deviceConcurrency = 32;
    ASSERT_TRUE(m_service.start(m_transport, widest, error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_TRUE(m_service.isStarted());
    EXPECT_FALSE(m_service.start(m_transport, widest, error));
    EXPECT_EQ(error, "Upgrade execution service is already started");
    EXPECT_FALSE(m_service.getCurrentState(state, error));
    EXPECT_EQ(error, "No upgrade execution state is available");

    auto withoutTargets = std::make_shared<S_UpgradeTaskSnapshot>(*snapshot);
    withoutTargets->targets.clear();
    auto withoutFiles = std::make_shared<S_UpgradeTaskSnapshot>(*snapshot);
    withoutFiles->files.clear();
    auto numberZero = std::make_shared<S_UpgradeTaskSnapshot>(*snapshot);
    numberZero->upgradeNo = 0;
    const std::vector<std::pair<UpgradeTaskSnapshotPtr, std::string>> refused = {
        {nullptr, "Upgrade task snapshot is incomplete"},
        {withoutTargets, "Upgrade task snapshot is incomplete"},
        {withoutFiles, "Upgrade task snapshot is incomplete"},
        {numberZero, "Upgrade task snapshot is incomplete"},
    };
    for (const auto& [candidate, message] : refused)
    {
        EXPECT_FALSE(m_service.startTask(candidate, 1, response, error));
        EXPECT_EQ(error, message);
    }
    EXPECT_FALSE(m_service.startTask(snapshot, 2, response, error));
    EXPECT_EQ(error, "Upgrade task snapshot no longer matches the current topology");
    EXPECT_FALSE(m_service.isTaskActive());
    EXPECT_TRUE(m_transport.sends().empty());

    m_service.stop();
    m_service.stop();
    EXPECT_FALSE(m_service.isStarted());
    CUpgradeExecutionService neverStarted;
    neverStarted.stop();
    ASSERT_TRUE(m_service.start(m_transport, options(), error)) << error;
}

class UpgradeExecutionWholeTask : public test::CUpgradeExecutionFixture,
                                  public ::testing::WithParamInterface<bool>
{
};

// With answers before the send returns, every answer reaches the service while the worker is
// still inside the send call: the service must have registered its question before sending.
TEST_P(UpgradeExecutionWholeTask, EveryDeviceUpgradesAndEveryDocumentIsPublishedInOrder)
{
    m_transport.setAnswersBeforeSendReturns(GetParam());
    S_UpgradeExecutionOptions options = this->options();
    options.configuredDeviceConcurrency = 2;
    options.recommendedDeviceConcurrency = 8;
    options.deviceConcurrency = 2;
    startService(options);
    auto& emu = m_site.addDevice("emu-1", test::emuComponents("V1"));
    auto& pcs = m_site.addDevice("pcs-1", test::pcsComponents("P1"));
    auto& bms = m_site.addDevice("bms-1", test::bmsComponents("B1"));
    const std::string emuBytes = firmwareBytes(3000, 1);
    const std::string dspBytes = firmwareBytes(5000, 2);
    const std::string armBytes = firmwareBytes(1, 3);
    const std::string bcuBytes = firmwareBytes(2048, 4);
    CSnapshotBuilder builder(m_directory, 41, "SITE_UPGRADE");
    builder.addFile(1, "emu.bin", emuBytes, 1024, "V2");
    const S_FirmwareFileInfo dspFile = builder.addFile(2, "dsp.bin", dspBytes, 2048, "P2");
    builder.addFile(3, "arm.bin", armBytes, 1024, "P3");
    builder.addFile(4, "bcu.bin", bcuBytes, 1024, "B2");
    builder.addTarget("emu-1", "EMU", 1, "V1", 1)
        .addTarget("pcs-1", "PCS_DSP1", 1, "P1", 2)
        .addTarget("pcs-1", "PCS_ARM", 1, "P1", 3)
        .addTarget("bms-1", "BMS_BCU", 1, "B1", 4)
        .addTarget("bms-1", "BMS_BCU", 2, "B1", 4);

    const json response = startTask(builder.build());
    EXPECT_EQ(response, json({{"status", "STARTED"},
                              {"upgradeNo", 41},
                              {"upgradeId", "SITE_UPGRADE"},
                              {"deviceCount", 3},
                              {"deviceConcurrency", 2},
                              {"configuredDeviceConcurrency", 2},
                              {"recommendedDeviceConcurrency", 8},
                              {"effectiveWorkerCount", 2},
                              {"readyDeviceCount", 3},
                              {"runningDeviceCount", 0},
                              {"delayedDeviceCount", 0}}));
    const json final = waitForEnd(41);

    const json expectedTask = {{"status", "SUCCESS"},
                               {"active", false},
                               {"upgradeNo", 41},
                               {"upgradeId", "SITE_UPGRADE"},
                               {"sceneGeneration", 1},
                               {"configuredDeviceConcurrency", 2},
                               {"recommendedDeviceConcurrency", 8},
                               {"deviceConcurrency", 2},
                               {"effectiveWorkerCount", 2},
                               {"readyDeviceCount", 0},
                               {"runningDeviceCount", 0},
                               {"delayedDeviceCount", 0},
                               {"deviceCount", 3},
                               {"completedCount", 3},
                               {"successCount", 3},
                               {"failedCount", 0},
                               {"abortedCount", 0},
                               {"error", ""}};
    for (const auto& [key, value] : expectedTask.items())
    {
        EXPECT_EQ(final.at(key), value) << key;
    }
    EXPECT_GT(final.at("startedAt").get<std::int64_t>(), 0);
    EXPECT_GE(final.at("finishedAt").get<std::int64_t>(), final.at("startedAt").get<std::int64_t>());
    ASSERT_EQ(final.at("devices").size(), 3u);

    const std::vector<std::tuple<std::string, std::uint16_t,
                                 std::vector<std::pair<std::uint8_t, std::uint16_t>>, std::size_t>>
        devices = {{"emu-1", 20000, {{1, 3}}, 1},
                   {"pcs-1", 20001, {{2, 3}, {3, 1}}, 2},
                   {"bms-1", 20003, {{4, 2}}, 2}};
    for (std::size_t i = 0; i < devices.size(); ++i)
    {
        const auto& [nodeId, port, files, targetCount] = devices[i];
        const json& device = final.at("devices").at(i);
        EXPECT_EQ(device.at("nodeId"), nodeId);
        EXPECT_EQ(device.at("nodeName"), "Device " + nodeId);
        EXPECT_EQ(device.at("nodeTypeId"), "type-" + nodeId.substr(0, 3));
        EXPECT_EQ(device.at("address"), "127.0.0.1");
        EXPECT_EQ(device.at("port"), port);
        const json expectedDevice = {{"connectionState", "CONNECTED"},
                                     {"stage", "重启验证"},
                                     {"state", "升级成功"},
                                     {"result", "SUCCESS"},
                                     {"workflowProgress", 100},
                                     {"abortAllowed", false},
                                     {"completed", true},
                                     {"eventStreamFailed", false},
                                     {"protocolEventDropCount", 0},
                                     {"connectionEventDropCount", 0},
                                     {"unexpectedAckCount", 0},
                                     {"duplicateAckCount", 0},
                                     {"mismatchedAckCount", 0},
                                     {"reasonCode", 0},
                                     {"reasonName", "OK"},
                                     {"error", ""}};
        for (const auto& [key, value] : expectedDevice.items())
        {
            EXPECT_EQ(device.at(key), value) << nodeId << " " << key;
        }
        EXPECT_GT(device.at("startedAt").get<std::int64_t>(), 0) << nodeId;
        EXPECT_GE(device.at("finishedAt").get<std::int64_t>(), device.at("startedAt").get<std::int64_t>())
            << nodeId;
        ASSERT_EQ(device.at("targets").size(), targetCount) << nodeId;
        for (const auto& target : device.at("targets"))
        {
            EXPECT_EQ(target.at("currentVersion"), target.at("targetVersion")) << nodeId;
            EXPECT_EQ(target.at("componentStageProgress"), 100) << nodeId;
            EXPECT_EQ(target.at("state"), "重启验证完成") << nodeId;
            EXPECT_EQ(target.at("reasonCode"), 0) << nodeId;
            EXPECT_EQ(target.at("reasonName"), "OK") << nodeId;
            EXPECT_EQ(target.at("detailText"), "版本已在重连后确认") << nodeId;
        }

        // No question twice; only the restart verification may ask for the status a second time.
        auto trace = sendTrace(nodeId);
        const auto expected = test::workflowSends(targetCount, files);
        ASSERT_GE(trace.size(), expected.size() + 1) << nodeId;
        const std::vector<std::string> tail(trace.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                            trace.end());
        trace.resize(expected.size());
        EXPECT_EQ(trace, expected) << nodeId;
        EXPECT_TRUE(tail == std::vector<std::string>{"Q"} || tail == (std::vector<std::string>{"Q", "Q"}))
            << nodeId;
        for (const S_RecordedSend& send : m_transport.sendsTo(nodeId))
        {
            EXPECT_EQ(send.upgradeNo, 41u);
            if (send.kind == E_SendKind::FILE_CHUNK)
            {
                EXPECT_EQ(send.fileChunk.crc32,
                          crc32Of(send.fileChunk.data.data(), send.fileChunk.data.size()));
            }
        }
    }
    EXPECT_EQ(final.at("devices").at(1).at("targets").at(0).at("targetVersion"), "P2");
    EXPECT_EQ(final.at("devices").at(1).at("targets").at(1).at("componentTypeId"), "PCS_ARM");

    EXPECT_EQ(emu.receivedFile(1), emuBytes);
    EXPECT_EQ(pcs.receivedFile(2), dspBytes);
    EXPECT_EQ(pcs.receivedFile(3), armBytes);
    EXPECT_EQ(bms.receivedFile(4), bcuBytes);
    const auto pcsSends = m_transport.sendsTo("pcs-1");
    EXPECT_EQ(
        pcsSends.at(1).targetList.targets,
        (std::vector<S_ProtocolTarget>{{1, "PCS_DSP1", 1, false, "P2"}, {2, "PCS_ARM", 1, false, "P3"}}));
    const S_ProtocolFileInfo expectedInfo{2, "dsp.bin", 5000, 2048, 3, dspFile.sha256};
    EXPECT_EQ(pcsSends.at(4).fileInfo, expectedInfo);
    EXPECT_EQ(pcsSends.at(6).fileChunk.totalChunks, 3u);
    EXPECT_EQ(pcsSends.at(8).fileChunk.data.size(), 5000u - 2 * 2048u);

    // Documents: the first shows the task before any device ended, only the last one is final and
    // equals what getCurrentState returns afterwards.
    const auto documents = m_recorder.documents();
    ASSERT_GE(documents.size(), 2u);
    EXPECT_EQ(documents.front().at("status"), "RUNNING");
    EXPECT_EQ(documents.front().at("active"), true);
    EXPECT_EQ(documents.front().at("completedCount"), 0);
    for (const auto& device : documents.front().at("devices"))
    {
        EXPECT_EQ(device.at("result"), "PENDING");
    }
    std::uint64_t completed = 0;
    for (std::size_t i = 0; i < documents.size(); ++i)
    {
        EXPECT_EQ(documents[i].at("active"), i + 1 < documents.size()) << i;
        EXPECT_GE(documents[i].at("completedCount").get<std::uint64_t>(), completed) << i;
        completed = documents[i].at("completedCount").get<std::uint64_t>();
    }
    EXPECT_EQ(documents.back(), final);
}

INSTANTIATE_TEST_SUITE_P(AnswerTiming, UpgradeExecutionWholeTask, ::testing::Values(false, true),
                         [](const auto& info)
                         { return info.param ? "AnswersBeforeSendReturns" : "AnswersAfterSend"; });

TEST_F(UpgradeExecution, DeviceThatNeverConnectsTimesOutOnceTheConnectedOneWasServed)
{
    S_UpgradeExecutionOptions options = this->options(1);
    options.connectTimeoutMs = 300;
    startService(options);
    m_site.addDevice("emu-away", test::emuComponents(), E_DeviceConnectionState::PENDING);
    m_site.addDevice("emu-here", test::emuComponents());
    CSnapshotBuilder builder(m_directory, 42);
    builder.addFile(1, "emu.bin", firmwareBytes(500, 42), 256, "V2");
    builder.addTarget("emu-away", "EMU", 1, "V1", 1).addTarget("emu-here", "EMU", 1, "V1", 1);

    const json response = startTask(builder.build());
    EXPECT_EQ(response.at("readyDeviceCount"), 1);
    EXPECT_EQ(response.at("delayedDeviceCount"), 1);
    EXPECT_EQ(response.at("effectiveWorkerCount"), 1);
    const json final = waitForEnd(42);

    EXPECT_EQ(final.at("status"), "FAILED");
    EXPECT_EQ(final.at("successCount"), 1);
    EXPECT_EQ(final.at("failedCount"), 1);
    expectDeviceOutcome(final, "emu-away", "FAILED", "执行失败", 17, "TIMEOUT", "等待装置TCP连接超时");
    const json& away = deviceIn(final, "emu-away");
    const json& here = deviceIn(final, "emu-here");
    EXPECT_EQ(away.at("workflowProgress"), 0);
    EXPECT_EQ(away.at("stage"), "连接与状态同步");
    EXPECT_EQ(away.at("connectionState"), "PENDING");
    EXPECT_TRUE(m_transport.sendsTo("emu-away").empty());
    EXPECT_EQ(here.at("result"), "SUCCESS");
    // The connected device is served first although it comes second; the absent one is taken only
    // when its connect deadline has passed.
    EXPECT_LE(here.at("startedAt").get<std::int64_t>(), away.at("startedAt").get<std::int64_t>());
    EXPECT_GE(away.at("finishedAt").get<std::int64_t>() - final.at("startedAt").get<std::int64_t>(), 299);
}

// A snapshot runs once: while its task runs a second start is refused as any start during a task;
// after it ended, as a snapshot that has run (also after the service was stopped and started).
TEST_F(UpgradeExecution, SnapshotRunsOnceWhateverTheMomentOfTheSecondStart)
{
    S_UpgradeExecutionOptions options = this->options(1);
    options.connectTimeoutMs = 600000;
    startService(options);
    m_site.addDevice("emu-away", test::emuComponents(), E_DeviceConnectionState::PENDING);
    const auto snapshot = singleDeviceSnapshot(m_directory, 46, "emu-away");
    startTask(snapshot);
    std::string response;
    std::string error;
    E_TaskStartRefusal refusal = E_TaskStartRefusal::NONE;
    EXPECT_FALSE(m_service.startTask(snapshot, 1, response, error, &refusal));
    EXPECT_EQ(error, "Another upgrade task is active");
    EXPECT_EQ(refusal, E_TaskStartRefusal::OTHER);
    const auto other = singleDeviceSnapshot(m_directory, 47, "emu-away");
    EXPECT_FALSE(m_service.startTask(other, 1, response, error, &refusal));
    EXPECT_EQ(error, "Another upgrade task is active");

    ASSERT_TRUE(m_service.requestAbort(46, response, error)) << error;
    EXPECT_EQ(waitForEnd(46).at("status"), "ABORTED");
    EXPECT_FALSE(m_service.startTask(snapshot, 1, response, error, &refusal));
    EXPECT_EQ(error, "Upgrade task snapshot has already run");
    EXPECT_EQ(refusal, E_TaskStartRefusal::SNAPSHOT_ALREADY_RAN);
    EXPECT_TRUE(response.empty());
    m_service.stop();
    ASSERT_TRUE(m_service.start(m_transport, options, error)) << error;
    EXPECT_FALSE(m_service.startTask(snapshot, 1, response, error, &refusal));
    EXPECT_EQ(refusal, E_TaskStartRefusal::SNAPSHOT_ALREADY_RAN);
    EXPECT_TRUE(m_transport.sends().empty());
}

// A connection change reported while the task is being set up is newer than the node list read
// at the start: the device keeps the reported state.
TEST_F(UpgradeExecution, ConnectionChangeDuringTaskSetUpWinsOverTheNodeList)
{
    S_UpgradeExecutionOptions options = this->options();
    options.connectTimeoutMs = 300;
    startService(options);
    m_site.addDevice("emu-dropping", test::emuComponents());
    bool delivered = false;
    S_UpgradeExecutionTestHooks hooks;
    hooks.duringTaskInitialization = [&]
    {
        delivered =
            m_transport.deliverConnectionStateAndWait("emu-dropping", E_DeviceConnectionState::DISCONNECTED);
    };
    m_service.setTestHooks(hooks);
    const json response = startTask(singleDeviceSnapshot(m_directory, 45, "emu-dropping"));
    EXPECT_TRUE(delivered);
    EXPECT_EQ(response.at("readyDeviceCount"), 0);
    EXPECT_EQ(response.at("delayedDeviceCount"), 1);
    const json final = waitForEnd(45);
    expectDeviceOutcome(final, "emu-dropping", "FAILED", "执行失败", 17, "TIMEOUT", "等待装置TCP连接超时");
    EXPECT_EQ(deviceIn(final, "emu-dropping").at("connectionState"), "DISCONNECTED");
    EXPECT_TRUE(m_transport.sends().empty());
}

// Files of a device go out in ascending fileNo, whatever order the targets name them in; the
// target list keeps the targets' order.
TEST_F(UpgradeExecution, FilesOfADeviceAreSentInAscendingFileNo)
{
    startService(options());
    auto& pcs = m_site.addDevice("pcs-1", test::pcsComponents("P1"));
    // The device reports its verification results in the opposite order.
    pcs.setHook(
        [](const S_RecordedSend& send, std::vector<test::S_DeviceReply>& replies)
        {
            if (send.isCommand(E_ProtocolCommandType::FINISH_TRANSFER))
            {
                std::reverse(replies.begin() + 1, replies.end() - 1);
            }
        });
    const std::string second = firmwareBytes(1500, 5);
    const std::string first = firmwareBytes(700, 6);
    CSnapshotBuilder builder(m_directory, 43);
    builder.addFile(2, "dsp2.bin", second, 1024, "D2");
    builder.addFile(1, "dsp1.bin", first, 512, "D1");
    builder.addTarget("pcs-1", "PCS_DSP2", 1, "P1", 2).addTarget("pcs-1", "PCS_DSP1", 1, "P1", 1);
    startTask(builder.build());
    const json final = waitForEnd(43);

    EXPECT_EQ(final.at("status"), "SUCCESS");
    auto trace = sendTrace("pcs-1");
    const auto expected = test::workflowSends(2, {{1, 2}, {2, 2}});
    ASSERT_GE(trace.size(), expected.size());
    trace.resize(expected.size());
    EXPECT_EQ(trace, expected);
    EXPECT_EQ(
        m_transport.sendsTo("pcs-1").at(1).targetList.targets,
        (std::vector<S_ProtocolTarget>{{1, "PCS_DSP2", 1, false, "D2"}, {2, "PCS_DSP1", 1, false, "D1"}}));
    EXPECT_EQ(pcs.receivedFile(1), first);
    EXPECT_EQ(pcs.receivedFile(2), second);
}

TEST_F(UpgradeExecution, FirmwareChangedAfterThePreviewFailsEveryDevice)
{
    startService(options());
    m_site.addDevice("emu-1", test::emuComponents());
    m_site.addDevice("emu-2", test::emuComponents());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"same size, other bytes", "固件SHA256与任务快照不一致: "},
        {"other size", "固件文件大小已变化: "},
        {"removed", "无法打开固件文件: "},
    };
    std::uint32_t upgradeNo = 50;
    for (const auto& [change, prefix] : cases)
    {
        ++upgradeNo;
        CSnapshotBuilder builder(m_directory, upgradeNo);
        const auto path = builder.addFile(1, "emu.bin", firmwareBytes(2000, upgradeNo), 512, "V2").filePath;
        builder.addTarget("emu-1", "EMU", 1, "V1", 1).addTarget("emu-2", "EMU", 1, "V1", 1);
        if (change == "removed")
        {
            std::filesystem::remove(path);
        }
        else
        {
            const std::size_t size = change == "other size" ? 2001 : 2000;
            std::ofstream(path, std::ios::binary | std::ios::trunc) << firmwareBytes(size, upgradeNo + 100);
        }
        startTask(builder.build());
        const json final = waitForEnd(upgradeNo);
        const std::string message = prefix + path.string();
        EXPECT_EQ(final.at("status"), "FAILED") << change;
        EXPECT_EQ(final.at("error"), message) << change;
        EXPECT_EQ(final.at("failedCount"), 2) << change;
        expectDeviceOutcome(final, "emu-1", "FAILED", "执行失败", 0, "INTERNAL_ERROR", message);
        expectDeviceOutcome(final, "emu-2", "FAILED", "执行失败", 0, "INTERNAL_ERROR", message);
        EXPECT_TRUE(m_transport.sends().empty()) << change;
    }
}

TEST_F(UpgradeExecution, RefusedSendEndsOnlyThatDevice)
{
    startService(options());
    const std::vector<std::tuple<std::string, E_SendKind, std::string, std::string>> cases = {
        {"emu-query", E_SendKind::STATUS_QUERY, "装置状态查询发送失败: link down", "!Q"},
        {"emu-list", E_SendKind::TARGET_LIST, "升级目标清单发送失败: link down", "!T1"},
        {"emu-command", E_SendKind::COMMAND, "升级准备命令发送失败: link down", "!C1/2/0"},
        {"emu-declare", E_SendKind::FILE_INFO, "固件文件声明发送失败: link down", "!I1"},
        {"emu-chunk", E_SendKind::FILE_CHUNK, "固件分片发送失败: link down", "!K1.0"},
    };
    CSnapshotBuilder builder(m_directory, 44);
    builder.addFile(1, "emu.bin", firmwareBytes(600, 44), 256, "V2");
    for (const auto& [nodeId, kind, message, last] : cases)
    {
        m_site.addDevice(nodeId, test::emuComponents());
        m_transport.injectSendFailure(nodeId, kind, "link down");
        builder.addTarget(nodeId, "EMU", 1, "V1", 1);
    }
    m_site.addDevice("emu-fine", test::emuComponents());
    builder.addTarget("emu-fine", "EMU", 1, "V1", 1);
    startTask(builder.build());
    const json final = waitForEnd(44);

    EXPECT_EQ(final.at("status"), "FAILED");
    EXPECT_EQ(final.at("failedCount"), 5);
    EXPECT_EQ(deviceIn(final, "emu-fine").at("result"), "SUCCESS");
    for (const auto& [nodeId, kind, message, last] : cases)
    {
        expectDeviceOutcome(final, nodeId, "FAILED", "执行失败", 0, "INTERNAL_ERROR", message);
        const auto trace = sendTrace(nodeId);
        ASSERT_FALSE(trace.empty()) << nodeId;
        EXPECT_EQ(trace.back(), last) << nodeId;
    }
}

TEST_F(UpgradeExecution, ThreadCreationFailuresLeaveTheServiceUsable)
{
    startService(options());
    m_site.addDevice("emu-1", test::emuComponents());
    std::string response;
    std::string error;

    S_UpgradeExecutionTestHooks hooks;
    hooks.failTaskThreadCreation = true;
    m_service.setTestHooks(hooks);
    EXPECT_FALSE(m_service.startTask(singleDeviceSnapshot(m_directory, 60), 1, response, error));
    const std::string taskPrefix = "Cannot create upgrade task thread: ";
    EXPECT_EQ(error.rfind(taskPrefix, 0), 0u) << error;
    EXPECT_GT(error.size(), taskPrefix.size());

    hooks = {};
    hooks.failWorkerCreationAt = 0;
    m_service.setTestHooks(hooks);
    startTask(singleDeviceSnapshot(m_directory, 61));
    json final = waitForEnd(61);
    const std::string workerPrefix = "创建升级工作线程失败: ";
    const std::string taskError = final.at("error").get<std::string>();
    EXPECT_EQ(taskError.rfind(workerPrefix, 0), 0u) << taskError;
    EXPECT_GT(taskError.size(), workerPrefix.size());
    EXPECT_EQ(final.at("status"), "FAILED");
    expectDeviceOutcome(final, "emu-1", "FAILED", "执行失败", 0, "INTERNAL_ERROR", taskError);
    EXPECT_TRUE(m_transport.sends().empty());

    m_service.setTestHooks({});
    startTask(singleDeviceSnapshot(m_directory, 62));
    final = waitForEnd(62);
    EXPECT_EQ(final.at("status"), "SUCCESS");
    EXPECT_EQ(deviceIn(final, "emu-1").at("result"), "SUCCESS");
}

TEST(UpgradeWorkBudget, BaseTransferAndItemsWithAFloorOfFourBasesSaturating)
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::uint64_t kMaxUnsigned = std::numeric_limits<std::uint64_t>::max();
    struct S_Case
    {
        std::int64_t baseMs;
        std::uint64_t bytes;
        std::uint64_t items;
        std::uint64_t bytesPerSecond;
        std::uint64_t perItemMs;
        std::int64_t expected;
    };
    const std::vector<S_Case> cases = {
        {300000, 100000, 25, 32768, 250, 1200000},  // 300,000 + 3,052 + 6,250 is below the floor
        {1000, 1000000, 100, 32768, 250, 56518},    // 30 s and a rounded-up 518 ms, plus 25 s of items
        {1000, 32768, 1, 32768, 250, 4000},
        {1000, 2097152, 2, 1048576, 1000, 5000},
        {1, 1, 0, 3, 0, 335},   // 1 byte at 3 bytes per second: 334 ms rounded up
        {0, 5, 0, 0, 0, 5000},  // a rate of 0 counts as 1 byte per second
        {kMax, 0, 0, 1, 0, kMax},
        {1, kMaxUnsigned, 0, 1, 0, kMax},
        {1, 0, kMaxUnsigned, 1, 2, kMax},
        {kMax / 2, 0, 0, 1, 0, kMax},  // the floor itself saturates
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(computeWorkBudgetMs(c.baseMs, c.bytes, c.items, c.bytesPerSecond, c.perItemMs), c.expected)
            << c.baseMs << " " << c.bytes << " " << c.items << " " << c.bytesPerSecond << " " << c.perItemMs;
    }
}

}  // namespace
}  // namespace ota::backend
