// A backend killed in the middle of a transfer, started again on the same history database: the
// interrupted task is finalised at start-up, and the device that still holds the dead task's
// upgrade context can be upgraded again.
#include "app/upgrade_process_site.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

TEST(CrashRecoveryProcessTest, TaskOfAKilledBackendIsStoppedAtStartupAndItsDeviceUpgradesAgain)
{
    CDeviceSimulator simulator;
    S_SimDeviceSpec device = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    device.timings.replyLatencyMs = 20;  // a transfer of a few hundred chunks takes seconds
    startSimulator(simulator, {device});
    S_BackendSettings settings;
    settings.chunkSize = 256;
    CUpgradeBackend backend(nodesOf(simulator, {device}), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();

    std::uint32_t killedTask = 0;
    std::string currentVersion;
    {
        CUpgradeApi api(backend.port());
        const json status = api.waitReady({"emu-1"});
        ASSERT_TRUE(status.is_object()) << backend.output();
        currentVersion = reportedVersion(status, "emu-1", "EMU", 1);
        const json files =
            json::array({firmwareEntry("emu:emu", backend.writeFirmware("long.bin", 256 * 400), "6.0.0")});
        const json targets = {upgradeTarget("emu-1", "EMU", 1, currentVersion, "emu:emu")};
        const S_HttpResult preview = api.preview(previewBody("killed_transfer", targets, files));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        killedTask = preview.json["data"]["snapshot"]["upgradeNo"];
        ASSERT_EQ(api.start().status, 202u);
        ASSERT_TRUE(
            api.waitDevice([](const json& state)
                           { return state["state"] == "发送文件分片" && state["currentChunkNo"] >= 2; })
                .is_object())
            << backend.output();
        // The row is RUNNING with a stored state that has the device in its transfer before the
        // kill (publications, and so the row's writes, may trail the live state).
        ASSERT_TRUE(waitUntil(
            [&]
            {
                const json record = findRecord(api.history(), killedTask);
                return record["status"] == "RUNNING" && record["state"].is_object() &&
                       record["state"]["devices"].is_array() && !record["state"]["devices"].empty() &&
                       record["state"]["devices"][0]["stage"] == "文件传输";
            }))
            << findRecord(api.history(), killedTask).dump();
    }
    backend.child().sendSignal(SIGKILL);
    ASSERT_TRUE(backend.child().waitForExit(std::chrono::seconds(30)).has_value());
    S_SimDeviceSnapshot held;
    std::string error;
    ASSERT_TRUE(simulator.snapshot("emu-1", held, error)) << error;
    EXPECT_TRUE(held.upgradeContextOpen);
    EXPECT_EQ(held.contextUpgradeNo, killedTask);

    ASSERT_TRUE(backend.launch()) << backend.output();
    const std::string startup = backend.child().standardOutput();
    const std::size_t finalized = startup.find(
        "[HISTORY] Interrupted upgrade finalized at start-up: upgradeNo=" + std::to_string(killedTask) +
        "\n");
    EXPECT_NE(finalized, std::string::npos) << backend.output();
    // Not inside the start-up steps, which tools read as one block: after their last line.
    const std::size_t lastStep = startup.find("[INIT] Workspace loaded at: ");
    ASSERT_NE(lastStep, std::string::npos) << startup;
    EXPECT_GT(finalized, lastStep) << startup;
    CUpgradeApi api(backend.port());
    const json record = findRecord(api.history(), killedTask);
    ASSERT_TRUE(record.is_object()) << backend.output();
    EXPECT_EQ(record["status"], "STOPPED");
    EXPECT_EQ(record["finalized"], true);
    EXPECT_EQ(record["report"]["status"], "STOPPED");
    EXPECT_EQ(record["report"]["active"], false);
    const json ended = record["report"]["devices"][0];
    EXPECT_EQ(ended["result"], "FAILED");
    EXPECT_EQ(ended["state"], "执行失败");
    EXPECT_EQ(ended["stage"], "文件传输");
    EXPECT_NE(ended["error"].get<std::string>().find("后台服务重启"), std::string::npos) << ended.dump();
    EXPECT_EQ(api.current()["status"], "IDLE");

    // The device still holds the killed task's context and says so; a new task replaces it.
    const json status = api.waitReady({"emu-1"}, "UPGRADING");
    ASSERT_TRUE(status.is_object()) << backend.output();
    const json files =
        json::array({firmwareEntry("emu:emu", backend.writeFirmware("short.bin", 256 * 8, 2), "6.0.1")});
    const json targets = {upgradeTarget("emu-1", "EMU", 1, currentVersion, "emu:emu")};
    const S_HttpResult preview = api.preview(previewBody("after_the_kill", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    EXPECT_GT(upgradeNo, killedTask);
    ASSERT_EQ(api.start().status, 202u);
    const json state = api.waitEnded(upgradeNo);
    ASSERT_TRUE(state.is_object()) << backend.output();
    EXPECT_EQ(state["status"], "SUCCESS") << state.dump();
    const json finalRow = api.waitFinalized(upgradeNo);
    ASSERT_TRUE(finalRow.is_object()) << backend.output();
    EXPECT_EQ(finalRow["status"], "SUCCESS");
    EXPECT_EQ(reportedVersion(api.waitReady({"emu-1"}), "emu-1", "EMU", 1), "6.0.1");
    EXPECT_EQ(backend.stop(), 0) << backend.output();
    simulator.stop();
}

}  // namespace
}  // namespace ota::test
