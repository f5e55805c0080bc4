// The site's holds through the real ota-backend executable and the real simulator: bodies the
// routes refuse, starts a hold refuses, the hold file, a hold placed during a task (the devices
// before flashing abort, the one flashing finishes) and a lease that lapses by itself.
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

class SiteHoldProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    CDeviceSimulator simulator;
};

bool isSendingChunks(const json& device)
{
    return device["state"] == "发送文件分片" && device["currentChunkNo"] >= 2;
}

json holdsOf(CUpgradeApi& api)
{
    const S_HttpResult result = api.get("/api/v1/site/holds");
    return result.status == 200 ? result.json["data"] : json();
}

TEST_F(SiteHoldProcessTest, HoldsRefuseStartsAbortTheRunningTaskAndLeasesLapse)
{
    S_SimDeviceSpec transferring = quickDevice("emu-1", E_ProtocolDeviceType::EMU);
    transferring.timings.replyLatencyMs = 20;
    S_SimDeviceSpec flashing = quickDevice("pcs-1", E_ProtocolDeviceType::PCS);
    flashing.timings.flashMs = 4000;
    const std::vector<S_SimDeviceSpec> devices = {transferring, flashing};
    startSimulator(simulator, devices);
    S_BackendSettings settings;
    settings.chunkSize = 256;
    settings.ackTimeoutMs = 6000;
    settings.stageTimeoutMs = 6000;
    settings.flashTimeoutMs = 20000;
    CUpgradeBackend backend(nodesOf(simulator, devices), settings);
    const std::filesystem::path holdFile = backend.directory() / "site-hold";
    backend.setConfigValue("siteHoldFile", holdFile.string());
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1", "pcs-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    EXPECT_EQ(holdsOf(api), (json{{"held", false}, {"holds", json::array()}}));

    const std::string tooLong(201, 'x');
    const std::string bodies[] = {R"([])",
                                  R"({"source":"a b","reason":"","ttlSeconds":0})",
                                  R"({"source":"file","reason":"","ttlSeconds":0})",
                                  R"({"source":"ems","reason":"","ttlSeconds":86401})",
                                  R"({"source":"ems","reason":"","ttlSeconds":-1})",
                                  R"({"source":"ems","reason":"","ttlSeconds":1.5})",
                                  R"({"source":"ems","reason":""})",
                                  R"({"source":"ems","reason":"","ttlSeconds":0,"extra":1})",
                                  R"({"source":"ems","reason":")" + tooLong + R"(","ttlSeconds":0})"};
    for (const std::string& body : bodies)
    {
        const S_HttpResult refused = api.post("/api/v1/site/holds", body);
        EXPECT_EQ(refused.status, 400u) << body << refused.body;
        EXPECT_EQ(refused.json["error"]["code"], "INVALID_REQUEST_BODY") << body;
    }
    const S_HttpResult unknown = api.post("/api/v1/site/holds/ems/release", {});
    EXPECT_EQ(unknown.status, 404u) << unknown.body;
    EXPECT_EQ(unknown.json["error"]["code"], "HOLD_NOT_FOUND");

    // Held by the file and by a source: previews go on, starts are refused naming every hold.
    std::filesystem::create_directories(holdFile.parent_path());
    backend.directory().writeFile("site-hold", "grid event\nignored");
    ASSERT_TRUE(waitUntil([&] { return holdsOf(api)["held"] == true; })) << backend.output();
    const S_HttpResult placed =
        api.post("/api/v1/site/holds", R"({"source":"ems","reason":"peak shaving","ttlSeconds":0})");
    ASSERT_EQ(placed.status, 200u) << placed.body;
    EXPECT_EQ(placed.json["data"]["holds"].size(), 2u);
    EXPECT_EQ(placed.json["data"]["holds"][1]["expiresAt"], 0);
    const json files =
        json::array({firmwareEntry("emu:emu", backend.writeFirmware("slow.bin", 256 * 300), "5.0.0"),
                     firmwareEntry("pcs:arm", backend.writeFirmware("arm.bin", 700), "5.1.0")});
    const json targets = json::array(
        {upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu"),
         upgradeTarget("pcs-1", "PCS_ARM", 1, reportedVersion(status, "pcs-1", "PCS_ARM", 1), "pcs:arm")});
    const S_HttpResult preview = api.preview(previewBody("held_site", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    const S_HttpResult refused = api.start();
    EXPECT_EQ(refused.status, 409u) << refused.body;
    EXPECT_EQ(refused.json["error"]["code"], "SITE_HELD");
    EXPECT_EQ(refused.json["error"]["message"], "The site is held: file: grid event; ems: peak shaving");

    std::filesystem::remove(holdFile);
    ASSERT_EQ(api.post("/api/v1/site/holds/ems/release", {}).status, 200u);
    ASSERT_TRUE(waitUntil([&] { return holdsOf(api)["held"] == false; })) << backend.output();

    // A lease placed while the one device transfers and the other flashes.
    ASSERT_EQ(api.start().status, 202u);
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const json state = api.current();
            return state.contains("devices") && isSendingChunks(findDevice(state, "emu-1")) &&
                   findDevice(state, "pcs-1")["abortAllowed"] == false &&
                   findDevice(state, "pcs-1")["stage"] == "固件烧写";
        }))
        << backend.output();
    const S_HttpResult lease =
        api.post("/api/v1/site/holds", R"({"source":"ems","reason":"dispatch","ttlSeconds":1})");
    ASSERT_EQ(lease.status, 200u) << lease.body;
    EXPECT_GT(lease.json["data"]["holds"][0]["expiresAt"], lease.json["data"]["holds"][0]["placedAt"]);
    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    EXPECT_EQ(findDevice(final, "emu-1")["result"], "ABORTED") << final.dump();
    EXPECT_EQ(findDevice(final, "pcs-1")["result"], "SUCCESS") << final.dump();

    // Nobody renews the lease: it lapses by itself.
    ASSERT_TRUE(waitUntil([&] { return holdsOf(api)["held"] == false; })) << backend.output();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
