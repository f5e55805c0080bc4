// Devices that misbehave at the byte level never stall the event loop or the other nodes, and a
// stop with a thousand connected nodes finishes within its close barrier.
#include "device/device_test_site.h"
#include "device/raw_device_peer.h"
#include "protocol/protocol_adapter.h"
#include "protocol/protocol_enums.h"
#include "sim/device_simulator.h"
#include "sim/sim_test_client.h"
#include "sim/sim_test_support.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <atomic>

namespace ota::backend
{
namespace
{

using ota::test::CRawConnection;
using ota::test::CRawDevicePeer;
using ota::test::nodeStatus;
using ota::test::quickOptions;
using ota::test::S_TestNode;
using ota::test::waitForState;
using ota::test::waitUntil;
using State = E_DeviceConnectionState;

constexpr std::size_t FLOOD_BYTES = 16u << 20;

// A healthy simulated PCS beside one misbehaving peer.
class DeviceTcpRobustnessTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        manager.stop();
        simulator.stop();
    }

    void startBeside(CRawDevicePeer& peer, S_DeviceTcpOptions options = quickOptions())
    {
        ota::test::startSimulator(simulator, {ota::test::quickDevice("pcs-ok", E_ProtocolDeviceType::PCS)});
        const std::vector<S_TestNode> nodes{S_TestNode{"pcs-ok", "PCS", simulator.boundPort("pcs-ok")},
                                            S_TestNode{"pcs-bad", "PCS", peer.port()}};
        ASSERT_TRUE(manager.start(ota::test::makeDeviceTopology(nodes), options, error)) << error;
        ASSERT_TRUE(waitForState(manager, "pcs-ok", State::CONNECTED));
    }

    S_CommunicationNodeStatus status(const std::string& nodeId)
    {
        return nodeStatus(manager, nodeId).value_or(S_CommunicationNodeStatus{});
    }

    // The healthy node answers a status query while the other one misbehaves: the loop is free.
    void expectHealthyNodeAnswers()
    {
        const std::uint64_t before = status("pcs-ok").statusReportCount;
        ASSERT_TRUE(manager.sendUpgradeStatusQuery("pcs-ok", 1, error)) << error;
        ASSERT_TRUE(waitUntil([&] { return status("pcs-ok").statusReportCount > before; }));
    }

    void expectHealthyNodeUntouched()
    {
        const S_CommunicationNodeStatus ok = status("pcs-ok");
        EXPECT_EQ(ok.connectionState, State::CONNECTED);
        EXPECT_EQ(ok.successfulConnectionCount, 1u);
        EXPECT_EQ(ok.disconnectionCount, 0u);
        EXPECT_TRUE(ok.lastError.empty()) << ok.lastError;
    }

    CDeviceSimulator simulator;
    CDeviceTcpManager manager;
    std::string error;
};

// Sends the bytes in pieces until all are sent or the connection ends; then holds it open.
void sendAllThenHold(CRawConnection& connection, const std::vector<std::uint8_t>& bytes,
                     std::atomic<bool>& done)
{
    constexpr std::size_t PIECE = 65536;
    for (std::size_t offset = 0; offset < bytes.size(); offset += PIECE)
    {
        const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        if (!connection.send(std::vector<std::uint8_t>(
                begin, begin + static_cast<std::ptrdiff_t>(std::min(PIECE, bytes.size() - offset)))))
        {
            return;
        }
    }
    done = true;
    connection.holdOpen();
}

TEST_F(DeviceTcpRobustnessTest, GarbageFloodIsDiscardedWhileTheOtherNodesGoOn)
{
    std::vector<std::uint8_t> garbage(FLOOD_BYTES);
    std::uint32_t state = 99;
    for (std::uint8_t& byte : garbage)
    {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    std::atomic<bool> sent{false};
    CRawDevicePeer flooder([&](CRawConnection& connection) { sendAllThenHold(connection, garbage, sent); });
    S_DeviceTcpOptions options = quickOptions();
    options.initialStatusQueryDelayMs = 600000;  // the flooder is never asked, so never closed
    startBeside(flooder, options);

    while (!sent)
    {
        expectHealthyNodeAnswers();
        if (HasFatalFailure())
        {
            return;
        }
    }
    ASSERT_TRUE(waitUntil([&] { return status("pcs-bad").receivedByteCount == FLOOD_BYTES; }));
    const S_CommunicationNodeStatus bad = status("pcs-bad");
    EXPECT_EQ(bad.connectionState, State::VERIFYING);
    EXPECT_EQ(bad.receivedFrameCount, 0u);
    expectHealthyNodeAnswers();
    expectHealthyNodeUntouched();
}

TEST_F(DeviceTcpRobustnessTest, EndlessChunkSizedFramesAreDroppedOneByOne)
{
    // Frames of the tool's direction at the largest accepted size, without end.
    std::string encodeError;
    const auto encoder = createProtocolAdapter("ota-v1", "PCS", encodeError);
    ASSERT_NE(encoder, nullptr) << encodeError;
    const ota::test::S_TestFirmware firmware = ota::test::makeFirmware(1, 32768 * 2, 32768);
    std::vector<std::uint8_t> frame;
    std::string messageType;
    ASSERT_TRUE(encoder->encodeFileChunk(1, firmware.chunk(0), frame, messageType, encodeError))
        << encodeError;
    std::vector<std::uint8_t> stream = ota::test::deviceStatusFrame("PCS");
    while (stream.size() < FLOOD_BYTES)
    {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }

    std::atomic<bool> sent{false};
    CRawDevicePeer flooder([&](CRawConnection& connection) { sendAllThenHold(connection, stream, sent); });
    startBeside(flooder);
    while (!sent)
    {
        expectHealthyNodeAnswers();
        if (HasFatalFailure())
        {
            return;
        }
    }
    ASSERT_TRUE(waitUntil([&] { return status("pcs-bad").receivedByteCount == stream.size(); }));
    const S_CommunicationNodeStatus bad = status("pcs-bad");
    EXPECT_EQ(bad.connectionState, State::CONNECTED);
    EXPECT_EQ(bad.receivedFrameCount, 1u) << "only the status was a device frame";
    EXPECT_EQ(bad.lastError,
              "Inbound frame direction is invalid: MSG_EMS_FILE_CHUNK is OTA-tool-to-device only");
    expectHealthyNodeAnswers();
    expectHealthyNodeUntouched();
}

TEST_F(DeviceTcpRobustnessTest, PeerThatClosesEveryConnectionIsRetriedAlone)
{
    CRawDevicePeer flapping([](CRawConnection&) {});
    startBeside(flapping);
    ASSERT_TRUE(waitUntil(
        [&]
        { return status("pcs-bad").disconnectionCount + status("pcs-bad").connectionFailureCount >= 5; }));
    expectHealthyNodeAnswers();
    const S_CommunicationNodeStatus bad = status("pcs-bad");
    EXPECT_GE(flapping.acceptedCount(), 3u);
    EXPECT_EQ(bad.statusReportCount, 0u);
    EXPECT_GE(bad.connectionAttemptCount, 5u);
    expectHealthyNodeUntouched();
}

TEST_F(DeviceTcpRobustnessTest, FrameStalledHalfwayIsDroppedWithItsConnection)
{
    const std::vector<std::uint8_t> frame = ota::test::deviceStatusFrame("PCS");
    const std::vector<std::uint8_t> firstHalf(frame.begin(), frame.begin() + 40);
    const std::vector<std::uint8_t> secondHalf(frame.begin() + 40, frame.end());
    std::atomic<int> connections{0};
    CRawDevicePeer staller(
        [&](CRawConnection& connection)
        {
            if (++connections == 1)
            {
                // Half a frame, then silence until the backend gives up on the connection.
                connection.sendThenHoldOpen(firstHalf);
                return;
            }
            // A new connection must not complete the old one's frame: the rest alone is no frame.
            std::vector<std::uint8_t> rest = secondHalf;
            rest.insert(rest.end(), frame.begin(), frame.end());
            connection.sendThenHoldOpen(rest);
        });
    S_DeviceTcpOptions options = quickOptions();
    options.statusReplyTimeoutMs = 300;
    startBeside(staller, options);

    ASSERT_TRUE(waitUntil(
        [&]
        {
            const S_CommunicationNodeStatus bad = status("pcs-bad");
            return bad.connectionState == State::CONNECTED && bad.successfulConnectionCount == 2;
        }));
    const S_CommunicationNodeStatus bad = status("pcs-bad");
    EXPECT_EQ(bad.disconnectionCount, 1u);
    EXPECT_EQ(bad.statusReportCount, 1u);
    EXPECT_EQ(bad.receivedFrameCount, 1u);
    expectHealthyNodeAnswers();
    expectHealthyNodeUntouched();
}

TEST_F(DeviceTcpRobustnessTest, DeviceThatStopsReadingFailsSendsOnceItsBacklogIsFull)
{
    CRawDevicePeer stalled(
        [](CRawConnection& connection)
        {
            if (connection.send(ota::test::deviceStatusFrame("PCS")))
            {
                connection.stall();
            }
        });
    startBeside(stalled);
    ASSERT_TRUE(waitForState(manager, "pcs-bad", State::CONNECTED));

    // The kernel's socket buffers take a few megabytes, then the connection's own backlog its
    // 4 MiB; beyond that every send fails at once instead of queueing without bound.
    const ota::test::S_TestFirmware firmware = ota::test::makeFirmware(1, 32768 * 2, 32768);
    bool refused = false;
    for (int frame = 0; frame < 4096 && !refused; ++frame)
    {
        refused = !manager.sendUpgradeFileChunk("pcs-bad", 5, firmware.chunk(0), error);
    }
    ASSERT_TRUE(refused);
    EXPECT_EQ(error, "libhv failed to submit encoded protocol frame, result=-105");
    EXPECT_EQ(status("pcs-bad").lastError, error);
    EXPECT_EQ(status("pcs-bad").connectionState, State::CONNECTED);
    expectHealthyNodeAnswers();
    expectHealthyNodeUntouched();
}

TEST(DeviceTcpManagerScale, StopWithAThousandConnectedNodesFinishesWithinTheCloseBarrier)
{
    ASSERT_GE(ota::test::raiseOpenFileLimit(), 3200u) << "three descriptors per device in one process";
    std::vector<S_SimDeviceSpec> devices;
    for (int i = 0; i < 1000; ++i)
    {
        const E_ProtocolDeviceType type = i % 10 == 0  ? E_ProtocolDeviceType::EMU
                                          : i % 2 == 0 ? E_ProtocolDeviceType::PCS
                                                       : E_ProtocolDeviceType::BMS;
        devices.push_back(ota::test::quickDevice("dev-" + std::to_string(i), type));
    }
    std::vector<S_TestNode> nodes;
    for (const S_SimDeviceSpec& device : devices)
    {
        nodes.push_back(S_TestNode{device.nodeId, protocolDeviceTypeName(device.deviceType), 0});
    }
    S_SimOptions quiet;
    quiet.logLevel = E_SimLogLevel::QUIET;
    CDeviceSimulator simulator(quiet);
    std::string error;
    ASSERT_TRUE(simulator.start(std::move(devices), error)) << error;
    for (S_TestNode& node : nodes)
    {
        node.port = simulator.boundPort(node.id);
    }

    CDeviceTcpManager manager;
    ASSERT_TRUE(manager.start(ota::test::makeDeviceTopology(nodes), quickOptions(), error)) << error;
    ASSERT_TRUE(waitUntil([&] { return manager.getStatusSummary().connectedDeviceCount == 1000; },
                          std::chrono::seconds(180)));

    ::testing::internal::CaptureStdout();
    manager.stop();
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(output.find("close barrier timed out"), std::string::npos);
    EXPECT_NE(output.find("[INFO] Device TCP connections stopped"), std::string::npos);
    ASSERT_TRUE(waitUntil(
        [&]
        {
            for (const S_SimDeviceSnapshot& device : simulator.snapshots())
            {
                if (device.connected)
                {
                    return false;
                }
            }
            return true;
        }));
    simulator.stop();
}

}  // namespace
}  // namespace ota::backend
