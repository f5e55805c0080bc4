// GET /metrics of the real executable before and after it upgraded a small site of simulated
// devices: the figures follow what happened, and promtool accepts every scrape.
#include "app/metrics_text.h"
#include "app/upgrade_process_site.h"
#include "protocol/protocol_enums.h"
#include "sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

constexpr std::size_t kChunkFrame = 8;  // MSG_FILE_CHUNK

std::map<std::string, double> scrape(CUpgradeApi& api)
{
    const S_HttpResult result = api.get("/metrics");
    EXPECT_EQ(result.status, 200u) << result.body;
    EXPECT_EQ(result.contentType, "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(promtoolProblems(result.body), "") << result.body;
    return parseMetricSamples(result.body);
}

TEST(MetricsProcessTest, FiguresFollowAWholeSiteUpgrade)
{
    CDeviceSimulator simulator;
    const std::vector<S_SimDeviceSpec> devices = {quickDevice("pcs-1", E_ProtocolDeviceType::PCS),
                                                  quickDevice("bms-1", E_ProtocolDeviceType::BMS, 6)};
    startSimulator(simulator, devices);
    const std::vector<std::string> nodeIds = {"pcs-1", "bms-1"};
    CUpgradeBackend backend(nodesOf(simulator, devices));
    ASSERT_TRUE(backend.launch()) << backend.output();
    CUpgradeApi api(backend.port());
    const json before = api.waitReady(nodeIds);
    ASSERT_TRUE(before.is_object()) << backend.output();

    CTestEventClient events(backend.port());
    ASSERT_TRUE(events.connect()) << events.failure();
    // The stream's upgrade request is answered before the server counts the client in, and the
    // client's place is taken a moment before its answer is counted: wait for both.
    std::map<std::string, double> idle;
    ASSERT_TRUE(waitUntil(
        [&]
        {
            idle = scrape(api);
            return idle["ota_event_stream_clients"] == 1 &&
                   idle["ota_api_requests_total{route=\"/api/v1/events\",code=\"101\"}"] == 1;
        },
        std::chrono::seconds(30)));
    EXPECT_EQ(idle["ota_devices{state=\"CONNECTED\"}"], 2);
    EXPECT_EQ(idle["ota_devices{state=\"DISCONNECTED\"}"], 0);
    EXPECT_EQ(idle["ota_upgrade_active"], 0);
    EXPECT_EQ(idle["ota_upgrade_tasks_total{status=\"SUCCESS\"}"], 0);
    EXPECT_EQ(idle["ota_upgrade_chunk_round_trip_seconds_count"], 0);
    EXPECT_GT(idle["ota_device_frames_received_total"], 0);
    EXPECT_EQ(idle["ota_device_invalid_frames_total"], 0);
    EXPECT_EQ(idle["ota_api_requests_total{route=\"/api/v1/events\",code=\"101\"}"], 1);
    EXPECT_GT(idle["process_resident_memory_bytes"], 0);
    EXPECT_GT(idle["process_open_fds"], 0);
    EXPECT_GT(idle["process_start_time_seconds"], 1.6e9);

    json files = json::array();
    unsigned seed = 1;
    double firmwareBytes = 0;  // each file goes to one device at least once
    for (const char* slot : {"pcs:dsp1", "pcs:dsp2", "pcs:fpga", "pcs:arm", "bms:bau", "bms:beu", "bms:bcu"})
    {
        firmwareBytes += 3000 + 100 * seed;
        const auto path =
            backend.writeFirmware("m-" + std::to_string(seed) + ".bin", 3000 + 100 * seed, seed);
        files.push_back(firmwareEntry(slot, path, "4." + std::to_string(seed)));
        ++seed;
    }
    const S_HttpResult preview =
        api.preview(previewBody("metrics_site", targetsForEveryComponent(before, nodeIds), files));
    ASSERT_EQ(preview.status, 200u) << preview.body;
    const std::uint32_t upgradeNo = preview.json["data"]["snapshot"]["upgradeNo"];
    ASSERT_EQ(api.start().status, 202u);
    const json final = api.waitEnded(upgradeNo);
    ASSERT_TRUE(final.is_object()) << backend.output();
    ASSERT_EQ(final["status"], "SUCCESS") << final.dump();

    std::uint64_t chunksReceived = 0;
    std::uint64_t framesReceived = 0;
    for (const std::string& nodeId : nodeIds)
    {
        S_SimDeviceSnapshot device;
        std::string error;
        ASSERT_TRUE(simulator.snapshot(nodeId, device, error)) << error;
        chunksReceived += device.counters.framesReceived[kChunkFrame];
        framesReceived += device.counters.totalFramesReceived();
    }
    ASSERT_GT(chunksReceived, 0u);

    const std::map<std::string, double> after = scrape(api);
    EXPECT_EQ(after.at("ota_upgrade_active"), 0);
    EXPECT_EQ(after.at("ota_upgrade_tasks_total{status=\"SUCCESS\"}"), 1);
    EXPECT_EQ(after.at("ota_upgrade_tasks_total{status=\"FAILED\"}"), 0);
    EXPECT_EQ(after.at("ota_upgrade_tasks_total{status=\"ABORTED\"}"), 0);
    EXPECT_EQ(after.at("ota_upgrade_tasks_total{status=\"STOPPED\"}"), 0);
    EXPECT_EQ(after.at("ota_upgrade_devices{result=\"SUCCESS\"}"), 2);
    EXPECT_EQ(after.at("ota_upgrade_devices{result=\"FAILED\"}"), 0);
    EXPECT_EQ(after.at("ota_upgrade_devices{result=\"PENDING\"}"), 0);
    // Every chunk was answered once: one round trip each, all well within the last finite bucket.
    EXPECT_EQ(after.at("ota_upgrade_chunk_round_trip_seconds_count"), chunksReceived);
    EXPECT_EQ(after.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"+Inf\"}"), chunksReceived);
    EXPECT_EQ(after.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"10\"}"), chunksReceived);
    EXPECT_GT(after.at("ota_upgrade_chunk_round_trip_seconds_sum"), 0);
    // The backend may have queried the devices since the simulator was read, never less.
    EXPECT_GE(after.at("ota_device_frames_sent_total"), framesReceived);
    EXPECT_GT(after.at("ota_device_bytes_sent_total"), firmwareBytes);
    EXPECT_GT(after.at("ota_device_bytes_received_total"), idle.at("ota_device_bytes_received_total"));
    EXPECT_GT(after.at("ota_device_frames_received_total"), idle.at("ota_device_frames_received_total"));
    EXPECT_EQ(after.at("ota_history_write_failures_total"), 0);
    EXPECT_EQ(after.at("ota_audit_write_failures_total"), 0);
    EXPECT_EQ(after.at("ota_api_requests_total{route=\"/api/v1/upgrades/preview\",code=\"200\"}"), 1);
    EXPECT_EQ(after.at("ota_api_requests_total{route=\"/api/v1/upgrades/start\",code=\"202\"}"), 1);
    // An answer is counted as it goes out: the idle scrapes show, this one does not yet.
    EXPECT_GE(after.at("ota_api_requests_total{route=\"/metrics\",code=\"200\"}"), 1);
    EXPECT_GE(after.at("process_cpu_seconds_total"), idle.at("process_cpu_seconds_total"));
    simulator.stop();
}

}  // namespace
}  // namespace ota::test
