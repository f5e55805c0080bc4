// The real ota-backend executable upgrading the real simulator through HTTP: a whole site, the
// order of files on one device, the console lines of a file transfer, abort, a stop during a
// transfer, and an API that stays responsive while a large preview is digested.
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <string_view>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

// A device that answers everything late, so a transfer of a few hundred chunks takes seconds.
S_SimDeviceSpec slowDevice(const std::string& nodeId, E_ProtocolDeviceType type)
{
    S_SimDeviceSpec device = quickDevice(nodeId, type);
    device.timings.replyLatencyMs = 20;
    return device;
}

bool isTransferring(const json& device)
{
    return device["state"] == "发送文件分片" && device["currentChunkNo"] >= 2;
}

class UpgradeProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    std::vector<S_TestNode> simulate(const std::vector<S_SimDeviceSpec>& devices)
    {
        startSimulator(simulator, devices);
        return nodesOf(simulator, devices);
    }

    S_SimDeviceSnapshot simulated(const std::string& nodeId)
    {
        S_SimDeviceSnapshot result;
        std::string error;
        EXPECT_TRUE(simulator.snapshot(nodeId, result, error)) << error;
        return result;
    }

    CDeviceSimulator simulator;
};

TEST_F(UpgradeProcessTest, UpgradesAWholeSiteToSuccess)
{
    const std::vector<std::string> nodeIds = {"emu-1", "pcs-1", "bms-1", "bms-2"};
    S_BackendSettings settings;
    settings.chunkSize = 4096;
    CUpgradeBackend backend(simulate({quickDevice("emu-1", E_ProtocolDeviceType::EMU),
                                      quickDevice("pcs-1", E_ProtocolDeviceType::PCS),
                                      quickDevice("bms-1", E_ProtocolDeviceType::BMS, 6),
                                      quickDevice("bms-2", E_ProtocolDeviceType::BMS, 12)}),
                            settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json before = api.waitReady(nodeIds);
    ASSERT_TRUE(before.is_object()) << backend.output();

    // One file per slot, each of a few chunks; every BCU of both BMSs shares the bms:bcu file.
    std::map<std::string, std::string> versionOfSlot;
    json files = json::array();
    unsigned seed = 1;
    for (const char* slot :
         {"emu:emu", "pcs:dsp1", "pcs:dsp2", "pcs:fpga", "pcs:arm", "bms:bau", "bms:beu", "bms:bcu"})
    {
        versionOfSlot[slot] = "3." + std::to_string(seed) + ".0";
        const auto path =
            backend.writeFirmware("site-" + std::to_string(seed) + ".bin", 9000 + 517 * seed, seed);
        files.push_back(firmwareEntry(slot, path, versionOfSlot[slot]));
        ++seed;
    }
    const json targets = targetsForEveryComponent(before, nodeIds);
    ASSERT_EQ(targets.size(), 1u + 4u + 8u + 14u);

    CTestEventClient events(backend.port());
    ASSERT_TRUE(events.connect()) << events.failure();
    const S_HttpResult preview = api.preview(previewBody("whole_site", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const json snapshot = preview.json["data"]["snapshot"];
    const std::uint32_t upgradeNo = snapshot["upgradeNo"];
    EXPECT_EQ(snapshot["targetCount"], 27);
    EXPECT_EQ(snapshot["fileCount"], 8);

    const S_HttpResult start = api.start();
    ASSERT_EQ(start.status, 202u) << start.body;
    const json& started = start.json["data"];
    EXPECT_EQ(started["status"], "STARTED");
    EXPECT_EQ(started["upgradeNo"], upgradeNo);
    EXPECT_EQ(started["upgradeId"], "whole_site");
    EXPECT_EQ(started["deviceCount"], 4);
    EXPECT_EQ(started["configuredDeviceConcurrency"], 4);
    const unsigned recommended = started["recommendedDeviceConcurrency"];
    EXPECT_EQ(started["effectiveWorkerCount"], std::min(4u, recommended));
    EXPECT_EQ(started["deviceConcurrency"], started["effectiveWorkerCount"]);
    EXPECT_EQ(started["runningDeviceCount"], 0);
    EXPECT_EQ(started["readyDeviceCount"].get<unsigned>() + started["delayedDeviceCount"].get<unsigned>(),
              4u);

    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
    EXPECT_EQ(final["active"], false);
    EXPECT_EQ(final["error"], "");
    EXPECT_EQ(final["deviceCount"], 4);
    EXPECT_EQ(final["completedCount"], 4);
    EXPECT_EQ(final["successCount"], 4);
    EXPECT_EQ(final["failedCount"], 0);
    EXPECT_EQ(final["abortedCount"], 0);
    EXPECT_GT(final["finishedAt"], 0);
    ASSERT_EQ(final["devices"].size(), 4u);
    for (std::size_t index = 0; index < nodeIds.size(); ++index)
    {
        const json& device = final["devices"][index];
        SCOPED_TRACE(nodeIds[index]);
        EXPECT_EQ(device["nodeId"], nodeIds[index]);
        EXPECT_EQ(device["result"], "SUCCESS");
        EXPECT_EQ(device["state"], "升级成功");
        EXPECT_EQ(device["stage"], "重启验证");
        EXPECT_EQ(device["workflowProgress"], 100);
        EXPECT_EQ(device["completed"], true);
        EXPECT_EQ(device["abortAllowed"], false);
        EXPECT_EQ(device["reasonCode"], 0);
        EXPECT_EQ(device["reasonName"], "OK");
        EXPECT_EQ(device["error"], "");
        EXPECT_EQ(device["targets"].size(), findNode(before, nodeIds[index])["components"].size());
        for (const json& target : device["targets"])
        {
            const std::string slot = slotOfComponent().at(target["componentTypeId"]);
            EXPECT_EQ(target["targetVersion"], versionOfSlot[slot]) << target.dump();
            EXPECT_EQ(target["currentVersion"], target["targetVersion"]) << target.dump();
            EXPECT_EQ(target["componentStageProgress"], 100);
            EXPECT_EQ(target["state"], "重启验证完成");
            EXPECT_EQ(target["detailText"], "版本已在重连后确认");
        }
    }

    // The history row holds the final state as its report; only the completion time may differ.
    const json record = api.waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object()) << backend.output();
    EXPECT_EQ(record["status"], "SUCCESS");
    EXPECT_EQ(record["finalized"], true);
    EXPECT_EQ(record["upgradeId"], "whole_site");
    EXPECT_EQ(record["snapshot"], snapshot);
    ASSERT_TRUE(record["completedAt"].is_number()) << record.dump();
    EXPECT_EQ(record["report"]["finishedAt"], record["completedAt"]);
    EXPECT_GE(record["completedAt"], final["finishedAt"]);
    EXPECT_EQ(withoutKeys(record["report"], {"finishedAt"}), withoutKeys(final, {"finishedAt"}));

    // The event stream carried the running states of this task and ended with the final one;
    // beside them, the devices that changed, which add up to the final document's devices.
    std::vector<json> published;
    std::vector<json> deviceEvents;
    ASSERT_TRUE(readEventUntil(events,
                               [&](const json& event)
                               {
                                   if (event["type"] == "upgrade.devices")
                                   {
                                       deviceEvents.push_back(event["data"]);
                                   }
                                   else if (event["type"] == "upgrade.current")
                                   {
                                       published.push_back(event);
                                   }
                                   return !published.empty() && published.back()["data"]["active"] == false &&
                                          !deviceEvents.empty() && deviceEvents.back()["status"] == "SUCCESS";
                               }))
        << published.size() << " " << deviceEvents.size();
    std::map<std::string, json> deviceUnion;
    for (std::size_t index = 0; index < deviceEvents.size(); ++index)
    {
        EXPECT_EQ(deviceEvents[index]["upgradeNo"], upgradeNo);
        EXPECT_EQ(deviceEvents[index]["sequence"], index + 1);
        for (const json& device : deviceEvents[index]["devices"])
        {
            deviceUnion[device["nodeId"]] = device;
        }
    }
    EXPECT_EQ(deviceEvents.front()["devices"].size(), nodeIds.size());
    EXPECT_EQ(
        withoutKeys(deviceEvents.back(), {"devices", "sequence"}),
        withoutKeys(final, {"active", "configuredDeviceConcurrency", "deviceConcurrency", "devices",
                            "effectiveWorkerCount", "error", "finishedAt", "recommendedDeviceConcurrency",
                            "sceneGeneration", "startedAt", "upgradeId"}));
    ASSERT_EQ(deviceUnion.size(), final["devices"].size());
    for (const json& device : final["devices"])
    {
        EXPECT_EQ(deviceUnion[device["nodeId"]], device);
    }
    for (std::size_t index = 0; index + 1 < published.size(); ++index)
    {
        EXPECT_EQ(published[index]["data"]["upgradeNo"], upgradeNo);
        EXPECT_EQ(published[index]["data"]["active"], true);
        EXPECT_EQ(published[index]["data"]["status"], "RUNNING");
        EXPECT_LT(published[index]["sequence"], published[index + 1]["sequence"]);
    }
    EXPECT_EQ(published.back()["data"], final);

    // The devices now report what they were given.
    const json after = api.waitReady(nodeIds);
    ASSERT_TRUE(after.is_object());
    for (const json& target : targets)
    {
        EXPECT_EQ(
            reportedVersion(after, target["nodeId"], target["componentTypeId"], target["componentIndex"]),
            versionOfSlot[target["fileSlotKey"]])
            << target.dump();
    }
    for (const std::string& nodeId : nodeIds)
    {
        const S_SimDeviceSnapshot upgraded = simulated(nodeId);
        EXPECT_EQ(upgraded.counters.upgradesCompleted, 1u) << nodeId;
        EXPECT_EQ(upgraded.lastCompletedUpgradeNo, upgradeNo) << nodeId;
        EXPECT_FALSE(upgraded.upgradeContextOpen) << nodeId;
    }
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST_F(UpgradeProcessTest, TargetsNamingTheSecondFileFirstStillComplete)
{
    CUpgradeBackend backend(simulate({quickDevice("pcs-1", E_ProtocolDeviceType::PCS)}));
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"pcs-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();

    // File 1 is for DSP1, file 2 for DSP2, but the device's first target uses file 2.
    const json files = {firmwareEntry("pcs:dsp1", backend.writeFirmware("dsp1.bin", 3500, 1), "4.1.0"),
                        firmwareEntry("pcs:dsp2", backend.writeFirmware("dsp2.bin", 2100, 2), "4.2.0")};
    const json targets = {
        upgradeTarget("pcs-1", "PCS_DSP2", 1, reportedVersion(status, "pcs-1", "PCS_DSP2", 1), "pcs:dsp2"),
        upgradeTarget("pcs-1", "PCS_DSP1", 1, reportedVersion(status, "pcs-1", "PCS_DSP1", 1), "pcs:dsp1")};
    const S_HttpResult preview = api.preview(previewBody("second_file_first", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    EXPECT_EQ(preview.json["data"]["snapshot"]["targets"][0]["fileNo"], 2);
    ASSERT_EQ(api.start().status, 202u);

    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "SUCCESS") << final.dump();
    const json record = api.waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object()) << backend.output();
    EXPECT_EQ(record["status"], "SUCCESS") << record.dump();
    EXPECT_EQ(record["finalized"], true);
    const json after = api.waitReady({"pcs-1"});
    EXPECT_EQ(reportedVersion(after, "pcs-1", "PCS_DSP1", 1), "4.1.0");
    EXPECT_EQ(reportedVersion(after, "pcs-1", "PCS_DSP2", 1), "4.2.0");
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

std::size_t countLinesWith(const std::string& output, const std::string& text)
{
    std::size_t count = 0;
    std::size_t begin = 0;
    while (begin < output.size())
    {
        const std::size_t end = std::min(output.find('\n', begin), output.size());
        if (std::string_view(output).substr(begin, end - begin).find(text) != std::string_view::npos)
        {
            ++count;
        }
        begin = end + 1;
    }
    return count;
}

// Chunk frames and chunk reports are the bulk of a transfer: only the first and the last of each
// get their console line, and one summary line counts them all; every other frame keeps its line.
TEST_F(UpgradeProcessTest, ChunkFramesOfAFileTransferKeepOnlyTheirFirstAndLastLines)
{
    CUpgradeBackend backend(simulate({quickDevice("emu-1", E_ProtocolDeviceType::EMU)}));
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    constexpr std::size_t kChunkSize = 1024;  // the backend's setting
    constexpr std::size_t kFileSize = 9 * kChunkSize + 924;
    const json files = {firmwareEntry("emu:emu", backend.writeFirmware("emu.bin", kFileSize, 3), "5.0.0")};
    const json targets = {
        upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")};
    const S_HttpResult preview = api.preview(previewBody("chunk_lines", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    ASSERT_EQ(final["status"], "SUCCESS") << final.dump();
    ASSERT_TRUE(backend.child().waitForOutput("File transfer ended: emu-1")) << backend.output();

    const std::string output = backend.child().standardOutput();
    EXPECT_EQ(countLinesWith(output, "Protocol frame submitted: emu-1, type=MSG_EMS_FILE_CHUNK,"), 2u)
        << output;
    EXPECT_EQ(countLinesWith(output,
                             "Communication node emu-1 reported protocol event MSG_DEVICE_FILE_CHUNK_REPORT"),
              2u)
        << output;
    // 17 bytes of framing and 11 of chunk header per chunk frame; 26 bytes per chunk report.
    const std::size_t chunkBytes = 10 * (17 + 11) + kFileSize;
    EXPECT_EQ(
        countLinesWith(output, "[INFO] File transfer ended: emu-1, upgradeNo=" + std::to_string(upgradeNo) +
                                   ", fileNo=1, chunkFrames=10/10, chunkBytes=" + std::to_string(chunkBytes) +
                                   ", reportFrames=10, reportBytes=260"),
        1u)
        << output;
    EXPECT_EQ(countLinesWith(output, "File transfer stopped"), 0u) << output;
    // The other frames of the upgrade keep their lines: the commands, the target list, the file
    // declaration, and the status queries. The restart command may be logged as a stale submission
    // instead: the device acknowledges it and drops the link before the write's completion runs.
    EXPECT_GE(countLinesWith(output, "Protocol frame submitted: emu-1, type=MSG_EMS_CMD,"), 4u) << output;
    EXPECT_EQ(countLinesWith(output, "Protocol frame submitted: emu-1, type=MSG_EMS_TARGET_LIST,"), 1u)
        << output;
    EXPECT_EQ(countLinesWith(output, "Protocol frame submitted: emu-1, type=MSG_EMS_FILE_INFO,"), 1u)
        << output;
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST_F(UpgradeProcessTest, AbortResetsADeviceDuringTheTransferAndRefusesWhatItCannotAbort)
{
    S_SimDeviceSpec flashing = quickDevice("pcs-1", E_ProtocolDeviceType::PCS);
    flashing.timings.flashMs = 4000;
    S_BackendSettings settings;
    settings.chunkSize = 256;
    settings.ackTimeoutMs = 6000;
    settings.stageTimeoutMs = 6000;
    settings.flashTimeoutMs = 20000;
    CUpgradeBackend backend(simulate({slowDevice("emu-1", E_ProtocolDeviceType::EMU), flashing}), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    json status = api.waitReady({"emu-1", "pcs-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();

    const S_HttpResult idle = api.abort("5");
    EXPECT_EQ(idle.status, 409u) << idle.body;
    EXPECT_EQ(idle.json["error"]["code"], "UPGRADE_ABORT_REJECTED");
    EXPECT_EQ(idle.json["error"]["message"], "No upgrade task is active");
    EXPECT_EQ(idle.json["error"]["details"],
              (json{{"status", "ABORT_REJECTED"}, {"upgradeNo", 5}, {"reason", "NO_ACTIVE_UPGRADE"}}));

    // 300 chunks answered 20 ms late each: the transfer lasts seconds. The reset is confirmed
    // late too, so the task stays ABORTING long enough for a second request.
    S_SimFault lateReset;
    lateReset.kind = E_SimFaultKind::LATE_ACK;
    lateReset.request = E_SimRequest::RESET_CONTEXT;
    lateReset.delayMs = 2000;
    std::string error;
    ASSERT_TRUE(simulator.addFault("emu-1", lateReset, error)) << error;
    const json files =
        json::array({firmwareEntry("emu:emu", backend.writeFirmware("slow.bin", 256 * 300), "5.0.0")});
    const json targets = json::array(
        {upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")});
    const S_HttpResult preview = api.preview(previewBody("abort_transfer", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    ASSERT_TRUE(api.waitDevice(isTransferring).is_object()) << backend.output();

    const S_HttpResult zero = api.abort("0");
    EXPECT_EQ(zero.status, 400u) << zero.body;
    EXPECT_EQ(zero.json["error"]["code"], "INVALID_UPGRADE_NO");
    EXPECT_EQ(zero.json["error"]["message"], "Upgrade number must be a non-zero uint32 decimal value");
    const S_HttpResult other = api.abort(std::to_string(upgradeNo + 1));
    EXPECT_EQ(other.status, 409u) << other.body;
    EXPECT_EQ(other.json["error"]["code"], "UPGRADE_ABORT_REJECTED");
    EXPECT_EQ(other.json["error"]["message"], "Upgrade number does not match the active task");
    EXPECT_EQ(other.json["error"]["details"], (json{{"status", "ABORT_REJECTED"},
                                                    {"upgradeNo", upgradeNo + 1},
                                                    {"activeUpgradeNo", upgradeNo},
                                                    {"reason", "UPGRADE_NO_MISMATCH"}}));

    const S_HttpResult accepted = api.abort(std::to_string(upgradeNo));
    ASSERT_EQ(accepted.status, 202u) << accepted.body;
    EXPECT_EQ(accepted.json["data"],
              (json{{"status", "ABORT_ACCEPTED"}, {"upgradeNo", upgradeNo}, {"abortableDeviceCount", 1}}));
    EXPECT_EQ(api.current()["status"], "ABORTING");
    const S_HttpResult again = api.abort(std::to_string(upgradeNo));
    EXPECT_EQ(again.status, 409u) << again.body;
    EXPECT_EQ(again.json["error"]["message"], "Abort has already been requested");
    EXPECT_EQ(again.json["error"]["details"]["reason"], "ABORT_ALREADY_REQUESTED");

    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(final["status"], "ABORTED") << final.dump();
    EXPECT_EQ(final["abortedCount"], 1);
    const json device = final["devices"][0];
    EXPECT_EQ(device["result"], "ABORTED");
    EXPECT_EQ(device["state"], "已终止");
    EXPECT_EQ(device["stage"], "文件传输");
    EXPECT_EQ(device["error"], "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
    EXPECT_EQ(device["reasonCode"], 9);
    EXPECT_EQ(device["reasonName"], "UPGRADE_CONTEXT_RESET");
    EXPECT_EQ(device["targets"][0]["state"], "已终止");
    EXPECT_EQ(device["targets"][0]["detailText"], "装置升级上下文已复位: UPGRADE_CONTEXT_RESET");
    const json record = api.waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object()) << backend.output();
    EXPECT_EQ(record["status"], "ABORTED") << record.dump();
    EXPECT_EQ(record["finalized"], true);
    EXPECT_EQ(record["report"]["devices"][0]["result"], "ABORTED");

    const S_HttpResult late = api.abort(std::to_string(upgradeNo));
    EXPECT_EQ(late.status, 409u) << late.body;
    EXPECT_EQ(late.json["error"]["details"]["reason"], "NO_ACTIVE_UPGRADE");
    const S_SimDeviceSnapshot reset = simulated("emu-1");
    EXPECT_EQ(reset.counters.contextResets, 1u);
    EXPECT_FALSE(reset.upgradeContextOpen);
    EXPECT_EQ(reset.counters.upgradesCompleted, 0u);

    // A device whose flashing was accepted cannot be aborted, and the request changes nothing.
    status = api.waitReady({"pcs-1"});
    ASSERT_TRUE(status.is_object());
    const json pcsFiles =
        json::array({firmwareEntry("pcs:arm", backend.writeFirmware("arm.bin", 700), "5.1.0")});
    const json pcsTargets = {
        upgradeTarget("pcs-1", "PCS_ARM", 1, reportedVersion(status, "pcs-1", "PCS_ARM", 1), "pcs:arm")};
    const S_HttpResult flashPreview = api.preview(previewBody("abort_flashing", pcsTargets, pcsFiles));
    ASSERT_EQ(flashPreview.status, 200u) << flashPreview.body;
    const std::uint32_t flashUpgradeNo = flashPreview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    ASSERT_TRUE(api.waitDevice([](const json& device)
                               { return device["stage"] == "固件烧写" && device["abortAllowed"] == false; })
                    .is_object())
        << backend.output();
    const S_HttpResult refused = api.abort(std::to_string(flashUpgradeNo));
    EXPECT_EQ(refused.status, 409u) << refused.body;
    EXPECT_EQ(refused.json["error"]["message"],
              "All remaining devices have entered the non-interruptible stage");
    EXPECT_EQ(refused.json["error"]["details"],
              (json{{"status", "ABORT_REJECTED"},
                    {"upgradeNo", flashUpgradeNo},
                    {"reason", "ALL_REMAINING_DEVICES_NON_INTERRUPTIBLE"}}));
    const json flashed = api.waitEnded(flashUpgradeNo);
    ASSERT_TRUE(flashed.is_object()) << backend.output();
    EXPECT_EQ(flashed["status"], "SUCCESS") << flashed.dump();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST_F(UpgradeProcessTest, StopDuringATransferFinalisesTheTaskAsStopped)
{
    S_BackendSettings settings;
    settings.chunkSize = 256;
    CUpgradeBackend backend(simulate({slowDevice("emu-1", E_ProtocolDeviceType::EMU)}), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    std::uint32_t upgradeNo = 0;
    {
        CUpgradeApi api(backend.port());
        const json status = api.waitReady({"emu-1"});
        ASSERT_TRUE(status.is_object()) << backend.output();
        const json files =
            json::array({firmwareEntry("emu:emu", backend.writeFirmware("slow.bin", 256 * 300), "6.0.0")});
        const json targets = {
            upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")};
        const S_HttpResult preview = api.preview(previewBody("stopped_transfer", targets, files));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
        ASSERT_EQ(api.start().status, 202u);
        ASSERT_TRUE(api.waitDevice(isTransferring).is_object()) << backend.output();
    }
    ASSERT_EQ(backend.stop(), 0) << backend.output();
    EXPECT_NE(backend.child().standardOutput().find("[HISTORY] Final report persisted: upgradeNo=" +
                                                    std::to_string(upgradeNo) + ", status=STOPPED"),
              std::string::npos)
        << backend.output();

    // The next run finds the row finalised: nothing of the stopped task is left running.
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json record = findRecord(api.history(), upgradeNo);
    ASSERT_TRUE(record.is_object()) << backend.output();
    EXPECT_EQ(record["status"], "STOPPED");
    EXPECT_EQ(record["finalized"], true);
    EXPECT_EQ(record["report"]["status"], "STOPPED");
    EXPECT_EQ(record["report"]["active"], false);
    const json device = record["report"]["devices"][0];
    EXPECT_EQ(device["result"], "FAILED");
    EXPECT_EQ(device["error"], "等待文件分片确认时执行服务停止");
    EXPECT_EQ(device["reasonName"], "INTERNAL_ERROR");
    EXPECT_EQ(api.current()["status"], "IDLE");
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST_F(UpgradeProcessTest, HealthAndEventsGoOnWhileALargePreviewIsDigested)
{
    CDeviceSimulator leaving;
    startSimulator(leaving, {quickDevice("emu-2", E_ProtocolDeviceType::EMU)});
    std::vector<S_TestNode> nodes = simulate({quickDevice("emu-1", E_ProtocolDeviceType::EMU)});
    nodes.push_back(S_TestNode{"emu-2", "EMU", leaving.boundPort("emu-2")});
    S_BackendSettings settings;
    settings.chunkSize = 32768;
    CUpgradeBackend backend(nodes, settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1", "emu-2"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    CTestEventClient events(backend.port());
    ASSERT_TRUE(events.connect()) << events.failure();

    // 1 GiB without writing it: a sparse file is still read and digested in full.
    const auto large = backend.writeFirmware("large.bin", 1);
    std::filesystem::resize_file(large, std::uintmax_t{1} << 30);
    const std::string body =
        previewBody("large_preview",
                    json::array({upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1),
                                               "emu:emu")}),
                    json::array({firmwareEntry("emu:emu", large, "7.0.0")}))
            .dump();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(backend.port()) + "\r\n";
    CTestHttpClient previewClient(backend.port(), std::chrono::minutes(10));
    ASSERT_TRUE(previewClient.sendRaw("POST /api/v1/upgrades/preview HTTP/1.1\r\n" + host +
                                      "Content-Type: application/json\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body));
    ASSERT_TRUE(backend.child().waitForOutput("[UPGRADE] Preview request received")) << backend.output();
    // The history waits for the preview; with both running, the server is still answering.
    CTestHttpClient historyClient(backend.port(), std::chrono::minutes(10));
    ASSERT_TRUE(historyClient.sendRaw("GET /api/v1/upgrades/history HTTP/1.1\r\n" + host + "\r\n"));
    const auto answered = [&](const std::string& route)
    { return backend.child().standardOutput().find("[HTTP] " + route + " -> ") != std::string::npos; };

    CTestHttpClient healthClient(backend.port());
    for (int round = 0; round < 3; ++round)
    {
        const auto sent = std::chrono::steady_clock::now();
        const S_HttpResult health = healthClient.request("GET", "/api/v1/health");
        const auto latency = std::chrono::steady_clock::now() - sent;
        ASSERT_EQ(health.status, 200u) << health.failure << health.body;
        std::cout << "[ INFO     ] health answered in "
                  << std::chrono::duration_cast<std::chrono::microseconds>(latency).count() / 1000.0
                  << " ms while the preview runs\n";
        EXPECT_FALSE(answered("POST /api/v1/upgrades/preview")) << "the preview finished too soon to tell";
        EXPECT_FALSE(answered("GET /api/v1/upgrades/history"));
    }

    // A device that goes away still reaches the event stream.
    leaving.stop();
    ASSERT_TRUE(readEventUntil(events,
                               [](const json& event)
                               {
                                   return event["type"] == "device.status" &&
                                          findNode(event["data"], "emu-2")["connectionState"] != "CONNECTED";
                               }));
    EXPECT_FALSE(answered("POST /api/v1/upgrades/preview"));

    const S_HttpResult preview = previewClient.readResponse();
    ASSERT_EQ(preview.status, 200u) << preview.failure << preview.body;
    const json& file = preview.json["data"]["snapshot"]["files"][0];
    EXPECT_EQ(file["fileSize"], 1073741824);
    EXPECT_EQ(file["totalChunks"], 32768);
    const S_HttpResult history = historyClient.readResponse();
    ASSERT_EQ(history.status, 200u) << history.failure << history.body;
    EXPECT_EQ(history.json["data"]["recordCount"], 1);
    EXPECT_EQ(history.json["data"]["records"][0]["status"], "PREVIEW_READY");
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
