// A rollout through the real ota-backend while the site is held: the hold pauses the running
// rollout and aborts its group's task, a resume is refused while held (an unknown rollout is still
// not found), and lifting the hold resumes the rollout by itself to its end.
#include "app/rollout_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

class SiteHoldRolloutTest : public CRolloutSiteTest
{
};

TEST_F(SiteHoldRolloutTest, AHoldPausesTheRunningRolloutWhichResumesByItselfWhenLifted)
{
    std::vector<S_SimDeviceSpec> devices;
    for (const char* nodeId : {"emu-1", "emu-2"})
    {
        devices.push_back(quickDevice(nodeId, E_ProtocolDeviceType::EMU));
        devices.back().timings.replyLatencyMs = 20;
    }
    startSimulator(simulator, devices);
    backend = std::make_unique<CUpgradeBackend>(nodesOf(simulator, devices));
    ASSERT_TRUE(backend->launch()) << backend->output();
    connect();
    status = api->waitReady({"emu-1", "emu-2"});
    ASSERT_TRUE(status.is_object()) << backend->output();
    // 100 chunks answered 20 ms late: the canary's transfer lasts seconds.
    firmware = backend->writeFirmware("emu.bin", 1024 * 100);
    const std::uint32_t rolloutNo = rollouts->createOk(
        rolloutBody("held", emuTargets(status, {"emu-1", "emu-2"}), files(), {{"groupSizes", {1}}}));
    ASSERT_EQ(rollouts->operate(rolloutNo, "start").status, 202u);
    ASSERT_TRUE(api->waitDevice([](const json& device) { return device["currentChunkNo"] >= 2; }).is_object())
        << backend->output();

    ASSERT_EQ(
        api->post("/api/v1/site/holds", R"({"source":"ems","reason":"dispatch","ttlSeconds":0})").status,
        200u);
    const json paused = rollouts->waitRollout(
        rolloutNo, [](const json& rollout)
        { return rollout["status"] == "PAUSED" && rolloutGroup(rollout, 1)["status"] == "ABORTED"; });
    ASSERT_TRUE(paused.is_object()) << backend->output();
    EXPECT_EQ(paused["reason"], "Site held: ems: dispatch");
    EXPECT_EQ(rolloutDevice(paused, "emu-1")["result"], "ABORTED");
    struct S_Row
    {
        std::uint32_t rolloutNo;
        const char* operation;
        unsigned status;
        const char* code;
        std::string message;
    };
    const std::string unknown = "Rollout " + std::to_string(rolloutNo + 1) + " does not exist";
    const S_Row rows[] = {
        {rolloutNo, "resume", 409, "SITE_HELD", "The site is held: ems: dispatch"},
        {rolloutNo + 1, "start", 404, "ROLLOUT_NOT_FOUND", unknown},
        {rolloutNo + 1, "resume", 404, "ROLLOUT_NOT_FOUND", unknown},
    };
    for (const S_Row& row : rows)
    {
        expectRefused(rollouts->operate(row.rolloutNo, row.operation), row.status, row.code, row.message);
    }

    ASSERT_EQ(api->post("/api/v1/site/holds/ems/release", {}).status, 200u);
    const json done =
        rollouts->waitRollout(rolloutNo, [](const json& rollout) { return rollout["status"] == "SUCCESS"; });
    ASSERT_TRUE(done.is_object()) << backend->output();
    EXPECT_EQ(done["successCount"], 2);
}

}  // namespace
}  // namespace ota::test
