// A rollout's per-type cap through the real ota-backend and simulated PCSs: with more workers than
// the cap, the upgrade.current events never show more PCSs between their target list and the end
// of their restart verification than the cap.
#include "app/rollout_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

class RolloutCapsTest : public CRolloutSiteTest
{
};

// The devices of a state shown from their target list until their restart verification ended.
std::size_t devicesInCappedStages(const json& state)
{
    std::set<std::string> capped;
    for (E_ProtocolStage stage : {E_ProtocolStage::PREPARATION, E_ProtocolStage::FILE_TRANSFER,
                                  E_ProtocolStage::FILE_RECEIPT_CONFIRMATION, E_ProtocolStage::FLASHING,
                                  E_ProtocolStage::RESTART_VERIFICATION})
    {
        capped.insert(protocolStageDisplayName(toProtocolByte(stage)));
    }
    std::size_t count = 0;
    for (const json& device : state["devices"])
    {
        if (device["completed"] == false && capped.count(device["stage"].get<std::string>()) != 0)
        {
            ++count;
        }
    }
    return count;
}

TEST_F(RolloutCapsTest, NoMoreDevicesOfATypeThanItsCapAreBetweenTargetListAndRestartVerification)
{
    std::vector<std::string> nodeIds;
    std::vector<S_SimDeviceSpec> devices;
    for (int i = 1; i <= 6; ++i)
    {
        nodeIds.push_back("pcs-" + std::to_string(i));
        devices.push_back(quickDevice(nodeIds.back(), E_ProtocolDeviceType::PCS));
    }
    startSimulator(simulator, devices);
    S_BackendSettings settings;
    settings.deviceConcurrency = 6;
    backend = std::make_unique<CUpgradeBackend>(nodesOf(simulator, devices), settings);
    ASSERT_TRUE(backend->launch()) << backend->output();
    connect();
    status = api->waitReady(nodeIds);
    ASSERT_TRUE(status.is_object()) << backend->output();
    const json files =
        json::array({firmwareEntry("pcs:arm", backend->writeFirmware("arm.bin", 1500), "2.0.0")});
    json targets = json::array();
    for (const std::string& nodeId : nodeIds)
    {
        targets.push_back(
            upgradeTarget(nodeId, "PCS_ARM", 1, reportedVersion(status, nodeId, "PCS_ARM", 1), "pcs:arm"));
    }

    CTestEventClient events(backend->port());
    ASSERT_TRUE(events.connect()) << events.failure();
    const std::uint32_t rolloutNo =
        rollouts->createOk(rolloutBody("capped", targets, files, {{"maxConcurrentPerType", {{"PCS", 2}}}}));
    ASSERT_EQ(rollouts->operate(rolloutNo, "start").status, 202u);

    std::size_t most = 0;
    bool sawActive = false;
    json last;
    ASSERT_TRUE(readEventUntil(events,
                               [&](const json& event)
                               {
                                   if (event["type"] != "upgrade.current" ||
                                       !event["data"].contains("devices"))
                                   {
                                       return false;
                                   }
                                   last = event["data"];
                                   most = std::max(most, devicesInCappedStages(last));
                                   sawActive = sawActive || last["active"] == true;
                                   return sawActive && last["active"] == false;
                               }))
        << backend->output();
    // More workers than the cap, so only the cap held them back.
    EXPECT_GT(last["deviceConcurrency"], 2) << last.dump();
    EXPECT_LE(most, 2u);
    EXPECT_EQ(last["status"], "SUCCESS") << last.dump();
    const json done =
        rollouts->waitRollout(rolloutNo, [](const json& r) { return r["status"] == "SUCCESS"; });
    ASSERT_TRUE(done.is_object()) << backend->output();
    EXPECT_EQ(done["policy"]["maxConcurrentPerType"], json({{"PCS", 2}}));
}

}  // namespace
}  // namespace ota::test
