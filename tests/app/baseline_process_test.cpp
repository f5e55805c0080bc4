// The site's baseline through the real ota-backend executable and the real simulator: a baseline
// taken from the site (refused while a device has not reported, then with the gap allowed), a
// component changed behind the backend's back found as drift, the CSV report, the reinstatement
// of an earlier baseline and baselines kept across a restart.
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"
#include "support/free_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

json dataOf(CUpgradeApi& api, const std::string& target)
{
    const S_HttpResult result = api.get(target);
    return result.status == 200 ? result.json["data"] : json();
}

json rowOf(const json& report, const std::string& nodeId, const std::string& typeId)
{
    for (const json& row : report.value("components", json::array()))
    {
        if (row["nodeId"] == nodeId && row["componentTypeId"] == typeId && row["componentIndex"] == 1)
        {
            return row;
        }
    }
    return json();
}

// Reads events until a "baseline.drift" one names the component in the state.
bool seeDriftEvent(CTestEventClient& events, const std::string& nodeId, const std::string& typeId,
                   const std::string& state)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    json message;
    while (std::chrono::steady_clock::now() < deadline && events.read(message))
    {
        if (message["type"] != "baseline.drift")
        {
            continue;
        }
        for (const json& row : message["data"]["changed"])
        {
            if (row["nodeId"] == nodeId && row["componentTypeId"] == typeId && row["state"] == state)
            {
                return true;
            }
        }
    }
    return false;
}

class BaselineProcessTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        simulator.stop();
        changedSimulator.stop();
    }

    CDeviceSimulator simulator;
    CDeviceSimulator changedSimulator;
};

TEST_F(BaselineProcessTest, BaselineFromTheSiteFindsDriftAndSurvivesARestart)
{
    std::vector<S_SimDeviceSpec> devices = {quickDevice("emu-1", E_ProtocolDeviceType::EMU),
                                            quickDevice("pcs-1", E_ProtocolDeviceType::PCS)};
    startSimulator(simulator, devices);
    std::vector<S_TestNode> nodes = nodesOf(simulator, devices);
    // A device of the topology that is never there.
    nodes.push_back(S_TestNode{"bms-1", "BMS", findFreeLoopbackPort()});
    CUpgradeBackend backend(nodes);
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    ASSERT_TRUE(api.waitReady({"emu-1", "pcs-1"}).is_object()) << backend.output();
    EXPECT_EQ(dataOf(api, "/api/v1/baseline"), (json{{"baseline", nullptr}}));
    EXPECT_EQ(api.get("/api/v1/baseline/report").json["error"]["code"], "BASELINE_NOT_FOUND");

    const std::string component =
        R"({"nodeId":"emu-1","componentTypeId":"EMU","componentIndex":1,"version":"1"})";
    const struct
    {
        std::string body;
        unsigned status;
        const char* code;
    } refusals[] = {
        {"[]", 400, "INVALID_REQUEST_BODY"},
        {"{\"from\":", 400, "INVALID_REQUEST_BODY"},
        {R"({"from":"plant"})", 400, "INVALID_REQUEST_BODY"},
        {R"({"from":"site","baselineNo":1})", 400, "INVALID_REQUEST_BODY"},
        {R"({"components":[{"nodeId":"emu-1"}]})", 400, "INVALID_REQUEST_BODY"},
        {R"({"baselineNo":0})", 400, "INVALID_REQUEST_BODY"},
        {R"({"from":"site","allowMissing":true,"note":")" + std::string(201, 'n') + "\"}", 400,
         "INVALID_REQUEST_BODY"},
        {R"({"components":[{"nodeId":"nowhere","componentTypeId":"EMU","componentIndex":1,"version":"1"}]})",
         422, "BASELINE_REJECTED"},
        {R"({"components":[)" + component + "," + component + "]}", 422, "BASELINE_REJECTED"},
        {R"({"baselineNo":7})", 422, "BASELINE_REJECTED"},
        {R"({"from":"site"})", 422, "BASELINE_REJECTED"},
    };
    for (const auto& refusal : refusals)
    {
        const S_HttpResult refused = api.post("/api/v1/baseline", refusal.body);
        EXPECT_EQ(refused.status, refusal.status) << refusal.body << refused.body;
        EXPECT_EQ(refused.json["error"]["code"], refusal.code) << refusal.body;
    }
    EXPECT_EQ(api.post("/api/v1/baseline", R"({"from":"site"})").json["error"]["message"],
              "Devices without a reported status: bms-1");

    const S_HttpResult taken =
        api.post("/api/v1/baseline", R"({"from":"site","allowMissing":true,"note":"commissioning"})");
    ASSERT_EQ(taken.status, 200u) << taken.body;
    EXPECT_EQ(taken.json["data"]["baselineNo"], 1);
    EXPECT_EQ(taken.json["data"]["missing"], json::array({"bms-1"}));
    EXPECT_EQ(taken.json["data"]["components"].size(), 5u);  // EMU#1 and the PCS's four
    const json report = dataOf(api, "/api/v1/baseline/report");
    EXPECT_EQ(report["summary"], (json{{"match", 5}, {"drift", 0}, {"missing", 0}, {"unexpected", 0}}));
    EXPECT_EQ(rowOf(report, "pcs-1", "PCS_DSP1")["expected"], "1.0.0");

    const S_HttpResult csv = api.get("/api/v1/baseline/report?format=csv");
    ASSERT_EQ(csv.status, 200u) << csv.body;
    EXPECT_EQ(csv.body.substr(0, csv.body.find("\r\n")),
              "nodeId,nodeName,deviceType,componentTypeId,componentIndex,expected,reported,reportedAt,state,"
              "upgrading");
    EXPECT_NE(csv.body.find("\r\nemu-1,Device emu-1,EMU,EMU,1,1.0.0,1.0.0,"), std::string::npos) << csv.body;
    EXPECT_NE(csv.body.find(",MATCH,false\r\n"), std::string::npos) << csv.body;

    // The PCS comes back with another DSP firmware than the baseline's.
    CTestEventClient events(backend.port());
    ASSERT_TRUE(events.connect()) << events.failure();
    simulator.stop();
    for (S_SimDeviceSpec& device : devices)
    {
        device.port = simulator.boundPort(device.nodeId);
    }
    devices[1].components = effectiveComponents(devices[1]);
    devices[1].components[0].version = "1.0.1";  // PCS_DSP1 #1
    startSimulator(changedSimulator, devices);
    ASSERT_TRUE(api.waitReady({"emu-1", "pcs-1"}).is_object()) << backend.output();
    ASSERT_EQ(api.post("/api/v1/devices/status-query", {}).status, 202u);
    EXPECT_TRUE(seeDriftEvent(events, "pcs-1", "PCS_DSP1", "DRIFT")) << backend.output();
    const json drifted = dataOf(api, "/api/v1/baseline/report");
    EXPECT_EQ(drifted["summary"]["drift"], 1) << drifted.dump();
    EXPECT_EQ(rowOf(drifted, "pcs-1", "PCS_DSP1")["reported"], "1.0.1");
    EXPECT_NE(api.get("/metrics").body.find("ota_baseline_components{state=\"DRIFT\"} 1"), std::string::npos);

    // A baseline of one component, then the first one reinstated.
    const S_HttpResult listed = api.post(
        "/api/v1/baseline",
        R"({"components":[{"nodeId":"pcs-1","componentTypeId":"pcs_dsp1","componentIndex":1,"version":"1.0.1"}]})");
    ASSERT_EQ(listed.status, 200u) << listed.body;
    EXPECT_EQ(listed.json["data"]["components"][0]["componentTypeId"], "PCS_DSP1");
    EXPECT_EQ(dataOf(api, "/api/v1/baseline/report")["summary"],
              (json{{"match", 1}, {"drift", 0}, {"missing", 0}, {"unexpected", 4}}));
    const S_HttpResult reinstated = api.post("/api/v1/baseline", R"({"baselineNo":1})");
    ASSERT_EQ(reinstated.status, 200u) << reinstated.body;
    EXPECT_EQ(reinstated.json["data"]["baselineNo"], 3);
    EXPECT_EQ(reinstated.json["data"]["components"], taken.json["data"]["components"]);
    const json page = dataOf(api, "/api/v1/baseline/list?limit=2");
    ASSERT_EQ(page["baselines"].size(), 2u) << page.dump();
    EXPECT_EQ(page["baselines"][0]["baselineNo"], 3);
    EXPECT_EQ(page["baselines"][1]["componentCount"], 1);
    EXPECT_FALSE(page["baselines"][0].contains("components"));
    EXPECT_EQ(page["nextBefore"], 2);

    // The baselines outlive the process; the drift is found again from the devices' reports.
    ASSERT_EQ(backend.stop(), 0) << backend.output();
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi restarted(backend.port());
    const json current = dataOf(restarted, "/api/v1/baseline");
    EXPECT_EQ(current["baseline"]["baselineNo"], 3);
    EXPECT_EQ(current["baseline"]["components"], taken.json["data"]["components"]);
    EXPECT_TRUE(
        waitUntil([&] { return dataOf(restarted, "/api/v1/baseline/report")["summary"]["drift"] == 1; }))
        << backend.output();
}

}  // namespace
}  // namespace ota::test
