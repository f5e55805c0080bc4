// The real ota-backend executable against the real simulator: device routes, health and the
// device events of the event stream.
#include "api/api_test_client.h"
#include "device/device_test_site.h"
#include "protocol/protocol_enums.h"
#include "scenario/scene_topology_serializer.h"
#include "sim/device_simulator.h"
#include "sim/sim_test_support.h"
#include "support/child_process.h"
#include "support/free_port.h"
#include "support/temp_directory.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

const std::filesystem::path kBackend = OTA_BACKEND_EXE;

// A backend process serving a topology of the given nodes, with its own port and directory.
class CBackendUnderTest
{
public:
    CBackendUnderTest(const std::vector<S_TestNode>& nodes, bool deviceTcpEnabled,
                      std::uint32_t reconnectIntervalMs = 100)
        : m_port(findFreeLoopbackPort())
    {
        json topology;
        std::string error;
        if (!ota::scenario::serializeSceneTopology(makeDeviceTopology(nodes), topology, error))
        {
            throw std::runtime_error(error);
        }
        m_directory.writeFile("site.json", topology.dump());
        const json config = {{"httpHost", "127.0.0.1"},     {"httpPort", m_port},
                             {"deviceConcurrency", 4},      {"connectTimeoutMs", 2000},
                             {"ackTimeoutMs", 1000},        {"stageTimeoutMs", 1000},
                             {"flashTimeoutMs", 1000},      {"restartTimeoutMs", 1000},
                             {"chunkSize", 1024},           {"reconnectIntervalMs", reconnectIntervalMs},
                             {"topologyFile", "site.json"}, {"deviceTcpEnabled", deviceTcpEnabled}};
        const auto configPath = m_directory.writeFile("ota-backend.json", config.dump());
        m_child = std::make_unique<CChildProcess>(kBackend,
                                                  std::vector<std::string>{"--config", configPath.string()});
    }

    bool waitReady() { return m_child->waitForOutput("[INFO] WebSocket events: ws://"); }
    std::uint16_t port() const { return m_port; }
    CChildProcess& child() { return *m_child; }

    int stop()
    {
        m_child->sendSignal(SIGTERM);
        return m_child->waitForExit().value_or(-1);
    }

private:
    CTempDirectory m_directory;
    std::uint16_t m_port;
    std::unique_ptr<CChildProcess> m_child;
};

// Reads events until one satisfies the predicate; false when the stream ends or stays quiet.
template <typename Predicate>
bool readEventUntil(CTestEventClient& events, Predicate&& predicate)
{
    json event;
    while (events.read(event))
    {
        if (predicate(event))
        {
            return true;
        }
    }
    return false;
}

json nodeOf(const json& deviceStatus, const std::string& nodeId)
{
    for (const json& node : deviceStatus["communicationNodes"])
    {
        if (node["nodeId"] == nodeId)
        {
            return node;
        }
    }
    return nullptr;
}

class DeviceRoutesProcessTest : public ::testing::Test
{
protected:
    void TearDown() override { simulator.stop(); }

    // lowerCasePcs: the PCS node's protocol node type is written "pcs", which the adapter accepts
    // but the device list of the communication snapshot does not name.
    std::vector<S_TestNode> simulateSite(bool lowerCasePcs = false)
    {
        startSimulator(simulator, {quickDevice("emu-1", E_ProtocolDeviceType::EMU),
                                   quickDevice("pcs-1", E_ProtocolDeviceType::PCS),
                                   quickDevice("bms-1", E_ProtocolDeviceType::BMS)});
        return {S_TestNode{"emu-1", "EMU", simulator.boundPort("emu-1")},
                S_TestNode{"pcs-1", lowerCasePcs ? "pcs" : "PCS", simulator.boundPort("pcs-1")},
                S_TestNode{"bms-1", "BMS", simulator.boundPort("bms-1")}};
    }

    CDeviceSimulator simulator;
};

TEST_F(DeviceRoutesProcessTest, ConnectsTheSiteAndServesItsDeviceRoutes)
{
    CBackendUnderTest backend(simulateSite(), true);
    ASSERT_TRUE(backend.waitReady()) << backend.child().standardError();
    CTestHttpClient client(backend.port());
    S_HttpResult status;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            status = client.request("GET", "/api/v1/devices/status");
            return status.status == 200u && status.json["data"]["connectedNodeCount"] == 3;
        }))
        << status.body;
    const json& devices = status.json["data"];
    EXPECT_EQ(devices["status"], "READY");
    EXPECT_EQ(devices["sceneGeneration"], 1);
    EXPECT_EQ(devices["configuredEnabled"], true);
    EXPECT_EQ(nodeOf(devices, "bms-1")["components"].size(), 8u);
    EXPECT_EQ(nodeOf(devices, "pcs-1")["upgradeState"], "READY");

    const S_HttpResult health = client.request("GET", "/api/v1/health");
    EXPECT_EQ(health.json["data"]["features"]["deviceTcp"], true);
    EXPECT_EQ(health.json["data"]["deviceTcp"]["running"], true);
    EXPECT_EQ(health.json["data"]["deviceTcp"]["deviceCount"], 3);
    EXPECT_EQ(health.json["data"]["deviceTcp"]["connectedDeviceCount"], 3);
    EXPECT_GE(health.json["data"]["deviceTcp"]["statusReportCount"], 3);

    const S_HttpResult query = client.request("POST", "/api/v1/devices/status-query");
    EXPECT_EQ(query.status, 202u) << query.body;
    EXPECT_EQ(query.json["data"]["status"], "ACCEPTED");
    EXPECT_EQ(query.json["data"]["submittedCount"], 3);
    EXPECT_EQ(query.json["data"]["sceneGeneration"], 1);

    const S_HttpResult reconnect = client.request("POST", "/api/v1/devices/reconnect");
    EXPECT_EQ(reconnect.status, 202u) << reconnect.body;
    EXPECT_EQ(reconnect.json["data"]["status"], "NO_ACTION");
    EXPECT_EQ(reconnect.json["data"]["skippedConnectedCount"], 3);

    const S_HttpResult frames = client.request("GET", "/api/v1/devices/frames");
    EXPECT_EQ(frames.status, 200u);
    EXPECT_EQ(frames.json["data"]["enabled"], false);
    EXPECT_EQ(frames.json["data"]["recordCount"], 0);
    const S_HttpResult badSwitch =
        client.request("POST", "/api/v1/devices/frames/capture", "{\"enabled\":1}");
    EXPECT_EQ(badSwitch.status, 400u) << badSwitch.body;

    EXPECT_EQ(backend.stop(), 0) << backend.child().standardError();
    const std::string output = backend.child().standardOutput();
    EXPECT_NE(output.find("[STATUS_QUERY] Request received\n"), std::string::npos);
    EXPECT_NE(
        output.find("[STATUS_QUERY] Submission accepted: configured=3, submitted=3, skipped=0, failed=0"),
        std::string::npos);
    EXPECT_NE(output.find("[RECONNECT] Batch reconnect scheduled: configured=3, submitted=0"),
              std::string::npos);
    EXPECT_NE(output.find("[INFO] Stopping device TCP connections"), std::string::npos);
}

TEST_F(DeviceRoutesProcessTest, EventStreamFollowsDisconnectsAndFrameCapture)
{
    // A long reconnect interval keeps the dropped device DISCONNECTED for the main loop to see.
    CBackendUnderTest backend(simulateSite(true), true, 60000);
    ASSERT_TRUE(backend.waitReady()) << backend.child().standardError();
    CTestEventClient events(backend.port());
    ASSERT_TRUE(events.connect()) << events.failure();
    // device.status goes out on changes only: when every device was connected before the stream
    // joined, no event says so. The state is read from the route instead, and the event of the
    // drop below must show the other two still connected.
    CTestHttpClient client(backend.port());
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const S_HttpResult status = client.request("GET", "/api/v1/devices/status");
            return status.status == 200u && status.json["data"]["connectedNodeCount"] == 3;
        }));

    // The device drops the link when it is next asked for its status.
    S_SimFault drop;
    drop.kind = E_SimFaultKind::DISCONNECT;
    drop.request = E_SimRequest::STATUS_QUERY;
    drop.times = 1;
    std::string error;
    ASSERT_TRUE(simulator.addFault("pcs-1", drop, error)) << error;
    // 202, or 503 when the device drops the link before the submission has finished.
    const unsigned queried = client.request("POST", "/api/v1/devices/status-query").status;
    EXPECT_TRUE(queried == 202u || queried == 503u) << queried;
    ASSERT_TRUE(readEventUntil(events,
                               [](const json& event)
                               {
                                   return event["type"] == "device.status" &&
                                          nodeOf(event["data"], "pcs-1")["connectionState"] ==
                                              "DISCONNECTED" &&
                                          event["data"]["connectedNodeCount"] == 2 &&
                                          nodeOf(event["data"], "emu-1")["connectionState"] == "CONNECTED" &&
                                          nodeOf(event["data"], "bms-1")["connectionState"] == "CONNECTED";
                               }));

    const S_HttpResult on = client.request("POST", "/api/v1/devices/frames/capture", "{\"enabled\":true}");
    ASSERT_EQ(on.status, 200u) << on.body;
    EXPECT_EQ(on.json["data"], (json{{"enabled", true}, {"recordCount", 0}, {"status", "READY"}}));
    json snapshot;
    ASSERT_TRUE(readEventUntil(events,
                               [&](const json& event)
                               {
                                   snapshot = event["data"];
                                   return event["type"] == "communication.snapshot";
                               }));
    EXPECT_EQ(snapshot["communicationNodeCount"], 3);
    EXPECT_EQ(snapshot["maxRecordCount"], 1000);
    ASSERT_EQ(snapshot["devices"].size(), 3u);
    EXPECT_EQ(snapshot["devices"][0]["deviceType"], "EMU");
    EXPECT_EQ(snapshot["devices"][0]["deviceId"], "emu-1");
    EXPECT_EQ(snapshot["devices"][1]["deviceType"], "UNKNOWN");
    EXPECT_EQ(snapshot["devices"][1]["connectionState"], "DISCONNECTED");
    EXPECT_TRUE(snapshot.contains("fetchedAt"));

    // Captured traffic reaches the stream through the main loop.
    EXPECT_EQ(client.request("POST", "/api/v1/devices/status-query").status, 202u);
    ASSERT_TRUE(readEventUntil(
        events, [](const json& event)
        { return event["type"] == "communication.snapshot" && event["data"]["recordCount"] >= 2; }));
    const S_HttpResult frames = client.request("GET", "/api/v1/devices/frames");
    EXPECT_GE(frames.json["data"]["recordCount"], 2);

    const S_HttpResult off = client.request("POST", "/api/v1/devices/frames/capture", "{\"enabled\":false}");
    ASSERT_EQ(off.status, 200u) << off.body;
    EXPECT_EQ(off.json["data"]["enabled"], false);
    EXPECT_EQ(off.json["data"]["recordCount"], 0);
    ASSERT_TRUE(readEventUntil(
        events, [](const json& event)
        { return event["type"] == "communication.snapshot" && event["data"]["recordCount"] == 0; }));
    EXPECT_EQ(backend.stop(), 0);
}

TEST_F(DeviceRoutesProcessTest, DisabledDeviceTcpRefusesQueriesAndReconnects)
{
    CBackendUnderTest backend(simulateSite(), false);
    ASSERT_TRUE(backend.waitReady()) << backend.child().standardError();
    CTestHttpClient client(backend.port());

    const S_HttpResult status = client.request("GET", "/api/v1/devices/status");
    EXPECT_EQ(status.status, 200u);
    EXPECT_EQ(status.json["data"]["status"], "DISABLED");
    EXPECT_EQ(status.json["data"]["ready"], false);

    const S_HttpResult query = client.request("POST", "/api/v1/devices/status-query");
    EXPECT_EQ(query.status, 503u) << query.body;
    EXPECT_EQ(query.json["error"]["code"], "DEVICE_STATUS_QUERY_FAILED");
    EXPECT_EQ(query.json["error"]["message"], "Device TCP is disabled by configuration");
    const json& details = query.json["error"]["details"];
    EXPECT_EQ(details["configuredCount"], 3);
    EXPECT_EQ(details["skippedCount"], 3);
    ASSERT_EQ(details["errors"].size(), 1u);
    EXPECT_EQ(details["errors"][0]["code"], "DEVICE_TCP_DISABLED");
    EXPECT_EQ(details["errors"][0]["connectionState"], "DISABLED");

    const S_HttpResult reconnect = client.request("POST", "/api/v1/devices/reconnect");
    EXPECT_EQ(reconnect.status, 503u);
    EXPECT_EQ(reconnect.json["error"]["code"], "DEVICE_RECONNECT_FAILED");
    EXPECT_EQ(reconnect.json["error"]["message"], "Device TCP is disabled by configuration");

    EXPECT_EQ(backend.stop(), 0);
    EXPECT_NE(
        backend.child().standardOutput().find("[INFO] Device TCP auto-connect is disabled by configuration"),
        std::string::npos);
    EXPECT_NE(backend.child().standardError().find(
                  "[STATUS_QUERY] Submission rejected: configured=3, submitted=0, "
                  "skipped=3, failed=0, error=Device TCP is disabled by configuration"),
              std::string::npos);
}

TEST_F(DeviceRoutesProcessTest, TopologyWithoutDevicesHasNothingToQuery)
{
    CBackendUnderTest backend({}, true);
    ASSERT_TRUE(backend.waitReady()) << backend.child().standardError();
    CTestHttpClient client(backend.port());
    const S_HttpResult query = client.request("POST", "/api/v1/devices/status-query");
    EXPECT_EQ(query.status, 503u) << query.body;
    EXPECT_EQ(query.json["error"]["message"], "No communication device is configured");
    EXPECT_EQ(query.json["error"]["details"]["errors"][0]["code"], "NO_COMMUNICATION_DEVICE");
    EXPECT_EQ(query.json["error"]["details"]["errors"][0]["connectionState"], "NOT_CONFIGURED");

    const S_HttpResult status = client.request("GET", "/api/v1/devices/status");
    EXPECT_EQ(status.json["data"]["status"], "NOT_READY");
    EXPECT_TRUE(status.json["data"]["communicationNodes"].empty());
    const S_HttpResult reconnect = client.request("POST", "/api/v1/devices/reconnect");
    EXPECT_EQ(reconnect.status, 503u);
    EXPECT_EQ(reconnect.json["error"]["message"], "Device TCP manager is not running");

    EXPECT_EQ(backend.stop(), 0);
    EXPECT_NE(backend.child().standardOutput().find(
                  "[INFO] Device TCP is not started because topology has no communication nodes"),
              std::string::npos);
}

}  // namespace
}  // namespace ota::test
