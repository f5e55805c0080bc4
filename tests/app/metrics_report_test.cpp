// The metrics text: what every family looks like, that labelled families show every label value
// (zeros included), the histogram's buckets, escaping, and that promtool accepts it; the request
// counter and the latency histogram behind it.
#include "app/metrics_report.h"
#include "app/metrics_text.h"
#include "app/prometheus_text.h"
#include "common/latency_histogram.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using namespace std::chrono_literals;

// The families of the text in order, each with its HELP and TYPE lines checked.
std::vector<std::string> familiesOf(const std::string& text)
{
    std::vector<std::string> families;
    std::istringstream lines(text);
    std::string line;
    std::string help;
    while (std::getline(lines, line))
    {
        if (line.rfind("# HELP ", 0) == 0)
        {
            help = line.substr(7, line.find(' ', 7) - 7);
        }
        else if (line.rfind("# TYPE ", 0) == 0)
        {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(name, help) << "TYPE without its HELP just before it: " << line;
            families.push_back(name);
        }
    }
    return families;
}

TEST(MetricsReport, AnIdleServiceShowsEveryFamilyAndEveryLabelValueAtZero)
{
    S_MetricsFigures figures;
    figures.version = "1.2.3";
    figures.apiRequests = CApiRequestCounter({"/api/v1/health", "/metrics"}).counts();
    const std::string text = renderMetrics(figures);

    EXPECT_EQ(promtoolProblems(text), "");
    EXPECT_THAT(familiesOf(text),
                ::testing::ElementsAre("ota_build_info", "ota_devices", "ota_device_frames_sent_total",
                                       "ota_device_frames_received_total", "ota_device_bytes_sent_total",
                                       "ota_device_bytes_received_total", "ota_device_invalid_frames_total",
                                       "ota_upgrade_active", "ota_upgrade_devices", "ota_upgrade_tasks_total",
                                       "ota_upgrade_chunk_round_trip_seconds", "ota_rollout_active",
                                       "ota_rollout_status", "ota_site_held", "ota_site_holds",
                                       "ota_rollout_store_failures_total",
                                       "ota_history_write_failures_total", "ota_audit_write_failures_total",
                                       "ota_api_requests_total", "ota_event_stream_clients",
                                       "process_cpu_seconds_total", "process_resident_memory_bytes",
                                       "process_open_fds", "process_start_time_seconds"));

    const auto samples = parseMetricSamples(text);
    EXPECT_EQ(samples.at("ota_build_info{version=\"1.2.3\"}"), 1);
    for (const char* state :
         {"PENDING", "CONNECTING", "CONNECTED", "DISCONNECTED", "ERROR", "PROTOCOL_REJECTED", "VERIFYING"})
    {
        EXPECT_EQ(samples.at("ota_devices{state=\"" + std::string(state) + "\"}"), 0) << state;
    }
    for (const char* result : {"PENDING", "SUCCESS", "FAILED", "ABORTED"})
    {
        EXPECT_EQ(samples.at("ota_upgrade_devices{result=\"" + std::string(result) + "\"}"), 0) << result;
    }
    for (const char* status : {"SUCCESS", "FAILED", "ABORTED", "STOPPED"})
    {
        EXPECT_EQ(samples.at("ota_upgrade_tasks_total{status=\"" + std::string(status) + "\"}"), 0) << status;
    }
    EXPECT_EQ(samples.count("ota_upgrade_tasks_total{status=\"RUNNING\"}"), 0u);
    for (const char* status :
         {"READY", "SCHEDULED", "RUNNING", "PAUSED", "HALTED", "CANCELLED", "SUCCESS", "FAILED"})
    {
        EXPECT_EQ(samples.at("ota_rollout_status{status=\"" + std::string(status) + "\"}"), 0) << status;
    }
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"+Inf\"}"), 0);
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_count"), 0);
    // Routes that have not answered yet show already.
    EXPECT_EQ(samples.at("ota_api_requests_total{route=\"/api/v1/health\",code=\"200\"}"), 0);
    EXPECT_EQ(samples.at("ota_api_requests_total{route=\"other\",code=\"200\"}"), 0);
}

TEST(MetricsReport, FiguresAppearUnderTheirSeries)
{
    S_MetricsFigures figures;
    figures.version = "a\"b\\c\nd";  // escaped in the label value
    figures.devices.devicesByState[static_cast<std::size_t>(E_DeviceConnectionState::CONNECTED)] = 997;
    figures.devices.devicesByState[static_cast<std::size_t>(E_DeviceConnectionState::VERIFYING)] = 3;
    figures.devices.sentFrameCount = 12;
    figures.devices.invalidFrameCount = 2;
    figures.upgradeActive = true;
    figures.upgradeDevices = {1, 2, 3, 4};
    figures.engine.finishedTasks[static_cast<std::size_t>(E_UpgradeTaskStatus::ABORTED)] = 5;
    figures.rolloutActive = true;
    figures.newestRolloutStatus = E_RolloutStatus::HALTED;
    figures.rolloutStoreFailures = 6;
    figures.historyWriteFailures = 7;
    figures.auditWriteFailures = 8;
    figures.eventStreamClients = 9;
    figures.siteHolds = 2;
    figures.process = {1.5, 4096, 10, 1700000000.25};
    CApiRequestCounter counter({"/api/v1/upgrades/start"});
    counter.count("/api/v1/upgrades/start", 202);
    counter.count("/api/v1/upgrades/start", 409);
    counter.count("/api/v1/upgrades/start", 409);
    counter.count("/nowhere", 404);
    counter.count("/api/v1/upgrades/start", 599);
    figures.apiRequests = counter.counts();
    CLatencyHistogram histogram;
    histogram.observe(300us);
    histogram.observe(7ms);
    histogram.observe(20s);
    figures.engine.chunkRoundTrips = histogram.snapshot();
    const std::string text = renderMetrics(figures);
    EXPECT_EQ(promtoolProblems(text), "");

    const auto samples = parseMetricSamples(text);
    EXPECT_EQ(samples.at(R"(ota_build_info{version="a\"b\\c\nd"})"), 1);
    EXPECT_EQ(samples.at("ota_devices{state=\"CONNECTED\"}"), 997);
    EXPECT_EQ(samples.at("ota_devices{state=\"VERIFYING\"}"), 3);
    EXPECT_EQ(samples.at("ota_device_frames_sent_total"), 12);
    EXPECT_EQ(samples.at("ota_device_invalid_frames_total"), 2);
    EXPECT_EQ(samples.at("ota_upgrade_active"), 1);
    EXPECT_EQ(samples.at("ota_upgrade_devices{result=\"PENDING\"}"), 1);
    EXPECT_EQ(samples.at("ota_upgrade_devices{result=\"ABORTED\"}"), 4);
    EXPECT_EQ(samples.at("ota_upgrade_tasks_total{status=\"ABORTED\"}"), 5);
    EXPECT_EQ(samples.at("ota_rollout_active"), 1);
    EXPECT_EQ(samples.at("ota_site_held"), 1);
    EXPECT_EQ(samples.at("ota_site_holds"), 2);
    EXPECT_EQ(samples.at("ota_rollout_status{status=\"HALTED\"}"), 1);
    EXPECT_EQ(samples.at("ota_rollout_status{status=\"RUNNING\"}"), 0);
    EXPECT_EQ(samples.at("ota_rollout_store_failures_total"), 6);
    EXPECT_EQ(samples.at("ota_history_write_failures_total"), 7);
    EXPECT_EQ(samples.at("ota_audit_write_failures_total"), 8);
    EXPECT_EQ(samples.at("ota_event_stream_clients"), 9);
    EXPECT_EQ(samples.at("process_cpu_seconds_total"), 1.5);
    EXPECT_EQ(samples.at("process_start_time_seconds"), 1700000000.25);
    EXPECT_EQ(samples.at("ota_api_requests_total{route=\"/api/v1/upgrades/start\",code=\"202\"}"), 1);
    EXPECT_EQ(samples.at("ota_api_requests_total{route=\"/api/v1/upgrades/start\",code=\"409\"}"), 2);
    EXPECT_EQ(samples.at("ota_api_requests_total{route=\"/api/v1/upgrades/start\",code=\"other\"}"), 1);
    EXPECT_EQ(samples.at("ota_api_requests_total{route=\"other\",code=\"404\"}"), 1);
    EXPECT_EQ(samples.count("ota_api_requests_total{route=\"/api/v1/upgrades/start\",code=\"200\"}"), 0u);

    // Cumulative buckets: 300 us is within 0.0005, 7 ms within 0.01, 20 s only within +Inf.
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"0.0005\"}"), 1);
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"0.005\"}"), 1);
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"0.01\"}"), 2);
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"10\"}"), 2);
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_bucket{le=\"+Inf\"}"), 3);
    EXPECT_EQ(samples.at("ota_upgrade_chunk_round_trip_seconds_count"), 3);
    EXPECT_NEAR(samples.at("ota_upgrade_chunk_round_trip_seconds_sum"), 20.0073, 1e-9);
}

TEST(LatencyHistogram, CountsFromManyThreadsWithoutLosingOne)
{
    CLatencyHistogram histogram;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread)
    {
        threads.emplace_back(
            [&histogram, thread]
            {
                for (int index = 0; index < 10000; ++index)
                {
                    histogram.observe(std::chrono::microseconds(thread * 1000 + index % 7));
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    const CLatencyHistogram::S_Snapshot snapshot = histogram.snapshot();
    EXPECT_EQ(snapshot.count, 40000u);
    EXPECT_EQ(snapshot.cumulativeCounts.back(), 40000u);
    // Thread 0 observed below 7 us, all within the first bucket; the rest at 1 ms and more.
    EXPECT_EQ(snapshot.cumulativeCounts.front(), 10000u);
    // A negative duration (a clock that stepped) counts as zero.
    histogram.observe(-5ms);
    EXPECT_EQ(histogram.snapshot().cumulativeCounts.front(), 10001u);
}

TEST(PrometheusText, WritesFloatsIntegersAndInfinities)
{
    CPrometheusText out;
    out.family("x", "gauge", "An x.");
    out.sample("x", {{"a", "1"}}, 0.1);
    out.sample("x", {{"a", "2"}}, std::numeric_limits<double>::infinity());
    out.sample("x", {{"a", "3"}}, std::uint64_t{18446744073709551615u});
    EXPECT_EQ(out.text(),
              "# HELP x An x.\n# TYPE x gauge\nx{a=\"1\"} 0.1\nx{a=\"2\"} +Inf\n"
              "x{a=\"3\"} 18446744073709551615\n");
}

}  // namespace
}  // namespace ota::test
