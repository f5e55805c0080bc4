#include "common/digest.h"
#include "common/json_text.h"
#include "device/chunk_transfer_log.h"
#include "device/device_status_query.h"
#include "device/device_tcp_manager.h"
#include "device/device_tcp_options.h"
#include "device/device_tcp_timing.h"
#include "device/frame_trace.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

// Only the edges of a file transfer get their lines; the summary closes every transfer once,
// whichever way it ends.
TEST(ChunkTransferLog, KeepsTheEdgesOfEachTransferAndSummarisesItOnce)
{
    CChunkTransferLog log;
    std::string summary;
    std::vector<bool> sent;
    std::vector<bool> reported;
    for (std::uint16_t chunk = 0; chunk < 4; ++chunk)
    {
        sent.push_back(log.chunkSent("emu-1", 7, 1, chunk, 4, 100, summary));
        EXPECT_EQ(summary, "");
        reported.push_back(log.chunkReportReceived("emu-1", 7, 1, chunk, true, 26, summary));
        EXPECT_EQ(summary.empty(), chunk != 3);
    }
    EXPECT_EQ(sent, (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(reported, (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(summary,
              "File transfer ended: emu-1, upgradeNo=7, fileNo=1, chunkFrames=4/4, chunkBytes=400, "
              "reportFrames=4, reportBytes=104");
    EXPECT_FALSE(log.transferRunning());
    log.interrupt("emu-1", summary);
    EXPECT_EQ(summary, "") << "an ended transfer is not reported again";

    // A second file starts while the first is still running: the first stopped.
    EXPECT_TRUE(log.chunkSent("emu-1", 7, 2, 0, 3, 50, summary));
    EXPECT_FALSE(log.chunkSent("emu-1", 7, 2, 1, 3, 50, summary));
    EXPECT_TRUE(log.chunkSent("emu-1", 7, 3, 0, 2, 60, summary));
    EXPECT_EQ(summary,
              "File transfer stopped: emu-1, upgradeNo=7, fileNo=2, chunkFrames=2/3, chunkBytes=100, "
              "reportFrames=0, reportBytes=0");

    // A failed report keeps its line and stops the transfer; a report of no running transfer keeps
    // its line and changes nothing.
    EXPECT_TRUE(log.chunkReportReceived("emu-1", 7, 3, 0, false, 26, summary));
    EXPECT_EQ(summary,
              "File transfer stopped: emu-1, upgradeNo=7, fileNo=3, chunkFrames=1/2, chunkBytes=60, "
              "reportFrames=1, reportBytes=26");
    EXPECT_TRUE(log.chunkReportReceived("emu-1", 7, 3, 1, true, 26, summary));
    EXPECT_EQ(summary, "");

    // Another frame or the connection's end stops a running transfer.
    EXPECT_TRUE(log.chunkSent("emu-1", 8, 1, 0, 5, 10, summary));
    log.interrupt("emu-1", summary);
    EXPECT_EQ(summary,
              "File transfer stopped: emu-1, upgradeNo=8, fileNo=1, chunkFrames=1/5, chunkBytes=10, "
              "reportFrames=0, reportBytes=0");
    EXPECT_FALSE(log.transferRunning());

    // A chunk whose write failed leaves the counts and stops its transfer.
    EXPECT_TRUE(log.chunkSent("emu-1", 9, 1, 0, 3, 40, summary));
    EXPECT_FALSE(log.chunkSent("emu-1", 9, 1, 1, 3, 40, summary));
    log.chunkNotSent("emu-1", 40, summary);
    EXPECT_EQ(summary,
              "File transfer stopped: emu-1, upgradeNo=9, fileNo=1, chunkFrames=1/3, chunkBytes=40, "
              "reportFrames=0, reportBytes=0");
    log.chunkNotSent("emu-1", 40, summary);
    EXPECT_EQ(summary, "") << "a transfer the connection's end already stopped is not reported again";
}

TEST(DeviceTcpTiming, BackoffDoublesToTheCapWithFixedJitter)
{
    const std::uint32_t jitter = fnv1a32("pcs-1") % 1250;
    const std::uint64_t expected[] = {5000, 10000, 20000, 40000, 60000, 60000};
    for (std::uint32_t attempt = 0; attempt < 6; ++attempt)
    {
        EXPECT_EQ(reconnectDelayMs("pcs-1", 5000, attempt), expected[attempt] + jitter);
    }
    EXPECT_EQ(nextReconnectAttempt(31), 32u);
    EXPECT_EQ(nextReconnectAttempt(32), 32u);
}

TEST(DeviceTcpTiming, StartsAreStaggeredInGroupsOfSixteen)
{
    EXPECT_LT(staggeredStartOffsetMs("a", 0), 25u);
    EXPECT_GE(staggeredStartOffsetMs("a", 16), 50u);
    EXPECT_LT(staggeredStartOffsetMs("a", 31), 75u);
    const std::uint64_t initial = initialStatusQueryDelayMs("a", 3000);
    EXPECT_GE(initial, 3000u);
    EXPECT_LT(initial, 3600u);
}

TEST(DeviceTcpTiming, SupervisorPassesGrowWithTheSiteFromTenToFiftyMilliseconds)
{
    const std::pair<std::size_t, std::uint32_t> cases[] = {{0, 10},   {1, 10},   {33, 10},   {40, 10},
                                                           {100, 25}, {200, 50}, {1000, 50}, {5000, 50}};
    for (const auto& [nodes, intervalMs] : cases)
    {
        EXPECT_EQ(supervisorPassIntervalMs(nodes), intervalMs) << nodes;
    }
}

TEST(DeviceTcpOptions, RulesAcceptTheTestFloorAndRejectBelow)
{
    S_DeviceTcpOptions options{100, 100, 100, 100, 1};
    EXPECT_TRUE(areDeviceTcpOptionsValid(options));
    options.reconnectIntervalMs = 99;
    EXPECT_FALSE(areDeviceTcpOptionsValid(options));
}

TEST(DeviceStatusQuerySummary, PartialRejectedAndInconsistent)
{
    S_DeviceStatusQuerySummary summary;
    summary.configuredCount = 5;
    summary.submittedCount = 3;
    summary.dispatchedCount = 3;
    summary.skippedCount = 2;
    summary.errors.resize(2, S_DeviceStatusQueryResult{"n", "N", "DISCONNECTED", "SKIPPED", "DEVICE_NOT_CONNECTED",
                                                       "Device TCP connection is not connected"});
    std::string json;
    std::string error;
    ASSERT_TRUE(serializeDeviceStatusQuerySummary(summary, 7, json, error)) << error;
    nlohmann::json parsed;
    ASSERT_TRUE(parseJsonText(json, parsed, error));
    EXPECT_EQ(parsed["status"], "PARTIAL");
    EXPECT_EQ(parsed["errorCount"], 2);
    EXPECT_EQ(parsed["sceneGeneration"], 7);

    summary.submittedCount = 0;
    summary.skippedCount = 5;
    ASSERT_TRUE(serializeDeviceStatusQuerySummary(summary, 7, json, error));
    ASSERT_TRUE(parseJsonText(json, parsed, error));
    EXPECT_EQ(parsed["status"], "REJECTED");
    EXPECT_EQ(parsed["ready"], false);

    summary.skippedCount = 1;
    EXPECT_FALSE(serializeDeviceStatusQuerySummary(summary, 7, json, error));
    EXPECT_EQ(error, "Device status query summary counts are inconsistent");
}

TEST(FrameTraceRing, KeepsTheLastThousandRecords)
{
    CFrameTraceRing ring;
    for (std::uint32_t i = 0; i < 1001; ++i)
    {
        S_FrameTraceRecord record;
        record.upgradeNo = i;
        ring.append(record);
    }
    const auto records = ring.copy();
    ASSERT_EQ(records.size(), 1000u);
    EXPECT_EQ(records.front().upgradeNo, 1u);
    const std::uint8_t bytes[] = {0x5A, 0x01, 0xFF};
    EXPECT_EQ(formatFrameHexText(bytes, 3), "5A 01 FF");
}

TEST(DeviceTcpManagerStopped, ReportsNotRunningEverywhere)
{
    CDeviceTcpManager manager;
    std::string error;
    EXPECT_FALSE(manager.sendUpgradeCommand("n", 0, {}, error));
    EXPECT_EQ(error, "Upgrade number must not be zero");
    EXPECT_FALSE(manager.sendUpgradeCommand("n", 1, {}, error));
    EXPECT_EQ(error, "Device TCP manager is not running");
    S_DeviceStatusQuerySummary summary;
    EXPECT_FALSE(manager.requestDeviceStatusQuery(summary, error));
    ASSERT_EQ(summary.errors.size(), 1u);
    EXPECT_EQ(summary.errors[0].code, "DEVICE_TCP_MANAGER_NOT_RUNNING");
    std::string json;
    ASSERT_TRUE(manager.serializeCommunicationSnapshot(0, true, json, error));
    nlohmann::json parsed;
    ASSERT_TRUE(parseJsonText(json, parsed, error));
    EXPECT_EQ(parsed["status"], "NOT_READY");
    EXPECT_TRUE(parsed["communicationNodes"].empty());
    manager.setFrameCaptureEnabled(true);
    EXPECT_EQ(manager.getFrameTraceVersion(), 1u);
    manager.stop();
}

}  // namespace
}  // namespace ota::backend
