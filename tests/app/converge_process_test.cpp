// Back to the baseline through the real ota-backend executable and the real simulator: a site
// upgraded twice with a baseline after each upgrade, then the bad upgrade reverted by reinstating
// the earlier baseline and converging to it from the files the store labelled on the way.
#include "app/example_site_devices.h"
#include "app/rollout_process_site.h"
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

class ConvergeProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    // One task taking emu-1's EMU and pcs-1's PCS_DSP1 from what they report to the version.
    void upgradeTo(CUpgradeBackend& backend, CUpgradeApi& api, const std::string& version, std::uint32_t seed)
    {
        const json status = api.deviceStatus();
        const json targets = {
            upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu"),
            upgradeTarget("pcs-1", "PCS_DSP1", 1, reportedVersion(status, "pcs-1", "PCS_DSP1", 1),
                          "pcs:dsp1")};
        const json files = {
            firmwareEntry("emu:emu", backend.writeFirmware("emu-" + version + ".bin", 3000, seed), version),
            firmwareEntry("pcs:dsp1", backend.writeFirmware("dsp-" + version + ".bin", 4000, seed + 1),
                          version)};
        const S_HttpResult preview = api.preview(previewBody("to_" + std::to_string(seed), targets, files));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        ASSERT_EQ(api.start().status, 202u);
        const json final = api.waitEnded(preview.json["data"]["snapshot"]["upgradeNo"].get<std::uint32_t>());
        ASSERT_EQ(final.value("status", ""), "SUCCESS") << final.dump();
        ASSERT_TRUE(
            waitUntil([&] { return reportedVersion(api.deviceStatus(), "pcs-1", "PCS_DSP1", 1) == version; },
                      std::chrono::seconds(30)));
    }

    CDeviceSimulator simulator;
};

// Whether every component of the devices reports the version.
bool everyComponentReports(const json& status, const std::vector<std::string>& nodeIds,
                           const std::string& version)
{
    for (const std::string& nodeId : nodeIds)
    {
        const json node = findNode(status, nodeId);
        if (!node.is_object() || node["components"].empty())
        {
            return false;
        }
        for (const json& component : node["components"])
        {
            if (component["version"] != version)
            {
                return false;
            }
        }
    }
    return true;
}

TEST_F(ConvergeProcessTest, ABadUpgradeIsRevertedByReinstatingTheEarlierBaselineAndConverging)
{
    const std::vector<S_SimDeviceSpec> devices = {quickDevice("emu-1", E_ProtocolDeviceType::EMU),
                                                  quickDevice("pcs-1", E_ProtocolDeviceType::PCS)};
    startSimulator(simulator, devices);
    CUpgradeBackend backend(nodesOf(simulator, devices));
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    CRolloutApi rollouts(api);
    ASSERT_TRUE(api.waitReady({"emu-1", "pcs-1"}).is_object()) << backend.output();
    const auto converge = [&](const std::string& rolloutId) {
        return api.post("/api/v1/rollouts/converge", json{{"rolloutId", rolloutId}}.dump());
    };
    EXPECT_EQ(converge("none_yet").status, 422u);

    // Baselines 1 (as delivered), 2 (after the upgrade to 2.0.0) and 3 (after the one to 3.0.0).
    ASSERT_EQ(api.post("/api/v1/baseline", R"({"from":"site"})").status, 200u);
    ASSERT_NO_FATAL_FAILURE(upgradeTo(backend, api, "2.0.0", 10));
    ASSERT_EQ(api.post("/api/v1/baseline", R"({"from":"site"})").status, 200u);
    ASSERT_NO_FATAL_FAILURE(upgradeTo(backend, api, "3.0.0", 20));
    ASSERT_EQ(api.post("/api/v1/baseline", R"({"from":"site","note":"3.0.0 everywhere"})").status, 200u);

    const struct
    {
        std::string reinstate;  // the body of a baseline POST first, if any
        std::string body;
        std::vector<std::string> named;
    } refusals[] = {
        {"", R"({"rolloutId":"nothing"})", {"Nothing to converge: every component matches the baseline"}},
        {R"({"baselineNo":1})",
         R"({"rolloutId":"to_one"})",
         {"No stored firmware for EMU 1.0.0", "No stored firmware for PCS_DSP1 1.0.0"}},
        {"", R"({"rolloutId":"own_targets","targets":[]})", {"request.targets"}},
        {"", R"({"rolloutId":"bad id!"})", {"rolloutId"}},
    };
    for (const auto& refusal : refusals)
    {
        if (!refusal.reinstate.empty())
        {
            ASSERT_EQ(api.post("/api/v1/baseline", refusal.reinstate).status, 200u);
        }
        const S_HttpResult refused = api.post("/api/v1/rollouts/converge", refusal.body);
        EXPECT_EQ(refused.status, 422u) << refusal.body << refused.body;
        EXPECT_EQ(refused.json["error"]["code"], "ROLLOUT_REJECTED") << refused.body;
        for (const std::string& text : refusal.named)
        {
            EXPECT_NE(refused.json["error"]["message"].get<std::string>().find(text), std::string::npos)
                << refused.body;
        }
    }

    // 3.0.0 was the bad image: baseline 2 again, converge, start.
    ASSERT_EQ(api.post("/api/v1/baseline", R"({"baselineNo":2})").status, 200u);
    // The files the baseline needs stay: the 2.0.0 EMU file cannot be deleted now.
    const json emuLabel = {{"componentTypeId", "EMU"}, {"version", "2.0.0"}};
    std::size_t labelled = 0;
    const json stored = api.get("/api/v1/firmware/store").json;
    for (const json& entry : stored["data"]["entries"])
    {
        if (std::find(entry["labels"].begin(), entry["labels"].end(), emuLabel) != entry["labels"].end())
        {
            ++labelled;
            const S_HttpResult deleted =
                api.post("/api/v1/firmware/store/" + entry["sha256"].get<std::string>() + "/delete", "");
            EXPECT_EQ(deleted.json["error"]["code"], "FIRMWARE_IN_USE") << deleted.body;
        }
    }
    EXPECT_EQ(labelled, 1u);
    const S_HttpResult created = converge("back_to_2");
    ASSERT_EQ(created.status, 200u) << created.body;
    EXPECT_EQ(created.json["data"]["status"], "READY");
    EXPECT_EQ(created.json["data"]["deviceCount"], 2);
    const std::uint32_t rolloutNo = created.json["data"]["rolloutNo"];
    ASSERT_EQ(rollouts.operate(rolloutNo, "start").status, 202u);
    const json finished =
        rollouts.waitRollout(rolloutNo, [](const json& rollout) { return rollout["finishedAt"] != 0; });
    ASSERT_EQ(finished.value("status", ""), "SUCCESS") << finished.dump();

    const json report = api.get("/api/v1/baseline/report").json["data"];
    EXPECT_EQ(report["summary"], (json{{"match", 5}, {"drift", 0}, {"missing", 0}, {"unexpected", 0}}))
        << report.dump();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

// The example site upgraded whole twice; the second upgrade is taken back by reinstating the
// baseline of the first and converging, every component of every device at once.
TEST_F(ConvergeProcessTest, AWholeSiteUpgradeOfTheExampleSiteIsRevertedToItsBaseline)
{
    const std::vector<S_SimDeviceSpec> devices = exampleSiteDevices();
    ASSERT_EQ(devices.size(), 5u);
    std::vector<std::string> nodeIds;
    for (const S_SimDeviceSpec& device : devices)
    {
        nodeIds.push_back(device.nodeId);
    }
    startSimulator(simulator, devices);
    S_BackendSettings settings;
    settings.restartTimeoutMs = 2000;  // a quiet period of 500 ms after each reconnect
    CUpgradeBackend backend(nodesOf(simulator, devices), settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    CRolloutApi rollouts(api);

    const auto siteTo = [&](const std::string& version, std::uint32_t seed)
    {
        const json status = api.waitReady(nodeIds);
        ASSERT_TRUE(status.is_object()) << backend.output();
        json files = json::array();
        for (const auto& [component, slot] : slotOfComponent())
        {
            files.push_back(firmwareEntry(
                slot, backend.writeFirmware(component + "-" + version + ".bin", 1500 + seed, seed), version));
            ++seed;
        }
        const S_HttpResult preview = api.preview(
            previewBody("site_" + std::to_string(seed), targetsForEveryComponent(status, nodeIds), files));
        ASSERT_EQ(preview.status, 200u) << preview.body;
        ASSERT_EQ(api.start().status, 202u);
        const json final = api.waitEnded(preview.json["data"]["snapshot"]["upgradeNo"].get<std::uint32_t>());
        ASSERT_EQ(final.value("status", ""), "SUCCESS") << final.dump();
        ASSERT_TRUE(waitUntil([&] { return everyComponentReports(api.deviceStatus(), nodeIds, version); },
                              std::chrono::seconds(30)));
    };
    ASSERT_NO_FATAL_FAILURE(siteTo("2.0.0", 100));
    const S_HttpResult baseline = api.post("/api/v1/baseline", R"({"from":"site"})");
    ASSERT_EQ(baseline.status, 200u) << baseline.body;
    const std::size_t componentCount = baseline.json["data"]["components"].size();
    ASSERT_NO_FATAL_FAILURE(siteTo("3.0.0", 200));

    ASSERT_EQ(api.post("/api/v1/baseline", R"({"baselineNo":1})").status, 200u);
    EXPECT_EQ(api.get("/api/v1/baseline/report").json["data"]["summary"]["drift"], componentCount);
    const S_HttpResult created = api.post("/api/v1/rollouts/converge", R"({"rolloutId":"site_back"})");
    ASSERT_EQ(created.status, 200u) << created.body;
    EXPECT_EQ(created.json["data"]["deviceCount"], devices.size());
    const std::uint32_t rolloutNo = created.json["data"]["rolloutNo"];
    ASSERT_EQ(rollouts.operate(rolloutNo, "start").status, 202u);
    const json finished = rollouts.waitRollout(
        rolloutNo, [](const json& rollout) { return rollout["finishedAt"] != 0; }, std::chrono::seconds(120));
    ASSERT_EQ(finished.value("status", ""), "SUCCESS") << finished.dump();
    ASSERT_TRUE(waitUntil([&] { return everyComponentReports(api.deviceStatus(), nodeIds, "2.0.0"); },
                          std::chrono::seconds(30)));
    const json report = api.get("/api/v1/baseline/report").json["data"];
    EXPECT_EQ(report["summary"],
              (json{{"match", componentCount}, {"drift", 0}, {"missing", 0}, {"unexpected", 0}}))
        << report.dump();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
