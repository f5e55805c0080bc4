// POST /api/v1/scene/reload against the real backend and simulated devices: a topology created
// after start-up, another site replacing the first, and every failure leaving the site served as
// it was; a reload while an upgrade runs is refused before the file is read.
#include "app/upgrade_process_site.h"
#include "scenario/scene_topology_serializer.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

// The topology file of these nodes; a non-empty adapter replaces every node's protocol adapter.
std::string topologyText(const std::vector<S_TestNode>& nodes, const std::string& adapter = {})
{
    json topology;
    std::string error;
    EXPECT_TRUE(ota::scenario::serializeSceneTopology(makeDeviceTopology(nodes), topology, error)) << error;
    if (!adapter.empty())
    {
        for (json& node : topology["nodes"])
        {
            if (node.contains("protocolAdapterId") && !node["protocolAdapterId"].get<std::string>().empty())
            {
                node["protocolAdapterId"] = adapter;
            }
        }
    }
    return topology.dump();
}

json workspace(CUpgradeApi& api)
{
    const S_HttpResult result = api.get("/api/v1/workspace");
    EXPECT_EQ(result.status, 200u) << result.body;
    return result.json["data"];
}

// The reload's failure message (empty when it did not fail with the reload's code).
std::string reloadFailure(CUpgradeApi& api)
{
    const S_HttpResult result = api.post("/api/v1/scene/reload", {});
    if (result.status != 500u || result.json["error"]["code"] != "SCENE_RELOAD_FAILED")
    {
        ADD_FAILURE() << result.status << " " << result.body;
        return {};
    }
    return result.json["error"]["message"];
}

std::vector<std::string> nodeIdsOf(const json& deviceStatus)
{
    std::vector<std::string> ids;
    for (const json& node : deviceStatus["communicationNodes"])
    {
        ids.push_back(node["nodeId"]);
    }
    return ids;
}

class SceneReloadProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        startSimulator(simulator, devices);
        nodes = nodesOf(simulator, devices);
    }
    void TearDown() override { simulator.stop(); }

    bool simulatedConnected(const std::string& nodeId)
    {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        return simulator.snapshot(nodeId, snapshot, error) && snapshot.connected;
    }

    std::vector<S_SimDeviceSpec> devices = {quickDevice("emu-1", E_ProtocolDeviceType::EMU),
                                            quickDevice("pcs-1", E_ProtocolDeviceType::PCS)};
    std::vector<S_TestNode> nodes;
    CDeviceSimulator simulator;
};

TEST_F(SceneReloadProcessTest, ReloadInstallsANewSiteOrLeavesTheServedOneAsItWas)
{
    const std::vector<S_TestNode> emuOnly = {nodes[0]};
    const std::vector<S_TestNode> pcsOnly = {nodes[1]};
    CUpgradeBackend backend(emuOnly);
    const std::filesystem::path topologyFile = backend.directory() / "site.json";
    std::filesystem::remove(topologyFile);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    EXPECT_EQ(workspace(api)["status"], "NOT_CONFIGURED");

    // Absent file: a failure, unlike at start-up; then the file appears and the site is served.
    EXPECT_NE(reloadFailure(api), "");
    EXPECT_EQ(workspace(api)["sceneGeneration"], 0);
    backend.directory().writeFile("site.json", topologyText(emuOnly));
    const S_HttpResult first = api.post("/api/v1/scene/reload", {});
    ASSERT_EQ(first.status, 200u) << first.body << backend.output();
    EXPECT_EQ(first.json["data"]["operation"], "SCENE_RELOAD");
    EXPECT_EQ(first.json["data"]["sceneGeneration"], 1);
    EXPECT_EQ(first.json["data"]["status"], "READY");
    ASSERT_TRUE(api.waitReady({"emu-1"}).is_object()) << backend.output();

    const S_HttpResult capture = api.post("/api/v1/devices/frames/capture", "{\"enabled\":true}");
    ASSERT_EQ(capture.status, 200u) << capture.body;
    CTestEventClient events(backend.port());
    ASSERT_TRUE(events.connect()) << events.failure();

    // Failures change nothing: an invalid file, and a site whose new device manager cannot start.
    backend.directory().writeFile("site.json", "{\"schemaVersion\":");
    EXPECT_NE(reloadFailure(api), "");
    backend.directory().writeFile("site.json", topologyText(pcsOnly, "modbus-tcp"));
    EXPECT_NE(reloadFailure(api).find("Unknown protocol adapter: modbus-tcp"), std::string::npos);
    EXPECT_NE(backend.child().standardError().find(
                  "[SCENE] New device TCP manager start failed; workspace was not changed: "),
              std::string::npos);
    EXPECT_EQ(workspace(api)["sceneGeneration"], 1);
    const json kept = api.deviceStatus();
    EXPECT_EQ(nodeIdsOf(kept), std::vector<std::string>{"emu-1"});
    EXPECT_EQ(findNode(kept, "emu-1")["connectionState"], "CONNECTED");
    EXPECT_EQ(api.post("/api/v1/devices/status-query", {}).status, 202u) << "the old manager still serves";

    // Another site: its device is connected, the old one's link dropped, frame capture kept.
    backend.directory().writeFile("site.json", topologyText(pcsOnly));
    const S_HttpResult second = api.post("/api/v1/scene/reload", {});
    ASSERT_EQ(second.status, 200u) << second.body << backend.output();
    EXPECT_EQ(second.json["data"]["sceneGeneration"], 2);
    const json read = workspace(api);
    EXPECT_EQ(read["sceneGeneration"], 2);
    EXPECT_EQ(read["operation"], "WORKSPACE_READ");
    const json status = api.waitReady({"pcs-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    EXPECT_EQ(nodeIdsOf(status), std::vector<std::string>{"pcs-1"});
    EXPECT_TRUE(waitUntil([&] { return !simulatedConnected("emu-1"); }));
    EXPECT_EQ(api.get("/api/v1/devices/frames").json["data"]["enabled"], true);
    EXPECT_TRUE(readEventUntil(events,
                               [](const json& event)
                               {
                                   return event["type"] == "device.status" &&
                                          event["data"]["sceneGeneration"] == 2 &&
                                          event["data"]["connectedNodeCount"] == 1 &&
                                          event["data"]["communicationNodes"][0]["nodeId"] == "pcs-1";
                               }));

    // The execution service works on the new manager: the new site's device upgrades.
    const json targets = {
        upgradeTarget("pcs-1", "PCS_DSP1", 1, reportedVersion(status, "pcs-1", "PCS_DSP1", 1), "pcs:dsp1")};
    const json files =
        json::array({firmwareEntry("pcs:dsp1", backend.writeFirmware("dsp1.bin", 4096), "9.0.0")});
    const S_HttpResult preview = api.preview(previewBody("after_reload", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    EXPECT_EQ(preview.json["data"]["snapshot"]["sceneGeneration"], 2);
    ASSERT_EQ(api.start().status, 202u);
    const json ended = api.waitEnded(preview.json["data"]["snapshot"]["upgradeNo"]);
    ASSERT_TRUE(ended.is_object()) << backend.output();
    EXPECT_EQ(ended["status"], "SUCCESS") << ended.dump();

    // A topology without communication nodes installs an idle manager and drops the last link.
    backend.directory().writeFile("site.json", topologyText({}));
    const S_HttpResult empty = api.post("/api/v1/scene/reload", {});
    ASSERT_EQ(empty.status, 200u) << empty.body;
    EXPECT_EQ(empty.json["data"]["sceneGeneration"], 3);
    EXPECT_TRUE(waitUntil([&] { return !simulatedConnected("pcs-1"); }));
    EXPECT_EQ(api.deviceStatus()["communicationNodeCount"], 0);
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

TEST_F(SceneReloadProcessTest, ReloadDuringAnUpgradeIsRefusedBeforeTheFileIsRead)
{
    devices[0].timings.replyLatencyMs = 20;
    simulator.stop();
    startSimulator(simulator, devices);
    nodes = nodesOf(simulator, devices);
    S_BackendSettings settings;
    settings.chunkSize = 256;
    CUpgradeBackend backend({nodes[0]}, settings);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json status = api.waitReady({"emu-1"});
    ASSERT_TRUE(status.is_object()) << backend.output();
    const json targets = {
        upgradeTarget("emu-1", "EMU", 1, reportedVersion(status, "emu-1", "EMU", 1), "emu:emu")};
    const json files =
        json::array({firmwareEntry("emu:emu", backend.writeFirmware("slow.bin", 256 * 300), "6.0.0")});
    const S_HttpResult preview = api.preview(previewBody("reload_refused", targets, files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::string upgradeNo =
        std::to_string(preview.json["data"]["snapshot"]["upgradeNo"].get<std::uint32_t>());
    ASSERT_EQ(api.start().status, 202u);

    // An unreadable file: the refusal names the running upgrade, not the file.
    backend.directory().writeFile("site.json", "not json");
    EXPECT_EQ(reloadFailure(api), "An upgrade is active; the scene cannot be reloaded");
    EXPECT_NE(
        backend.child().standardError().find("[SCENE] Reload rejected; current workspace remains active: An "
                                             "upgrade is active; the scene cannot be reloaded"),
        std::string::npos);
    EXPECT_EQ(workspace(api)["sceneGeneration"], 1);

    ASSERT_EQ(api.abort(upgradeNo).status, 202u);
    const json ended = api.waitEnded(std::stoul(upgradeNo));
    ASSERT_TRUE(ended.is_object()) << backend.output();
    EXPECT_EQ(ended["status"], "ABORTED");
    backend.directory().writeFile("site.json", topologyText(nodes));
    const S_HttpResult reload = api.post("/api/v1/scene/reload", {});
    ASSERT_EQ(reload.status, 200u) << reload.body;
    EXPECT_EQ(reload.json["data"]["sceneGeneration"], 2);
    EXPECT_TRUE(api.waitReady({"emu-1", "pcs-1"}).is_object()) << backend.output();
    EXPECT_EQ(backend.stop(), 0) << backend.output();
}

}  // namespace
}  // namespace ota::test
