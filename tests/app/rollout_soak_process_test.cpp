// A group's soak through the real ota-backend and simulated EMUs: a device that faults, falls back
// to its old image or leaves the network after its restart fails its soak and halts the rollout
// before the next group; a passing soak survives a killed backend; pause waits for the soak's end
// and cancel ends it at once.
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

const std::vector<std::string> kEmus = {"emu-1", "emu-2", "emu-3"};

class RolloutSoakTest : public CRolloutSiteTest
{
protected:
    // Three quick EMUs; `fault` (if any) armed on emu-1 for after its upgrade restart.
    void startSite(std::optional<S_SimFault> fault = std::nullopt)
    {
        std::vector<S_SimDeviceSpec> devices;
        for (const std::string& nodeId : kEmus)
        {
            devices.push_back(quickDevice(nodeId, E_ProtocolDeviceType::EMU));
            if (fault && nodeId == "emu-1")
            {
                devices.back().faults.push_back(*fault);
            }
        }
        startSimulator(simulator, devices);
        backend = std::make_unique<CUpgradeBackend>(nodesOf(simulator, devices));
        ASSERT_TRUE(backend->launch()) << backend->output();
        connect();
        status = api->waitReady(kEmus);
        ASSERT_TRUE(status.is_object()) << backend->output();
        firmware = backend->writeFirmware("emu.bin", 1500);
    }

    // One device per group, soaked for `seconds`, its status asked every 300 ms.
    std::uint32_t startSoakingRollout(const std::string& rolloutId, unsigned seconds)
    {
        const json policy = {{"groupSizes", {1, 1}}, {"soakSeconds", seconds}, {"soakQueryIntervalMs", 300}};
        const std::uint32_t rolloutNo =
            rollouts->createOk(rolloutBody(rolloutId, emuTargets(status, kEmus), files(), policy));
        EXPECT_EQ(rollouts->operate(rolloutNo, "start").status, 202u);
        return rolloutNo;
    }

    json waitGroup(std::uint32_t rolloutNo, unsigned groupNo, const std::string& wanted)
    {
        const json rollout = rollouts->waitRollout(
            rolloutNo, [&](const json& r) { return rolloutGroup(r, groupNo)["status"] == wanted; });
        EXPECT_TRUE(rollout.is_object()) << "group " << groupNo << " never " << wanted << "\n"
                                         << backend->output();
        return rollout;
    }

    std::uint64_t targetListsReceived(const std::string& nodeId)
    {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        EXPECT_TRUE(simulator.snapshot(nodeId, snapshot, error)) << error;
        return snapshot.counters.framesReceived[toProtocolByte(E_ProtocolMessageType::MSG_EMS_TARGET_LIST)];
    }
};

struct S_SoakFailureCase
{
    E_SimFaultKind kind;
    // The device result's reason, from the version emu-1 reported before the rollout.
    std::function<std::string(const std::string& oldVersion)> reason;
};

class RolloutSoakFailureTest : public RolloutSoakTest, public ::testing::WithParamInterface<S_SoakFailureCase>
{
};

TEST_P(RolloutSoakFailureTest, AFailedSoakHaltsTheRolloutBeforeTheNextGroup)
{
    // Well after the restart verification, well before the soak's end.
    S_SimFault fault = simFault(GetParam().kind);
    fault.delayMs = 1500;
    if (fault.kind == E_SimFaultKind::FAULT_AFTER_RESTART)
    {
        fault.reasonCode = toProtocolByte(E_ProtocolReasonCode::STORAGE_NOT_ENOUGH);
    }
    startSite(fault);
    const std::string oldVersion = reportedVersion(status, "emu-1", "EMU", 1);
    const std::uint32_t rolloutNo = startSoakingRollout("soakfail", 3);

    const json halted =
        rollouts->waitRollout(rolloutNo, [](const json& r) { return r["status"] == "HALTED"; });
    ASSERT_TRUE(halted.is_object()) << backend->output();
    EXPECT_EQ(rolloutGroup(halted, 1)["status"], "FAILED");
    EXPECT_EQ(rolloutGroup(halted, 2)["status"], "PENDING");
    EXPECT_EQ(halted["failedCount"], 1);
    const json device = rolloutDevice(halted, "emu-1");
    EXPECT_EQ(device["result"], "FAILED");
    EXPECT_EQ(device["error"], GetParam().reason(oldVersion));
    EXPECT_EQ(targetListsReceived("emu-2"), 0u);
    // The task itself succeeded; its history row says so.
    const json record = api->waitFinalized(device["upgradeNo"]);
    ASSERT_TRUE(record.is_object());
    EXPECT_EQ(record["status"], "SUCCESS");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RolloutSoakFailureTest,
    ::testing::Values(S_SoakFailureCase{E_SimFaultKind::FAULT_AFTER_RESTART,
                                        [](const std::string&)
                                        {
                                            return std::string("Soak: the device reported FAULT (") +
                                                   protocolReasonCodeName(toProtocolByte(
                                                       E_ProtocolReasonCode::STORAGE_NOT_ENOUGH)) +
                                                   ")";
                                        }},
                      S_SoakFailureCase{E_SimFaultKind::ROLLBACK_AFTER_RESTART,
                                        [](const std::string& oldVersion)
                                        { return "Soak: the device reported " + oldVersion + " for EMU#1"; }},
                      S_SoakFailureCase{E_SimFaultKind::DISCONNECT_AFTER_RESTART, [](const std::string&)
                                        { return std::string("Soak: the device is not connected"); }}),
    [](const ::testing::TestParamInfo<S_SoakFailureCase>& info)
    { return std::string(simFaultKindName(info.param.kind)); });

TEST_F(RolloutSoakTest, APassingSoakIsDoneAgainAfterARestartAndTheRolloutSucceeds)
{
    startSite();
    const std::uint32_t rolloutNo = startSoakingRollout("soakpass", 2);
    const json soaking = waitGroup(rolloutNo, 1, "SOAKING");
    ASSERT_TRUE(soaking.is_object());
    EXPECT_EQ(soaking["status"], "RUNNING");
    EXPECT_EQ(rolloutDevice(soaking, "emu-1")["result"], "SUCCESS");
    EXPECT_EQ(soaking["policy"]["soakSeconds"], 2);

    backend->child().sendSignal(SIGKILL);
    ASSERT_TRUE(backend->child().waitForExit(std::chrono::seconds(30)).has_value());
    ASSERT_TRUE(backend->launch()) << backend->output();
    connect();
    const json paused = rollouts->current()["rollout"];
    ASSERT_TRUE(paused.is_object());
    EXPECT_EQ(paused["status"], "PAUSED");
    EXPECT_EQ(rolloutGroup(paused, 1)["status"], "SOAKING");
    EXPECT_EQ(targetListsReceived("emu-2"), 0u);

    ASSERT_EQ(rollouts->operate(rolloutNo, "resume").status, 202u);
    const json done =
        rollouts->waitRollout(rolloutNo, [](const json& r) { return r["status"] == "SUCCESS"; });
    ASSERT_TRUE(done.is_object()) << backend->output();
    EXPECT_EQ(done["successCount"], 3);
    for (unsigned groupNo = 1; groupNo <= 3; ++groupNo)
    {
        EXPECT_EQ(rolloutGroup(done, groupNo)["status"], "SUCCESS");
    }
}

TEST_F(RolloutSoakTest, PauseWaitsForTheSoaksEndAndCancelEndsItAtOnce)
{
    startSite();
    const std::uint32_t rolloutNo = startSoakingRollout("soakops", 3);
    ASSERT_TRUE(waitGroup(rolloutNo, 1, "SOAKING").is_object());
    ASSERT_EQ(rollouts->operate(rolloutNo, "pause").status, 202u);
    // The soak goes on to its end and decides the gate; the next group waits for a resume.
    const json paused = waitGroup(rolloutNo, 1, "SUCCESS");
    ASSERT_TRUE(paused.is_object());
    EXPECT_EQ(paused["status"], "PAUSED");
    EXPECT_EQ(paused["currentGroupNo"], 2);
    EXPECT_EQ(targetListsReceived("emu-2"), 0u);

    ASSERT_EQ(rollouts->operate(rolloutNo, "resume").status, 202u);
    ASSERT_TRUE(waitGroup(rolloutNo, 2, "SOAKING").is_object());
    const S_HttpResult cancelled = rollouts->operate(rolloutNo, "cancel");
    ASSERT_EQ(cancelled.status, 202u) << cancelled.body;
    EXPECT_EQ(cancelled.json["data"]["status"], "CANCELLED") << cancelled.body;
    const json ended =
        rollouts->waitRollout(rolloutNo, [](const json& r) { return r["status"] == "CANCELLED"; });
    ASSERT_TRUE(ended.is_object());
    EXPECT_EQ(rolloutGroup(ended, 2)["status"], "ABORTED");
    EXPECT_EQ(rolloutGroup(ended, 3)["status"], "PENDING");
    EXPECT_EQ(targetListsReceived("emu-3"), 0u);
}

}  // namespace
}  // namespace ota::test
