// Rollouts run by the real ota-backend against simulated EMUs through HTTP: a failing canary, a
// threshold inside a group of ten, manual advance with an ordinary task between groups (and the
// history kept for the paused rollout), a scheduled start that holds the site, a backend killed
// mid-rollout and resumed, and retry rounds for a device that dropped its link during the transfer.
#include "app/rollout_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

std::vector<std::string> emuIds(std::size_t count)
{
    std::vector<std::string> ids;
    for (std::size_t i = 1; i <= count; ++i)
    {
        ids.push_back("emu-" + std::to_string(i));
    }
    return ids;
}

class RolloutProcessTest : public CRolloutSiteTest
{
protected:
    // A site of `count` quick EMUs, each adjusted by `adjust`, and a backend over it.
    void startSite(std::size_t count, const std::function<void(S_SimDeviceSpec&)>& adjust = {},
                   S_BackendSettings settings = {})
    {
        for (const std::string& nodeId : emuIds(count))
        {
            devices.push_back(quickDevice(nodeId, E_ProtocolDeviceType::EMU));
            if (adjust)
            {
                adjust(devices.back());
            }
        }
        startSimulator(simulator, devices);
        backend = std::make_unique<CUpgradeBackend>(nodesOf(simulator, devices), settings);
        ASSERT_TRUE(backend->launch()) << backend->output();
        connect();
        status = api->waitReady(emuIds(count));
        ASSERT_TRUE(status.is_object()) << backend->output();
        // Two chunks of the tests' 1024-byte chunk size.
        firmware = backend->writeFirmware("emu.bin", 1500);
    }

    S_SimDeviceSnapshot simulated(const std::string& nodeId)
    {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        EXPECT_TRUE(simulator.snapshot(nodeId, snapshot, error)) << error;
        return snapshot;
    }

    std::uint64_t targetListsReceived(const std::string& nodeId)
    {
        return simulated(nodeId)
            .counters.framesReceived[toProtocolByte(E_ProtocolMessageType::MSG_EMS_TARGET_LIST)];
    }

    std::uint32_t startRollout(const json& body)
    {
        const std::uint32_t rolloutNo = rollouts->createOk(body);
        const S_HttpResult started = rollouts->operate(rolloutNo, "start");
        EXPECT_EQ(started.status, 202u) << started.body;
        return rolloutNo;
    }

    json waitStatus(std::uint32_t rolloutNo, const std::string& wanted)
    {
        const json rollout =
            rollouts->waitRollout(rolloutNo, [&](const json& r) { return r["status"] == wanted; });
        EXPECT_TRUE(rollout.is_object()) << "never " << wanted << "\n" << backend->output();
        return rollout;
    }

    std::vector<S_SimDeviceSpec> devices;
};

TEST_F(RolloutProcessTest, ACanaryWhoseFlashFailsHaltsTheRolloutBeforeAnyOtherDeviceGetsATargetList)
{
    startSite(3,
              [](S_SimDeviceSpec& device)
              {
                  if (device.nodeId == "emu-1")
                  {
                      S_SimFault fault;
                      fault.kind = E_SimFaultKind::FLASH_FAILURE;
                      device.faults.push_back(fault);
                  }
              });
    const std::uint32_t rolloutNo = rollouts->createOk(
        rolloutBody("canary", emuTargets(status, emuIds(3)), files(), {{"groupSizes", {1}}}));
    ASSERT_NE(rolloutNo, 0u);
    // Creating stores the rollout only: no task, no history row.
    EXPECT_TRUE(api->history()["records"].empty());
    EXPECT_EQ(api->current()["status"], "IDLE");
    ASSERT_EQ(rollouts->operate(rolloutNo, "start").status, 202u);

    const json halted = waitStatus(rolloutNo, "HALTED");
    ASSERT_TRUE(halted.is_object());
    EXPECT_EQ(
        halted["reason"],
        "1 device(s) failed since the rollout was started or last resumed, reaching maxFailedDevices 1");
    EXPECT_EQ(rolloutGroup(halted, 1)["status"], "FAILED");
    EXPECT_EQ(rolloutGroup(halted, 2)["status"], "PENDING");
    EXPECT_EQ(rolloutGroup(halted, 2)["upgradeNos"], json::array());
    EXPECT_EQ(halted["currentGroupNo"], 1);
    EXPECT_EQ(halted["failedCount"], 1);
    const json canary = rolloutDevice(halted, "emu-1");
    EXPECT_EQ(canary["result"], "FAILED");
    for (const char* nodeId : {"emu-2", "emu-3"})
    {
        EXPECT_EQ(rolloutDevice(halted, nodeId)["result"], "PENDING");
        EXPECT_EQ(rolloutDevice(halted, nodeId)["upgradeNo"], 0);
        EXPECT_EQ(targetListsReceived(nodeId), 0u) << nodeId;
    }
    // The canary's task is an ordinary task of the history, named after the rollout, and the
    // rollout shows the device's error text from it.
    const std::uint32_t upgradeNo = canary["upgradeNo"];
    const json record = api->waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object()) << backend->output();
    EXPECT_EQ(record["upgradeId"], "canary_g1");
    EXPECT_EQ(record["status"], "FAILED");
    EXPECT_EQ(canary["error"], findDevice(record["report"], "emu-1")["error"]);
    EXPECT_FALSE(canary["error"].get<std::string>().empty());
    EXPECT_EQ(rollouts->current()["rollout"]["rolloutNo"], rolloutNo);
}

TEST_F(RolloutProcessTest, TheThresholdReachedInAGroupOfTenAbortsTheRestOfIt)
{
    startSite(10,
              [](S_SimDeviceSpec& device)
              {
                  if (device.nodeId == "emu-1" || device.nodeId == "emu-2")
                  {
                      S_SimFault fault;
                      fault.kind = E_SimFaultKind::REFUSE_TARGET_LIST;
                      device.faults.push_back(fault);
                  }
                  else
                  {
                      device.timings.preparationMs = 60000;  // still interruptible when the abort comes
                  }
              });
    const std::uint32_t rolloutNo =
        startRollout(rolloutBody("ten", emuTargets(status, emuIds(10)), files(), {{"maxFailedDevices", 2}}));
    const json halted = waitStatus(rolloutNo, "HALTED");
    ASSERT_TRUE(halted.is_object());
    EXPECT_EQ(
        halted["reason"],
        "2 device(s) failed since the rollout was started or last resumed, reaching maxFailedDevices 2");
    EXPECT_EQ(rolloutGroup(halted, 1)["status"], "FAILED");
    EXPECT_EQ(halted["failedCount"], 2);
    EXPECT_EQ(halted["abortedCount"], 8);
    EXPECT_EQ(halted["successCount"], 0);
    const std::uint32_t upgradeNo = rolloutGroup(halted, 1)["upgradeNos"][0];
    const json record = api->waitFinalized(upgradeNo);
    ASSERT_TRUE(record.is_object());
    EXPECT_EQ(record["status"], "FAILED");
    EXPECT_EQ(record["report"]["abortedCount"], 8);
    for (std::size_t i = 3; i <= 10; ++i)
    {
        EXPECT_EQ(simulated("emu-" + std::to_string(i)).counters.upgradesCompleted, 0u);
    }
}

TEST_F(RolloutProcessTest, ManualAdvanceWaitsAfterTheCanaryAndOrdinaryTasksMayRunMeanwhile)
{
    startSite(2);
    const std::uint32_t rolloutNo = startRollout(rolloutBody("manual", emuTargets(status, emuIds(2)), files(),
                                                             {{"groupSizes", {1}}, {"manualAdvance", true}}));
    const json paused = waitStatus(rolloutNo, "PAUSED");
    ASSERT_TRUE(paused.is_object());
    EXPECT_EQ(paused["reason"], "Group 1 passed; resume to start group 2");
    EXPECT_EQ(rolloutGroup(paused, 1)["status"], "SUCCESS");
    EXPECT_EQ(paused["currentGroupNo"], 2);
    EXPECT_EQ(targetListsReceived("emu-2"), 0u);
    // Paused, it still names its first group's task: the history is not cleared under it, and the
    // metrics show the paused rollout.
    const S_HttpResult clear = api->post("/api/v1/upgrades/history/clear", {});
    EXPECT_EQ(clear.status, 409u);
    EXPECT_EQ(clear.json["error"]["message"], "A rollout is not finished");
    const S_HttpResult metrics = api->get("/metrics");
    EXPECT_NE(metrics.body.find("ota_rollout_status{status=\"PAUSED\"} 1\n"), std::string::npos)
        << metrics.body;

    // Paused, the site is the operators' again: an ordinary task runs, and the rollout cannot be
    // resumed until it has ended.
    const json ready = api->waitReady({"emu-1"});
    const S_HttpResult preview = api->preview(previewBody(
        "between_groups",
        json::array({upgradeTarget("emu-1", "EMU", 1, reportedVersion(ready, "emu-1", "EMU", 1), "emu:emu")}),
        json::array({firmwareEntry("emu:emu", backend->writeFirmware("other.bin", 1500, 3), "3.0.0")})));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t ordinary = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api->start().status, 202u);
    const S_HttpResult early = rollouts->operate(rolloutNo, "resume");
    if (early.status == 409u)  // the ordinary task may have ended already on a fast machine
    {
        EXPECT_EQ(early.json["error"]["code"], "ROLLOUT_OPERATION_REJECTED");
        EXPECT_EQ(early.json["error"]["message"],
                  "An upgrade task is running; resume the rollout when it has ended");
        ASSERT_TRUE(api->waitEnded(ordinary).is_object());
        ASSERT_EQ(rollouts->operate(rolloutNo, "resume").status, 202u);
    }
    else
    {
        ASSERT_EQ(early.status, 202u) << early.body;
    }
    const json done = waitStatus(rolloutNo, "SUCCESS");
    ASSERT_TRUE(done.is_object());
    EXPECT_EQ(done["reason"], "");
    EXPECT_EQ(done["successCount"], 2);
    EXPECT_EQ(done["currentGroupNo"], 0);
    EXPECT_EQ(rolloutGroup(done, 2)["status"], "SUCCESS");
    EXPECT_EQ(simulated("emu-2").counters.upgradesCompleted, 1u);
    EXPECT_EQ(reportedVersion(api->waitReady({"emu-2"}), "emu-2", "EMU", 1), "2.0.0");
    EXPECT_EQ(rollouts->current()["active"], false);
}

TEST_F(RolloutProcessTest, AScheduledRolloutHoldsTheSiteUntilItRunsAtItsTime)
{
    startSite(1);
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::int64_t startAt = now + 2000;
    const std::uint32_t rolloutNo = rollouts->createOk(
        rolloutBody("scheduled", emuTargets(status, {"emu-1"}), files(), {{"startAt", startAt}}));
    const S_HttpResult started = rollouts->operate(rolloutNo, "start");
    ASSERT_EQ(started.status, 202u) << started.body;
    EXPECT_EQ(started.json["data"]["status"], "SCHEDULED");
    EXPECT_EQ(started.json["data"]["startedAt"], 0);
    const json current = rollouts->current();
    EXPECT_EQ(current["active"], true);
    EXPECT_EQ(current["rollout"]["status"], "SCHEDULED");

    // While it is SCHEDULED, other tasks, scene reloads and history clears are refused.
    const S_HttpResult preview =
        api->preview(previewBody("meanwhile", emuTargets(status, {"emu-1"}), files()));
    EXPECT_EQ(preview.status, 422u);
    EXPECT_EQ(preview.json["error"]["message"], "A rollout is in progress");
    const S_HttpResult start = api->start();
    EXPECT_EQ(start.status, 409u);
    EXPECT_EQ(start.json["error"]["message"], "A rollout is in progress");
    const S_HttpResult reload = api->post("/api/v1/scene/reload", {});
    EXPECT_EQ(reload.json["error"]["message"], "An upgrade is active; the scene cannot be reloaded");
    const S_HttpResult clear = api->post("/api/v1/upgrades/history/clear", {});
    EXPECT_EQ(clear.json["error"]["message"], "An upgrade is active; history cannot be cleared");
    const S_HttpResult second = rollouts->operate(rolloutNo, "start");
    EXPECT_EQ(second.status, 409u);
    EXPECT_EQ(second.json["error"]["message"],
              "Rollout " + std::to_string(rolloutNo) + " is SCHEDULED; only a READY rollout can be started");

    const json done = waitStatus(rolloutNo, "SUCCESS");
    ASSERT_TRUE(done.is_object());
    EXPECT_GE(done["startedAt"].get<std::int64_t>(), startAt);
    EXPECT_GE(done["finishedAt"].get<std::int64_t>(), done["startedAt"].get<std::int64_t>());
}

TEST_F(RolloutProcessTest, ABackendKilledMidRolloutIsPausedAfterItsRestartAndResumesToSuccess)
{
    S_BackendSettings settings;
    settings.chunkSize = 256;
    startSite(
        3, [](S_SimDeviceSpec& device) { device.timings.replyLatencyMs = device.nodeId == "emu-1" ? 0 : 20; },
        settings);
    firmware = backend->writeFirmware("long.bin", 256 * 60);
    const std::uint32_t rolloutNo =
        startRollout(rolloutBody("killed", emuTargets(status, emuIds(3)), files(), {{"groupSizes", {1}}}));
    const json transferring = rollouts->waitRollout(
        rolloutNo, [](const json& r) { return rolloutGroup(r, 2)["status"] == "RUNNING"; });
    ASSERT_TRUE(transferring.is_object()) << backend->output();
    const std::uint32_t killedTask = rolloutGroup(transferring, 2)["upgradeNos"][0];
    // The group's own task transferring (the state of group 1's finished task may still be current).
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const json state = api->current();
            if (state["upgradeNo"] != killedTask)
            {
                return false;
            }
            for (const json& device : state["devices"])
            {
                if (device["currentChunkNo"] >= 2)
                {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(60)))
        << backend->output();
    backend->child().sendSignal(SIGKILL);
    ASSERT_TRUE(backend->child().waitForExit(std::chrono::seconds(30)).has_value());

    ASSERT_TRUE(backend->launch()) << backend->output();
    connect();
    const json current = rollouts->current();
    ASSERT_EQ(current["active"], true) << current.dump();
    const json paused = current["rollout"];
    EXPECT_EQ(paused["status"], "PAUSED");
    EXPECT_EQ(paused["reason"], "The backend restarted while the rollout was running");
    EXPECT_EQ(rolloutGroup(paused, 1)["status"], "SUCCESS");
    EXPECT_EQ(rolloutGroup(paused, 2)["status"], "ABORTED");
    EXPECT_EQ(paused["currentGroupNo"], 2);
    // Its devices take their results from the task's final report, finalised STOPPED at start-up.
    const json record = findRecord(api->history(), killedTask);
    ASSERT_EQ(record["status"], "STOPPED") << record.dump();
    for (const char* nodeId : {"emu-2", "emu-3"})
    {
        EXPECT_EQ(rolloutDevice(paused, nodeId)["result"], findDevice(record["report"], nodeId)["result"])
            << nodeId;
        EXPECT_EQ(rolloutDevice(paused, nodeId)["upgradeNo"], killedTask);
    }
    EXPECT_FALSE(backend->child().standardOutput().find("[ROLLOUT] Rollout " + std::to_string(rolloutNo) +
                                                        " RUNNING -> PAUSED") == std::string::npos)
        << backend->output();

    // Devices that kept the killed task's context say UPGRADING; the group's task replaces it.
    for (const char* nodeId : {"emu-2", "emu-3"})
    {
        ASSERT_TRUE(api->waitReady({nodeId}, simulated(nodeId).upgradeContextOpen ? "UPGRADING" : "READY")
                        .is_object())
            << nodeId << "\n"
            << backend->output();
    }
    ASSERT_EQ(rollouts->operate(rolloutNo, "resume").status, 202u);
    const json done = waitStatus(rolloutNo, "SUCCESS");
    ASSERT_TRUE(done.is_object());
    EXPECT_EQ(done["successCount"], 3);
    const json group2 = rolloutGroup(done, 2);
    EXPECT_EQ(group2["status"], "SUCCESS");
    ASSERT_EQ(group2["upgradeNos"].size(), 2u);
    EXPECT_EQ(group2["upgradeNos"][0], killedTask);
    EXPECT_EQ(findRecord(api->history(), group2["upgradeNos"][1].get<std::uint32_t>())["upgradeId"],
              "killed_g2_2");
}

TEST_F(RolloutProcessTest, RetryRoundsUpgradeADeviceThatDroppedItsLinkDuringTheTransfer)
{
    startSite(2,
              [](S_SimDeviceSpec& device)
              {
                  if (device.nodeId == "emu-1")
                  {
                      device.timings.flashMs = 1500;  // the group's task outlasts emu-2's reconnection
                  }
                  else
                  {
                      S_SimFault fault;
                      fault.kind = E_SimFaultKind::DISCONNECT;
                      fault.request = E_SimRequest::FILE_CHUNK;
                      fault.fileNo = 1;
                      fault.chunkNo = 1;
                      fault.times = 1;
                      device.faults.push_back(fault);
                  }
              });
    const std::uint32_t rolloutNo =
        startRollout(rolloutBody("retried", emuTargets(status, emuIds(2)), files(),
                                 {{"successPercent", 50}, {"maxFailedDevices", 2}, {"retryRounds", 2}}));
    const json done = waitStatus(rolloutNo, "SUCCESS");
    ASSERT_TRUE(done.is_object());
    const json group = rolloutGroup(done, 1);
    EXPECT_EQ(group["status"], "SUCCESS");
    ASSERT_EQ(group["upgradeNos"].size(), 2u) << done.dump();
    const std::uint32_t groupTask = group["upgradeNos"][0];
    const std::uint32_t retryTask = group["upgradeNos"][1];
    EXPECT_EQ(rolloutDevice(done, "emu-1")["upgradeNo"], groupTask);
    EXPECT_EQ(rolloutDevice(done, "emu-2")["upgradeNo"], retryTask);
    EXPECT_EQ(rolloutDevice(done, "emu-2")["result"], "SUCCESS");
    const json history = api->history();
    EXPECT_EQ(findDevice(findRecord(history, groupTask)["report"], "emu-2")["result"], "FAILED");
    const json retry = findRecord(history, retryTask);
    EXPECT_EQ(retry["upgradeId"], "retried_r1");
    EXPECT_EQ(retry["snapshot"]["targetCount"], 1);
    EXPECT_EQ(simulated("emu-2").counters.upgradesCompleted, 1u);
}

}  // namespace
}  // namespace ota::test
