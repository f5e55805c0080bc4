// The device TCP manager against the real simulator over loopback: start-up checks, verification,
// reconnects, protocol rejection, the upgrade transport, status queries, manual reconnect, the
// callbacks and the frame trace.
#include "common/json_text.h"
#include "device/device_test_site.h"
#include "device/raw_device_peer.h"
#include "protocol/protocol_enums.h"
#include "sim/device_simulator.h"
#include "sim/sim_test_support.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace ota::backend
{
namespace
{

using ota::test::CRawConnection;
using ota::test::CRawDevicePeer;
using ota::test::CTransportRecorder;
using ota::test::nodeStatus;
using ota::test::quickOptions;
using ota::test::S_TestNode;
using ota::test::waitForState;
using ota::test::waitUntil;
using State = E_DeviceConnectionState;
using json = nlohmann::json;

// A port nothing listens on: bound once, then released.
std::uint16_t closedPort()
{
    CRawDevicePeer peer([](CRawConnection&) {});
    const std::uint16_t port = peer.port();
    peer.stop();
    return port;
}

class DeviceTcpManagerTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        manager.stop();
        simulator.stop();
    }

    // Starts the simulator with these devices and returns them as topology nodes on their ports.
    std::vector<S_TestNode> simulate(std::vector<S_SimDeviceSpec> devices)
    {
        std::vector<S_TestNode> nodes;
        for (const S_SimDeviceSpec& device : devices)
        {
            nodes.push_back(S_TestNode{device.nodeId, protocolDeviceTypeName(device.deviceType), 0});
        }
        ota::test::startSimulator(simulator, std::move(devices));
        for (S_TestNode& node : nodes)
        {
            node.port = simulator.boundPort(node.id);
        }
        return nodes;
    }

    void start(const std::vector<S_TestNode>& nodes, S_DeviceTcpOptions options = quickOptions())
    {
        recorder.attach(manager);
        ASSERT_TRUE(manager.start(ota::test::makeDeviceTopology(nodes), options, error)) << error;
    }

    S_CommunicationNodeStatus status(const std::string& nodeId)
    {
        const auto found = nodeStatus(manager, nodeId);
        return found.value_or(S_CommunicationNodeStatus{});
    }

    S_SimDeviceSnapshot device(const std::string& nodeId)
    {
        S_SimDeviceSnapshot snapshot;
        std::string snapshotError;
        EXPECT_TRUE(simulator.snapshot(nodeId, snapshot, snapshotError)) << snapshotError;
        return snapshot;
    }

    CDeviceSimulator simulator;
    CDeviceTcpManager manager;
    CTransportRecorder recorder;
    std::string error;
};

S_SimDeviceSpec waitingForQuery(S_SimDeviceSpec spec)
{
    spec.statusOnConnect = false;
    return spec;
}

S_SimDeviceSpec withFault(S_SimDeviceSpec spec, E_SimFaultKind kind)
{
    S_SimFault fault;
    fault.kind = kind;
    spec.faults.push_back(fault);
    return spec;
}

S_SimDeviceSpec quick(const std::string& id, E_ProtocolDeviceType type)
{
    return ota::test::quickDevice(id, type);
}

TEST_F(DeviceTcpManagerTest, StatusSentOnConnectVerifiesWithoutAQuery)
{
    start(simulate({quick("pcs-1", E_ProtocolDeviceType::PCS), quick("bms-1", E_ProtocolDeviceType::BMS)}));
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    ASSERT_TRUE(waitForState(manager, "bms-1", State::CONNECTED));

    const S_CommunicationNodeStatus pcs = status("pcs-1");
    EXPECT_EQ(pcs.sentFrameCount, 0u) << "no query was needed";
    EXPECT_EQ(pcs.statusReportCount, 1u);
    EXPECT_TRUE(pcs.statusSynchronized);
    EXPECT_EQ(pcs.upgradeState, "READY");
    EXPECT_EQ(pcs.connectionAttemptCount, 1u);
    EXPECT_EQ(pcs.successfulConnectionCount, 1u);
    EXPECT_EQ(pcs.reconnectAttempt, 0u);
    EXPECT_EQ(pcs.nextReconnectAt, 0);
    EXPECT_GT(pcs.lastConnectedAt, 0);
    EXPECT_GE(pcs.lastStatusAt, pcs.lastConnectedAt);
    EXPECT_TRUE(pcs.lastError.empty());
    EXPECT_EQ(pcs.nodePath, "Site 1 / Device pcs-1");
    ASSERT_EQ(pcs.components.size(), 4u);
    EXPECT_EQ(pcs.components[0].componentTypeId, "PCS_DSP1");
    EXPECT_EQ(pcs.components[0].version, "1.0.0");
    EXPECT_EQ(status("bms-1").components.size(), 8u);

    const std::vector<State> expected{State::CONNECTING, State::VERIFYING, State::CONNECTED};
    EXPECT_TRUE(waitUntil([&] { return recorder.states("pcs-1").size() == expected.size(); }));
    EXPECT_EQ(recorder.states("pcs-1"), expected);
    // Every event is delivered, the verifying status included.
    EXPECT_TRUE(recorder.waitForEvent("pcs-1", "MSG_DEVICE_STATUS").has_value());
}

TEST_F(DeviceTcpManagerTest, DeviceThatWaitsForAQueryIsVerifiedByTheInitialQuery)
{
    start(simulate({waitingForQuery(quick("emu-1", E_ProtocolDeviceType::EMU))}));
    ASSERT_TRUE(waitForState(manager, "emu-1", State::CONNECTED));
    // The reply may be handled before the sending thread counts the frame it wrote.
    EXPECT_TRUE(waitUntil([&] { return status("emu-1").sentFrameCount != 0; }));
    const S_CommunicationNodeStatus emu = status("emu-1");
    EXPECT_EQ(emu.sentFrameCount, 1u);
    EXPECT_EQ(emu.sentByteCount, 17u);
    EXPECT_GT(emu.lastQueryAt, 0);
    EXPECT_EQ(emu.statusReportCount, 1u);
    EXPECT_EQ(device("emu-1").counters.framesReceived[1], 1u) << "exactly one MSG_QUERY_STATUS";
}

TEST_F(DeviceTcpManagerTest, SilentDeviceIsQueriedOnceClosedAfterTheReplyTimeoutAndReconnected)
{
    S_DeviceTcpOptions options = quickOptions();
    options.statusReplyTimeoutMs = 300;
    start(simulate({withFault(waitingForQuery(quick("pcs-1", E_ProtocolDeviceType::PCS)),
                              E_SimFaultKind::SILENT)}),
          options);

    ASSERT_TRUE(waitUntil([&] { return status("pcs-1").successfulConnectionCount >= 2; }));
    const S_CommunicationNodeStatus pcs = status("pcs-1");
    EXPECT_GE(pcs.disconnectionCount, 1u);
    EXPECT_GE(pcs.connectionAttemptCount, 2u);
    EXPECT_GE(pcs.lastDisconnectedAt, 0);
    EXPECT_EQ(pcs.statusReportCount, 0u);
    const std::vector<State> states = recorder.states("pcs-1");
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(states[2], State::DISCONNECTED);
    EXPECT_EQ(states[3], State::CONNECTING);
    // One query per connection: the first connection got exactly one before it was closed.
    EXPECT_GE(device("pcs-1").counters.framesReceived[1], 1u);
    EXPECT_LE(device("pcs-1").counters.framesReceived[1], pcs.successfulConnectionCount);
}

TEST_F(DeviceTcpManagerTest, VerificationTimeoutIsWrittenToTheNodeWhenItCloses)
{
    S_DeviceTcpOptions options = quickOptions();
    options.statusReplyTimeoutMs = 200;
    options.reconnectIntervalMs = 60000;  // stays DISCONNECTED for the test's reading
    start(simulate({withFault(waitingForQuery(quick("pcs-1", E_ProtocolDeviceType::PCS)),
                              E_SimFaultKind::SILENT)}),
          options);
    ASSERT_TRUE(waitUntil([&] { return status("pcs-1").disconnectionCount == 1; }));
    const S_CommunicationNodeStatus pcs = status("pcs-1");
    EXPECT_EQ(pcs.connectionState, State::DISCONNECTED);
    EXPECT_EQ(pcs.lastError, "OTA protocol verification timed out: no valid MSG_DEVICE_STATUS reply");
    EXPECT_EQ(pcs.reconnectAttempt, 1u);
    EXPECT_GE(pcs.nextReconnectAt, pcs.lastDisconnectedAt + 60000);
    EXPECT_FALSE(pcs.statusSynchronized);
}

TEST_F(DeviceTcpManagerTest, StartChecksComeInOrderAndAFailedStartLeavesNothingRunning)
{
    std::vector<S_TestNode> nodes = simulate({quick("pcs-1", E_ProtocolDeviceType::PCS)});
    EXPECT_FALSE(manager.start(ota::scenario::S_SceneTopology{}, quickOptions(), error));
    EXPECT_EQ(error, "Cannot start device TCP manager with an empty topology");

    S_DeviceTcpOptions invalid = quickOptions();
    invalid.statusReplyTimeoutMs = 99;
    EXPECT_FALSE(manager.start(ota::test::makeDeviceTopology(nodes), invalid, error));
    EXPECT_EQ(error, "Device TCP timeout options are invalid");

    EXPECT_FALSE(manager.start(ota::test::makeDeviceTopology({}), quickOptions(), error));
    EXPECT_EQ(error, "Cannot start device TCP manager without communication nodes");

    std::vector<S_TestNode> duplicated = nodes;
    duplicated.push_back(nodes[0]);
    EXPECT_FALSE(manager.start(ota::test::makeDeviceTopology(duplicated), quickOptions(), error));
    EXPECT_EQ(error, "Duplicate communication node ID: pcs-1");
    EXPECT_FALSE(manager.isRunning());
    EXPECT_TRUE(manager.getCommunicationNodeStatuses().empty());

    std::vector<S_TestNode> unsupported = nodes;
    unsupported[0].protocolNodeType = "UPS";
    EXPECT_FALSE(manager.start(ota::test::makeDeviceTopology(unsupported), quickOptions(), error));
    EXPECT_EQ(error.rfind("Cannot create protocol adapter for communication node pcs-1: ", 0), 0u) << error;

    // None of the failed starts ever connected; a valid one does.
    EXPECT_EQ(device("pcs-1").counters.connectionsAccepted, 0u);
    start(nodes);
    EXPECT_FALSE(manager.start(ota::test::makeDeviceTopology(nodes), quickOptions(), error));
    EXPECT_EQ(error, "Device TCP manager is already running");
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
}

TEST_F(DeviceTcpManagerTest, UnparsableAddressEndsInErrorWhileTheOtherNodesConnect)
{
    std::vector<S_TestNode> nodes = simulate({quick("pcs-1", E_ProtocolDeviceType::PCS)});
    nodes.push_back(S_TestNode{"pcs-bad", "PCS", 502, "pcs-bad.local"});
    nodes.push_back(S_TestNode{"pcs-zero", "PCS", 0, "127.0.0.1"});
    start(nodes);
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    for (const char* id : {"pcs-bad", "pcs-zero"})
    {
        const S_CommunicationNodeStatus bad = status(id);
        EXPECT_EQ(bad.connectionState, State::ERROR) << id;
        EXPECT_FALSE(bad.reconnectAllowed) << id;
        EXPECT_EQ(bad.lastError, "libhv createsocket failed with result=-22; endpoint address is invalid")
            << id;
        EXPECT_EQ(bad.connectionAttemptCount, 0u) << id;
    }
}

TEST_F(DeviceTcpManagerTest, FrameOfAnotherDeviceTypeRejectsThePeerForGood)
{
    // A BMS status on a PCS node, after which the peer would happily talk on.
    CRawDevicePeer impostor([](CRawConnection& connection)
                            { connection.sendThenHoldOpen(ota::test::deviceStatusFrame("BMS")); });
    // Flaps on every connect, so its attempts measure the time the rejected node had to retry.
    CRawDevicePeer flapping([](CRawConnection&) {});
    start({S_TestNode{"pcs-1", "PCS", impostor.port()}, S_TestNode{"pcs-2", "PCS", flapping.port()}});

    ASSERT_TRUE(waitForState(manager, "pcs-1", State::PROTOCOL_REJECTED));
    S_CommunicationNodeStatus pcs = status("pcs-1");
    EXPECT_EQ(pcs.upgradeState, "FAULT");
    EXPECT_FALSE(pcs.reconnectAllowed);
    EXPECT_FALSE(pcs.statusSynchronized);
    EXPECT_TRUE(pcs.components.empty());
    EXPECT_FALSE(pcs.lastError.empty());
    EXPECT_TRUE(waitUntil([&] { return recorder.states("pcs-1").back() == State::PROTOCOL_REJECTED; }));

    const std::uint64_t flapsAtRejection = status("pcs-2").connectionAttemptCount;
    ASSERT_TRUE(waitUntil([&] { return status("pcs-2").connectionAttemptCount >= flapsAtRejection + 3; }));
    pcs = status("pcs-1");
    EXPECT_EQ(pcs.connectionState, State::PROTOCOL_REJECTED);
    EXPECT_EQ(pcs.connectionAttemptCount, 1u);
    EXPECT_EQ(impostor.acceptedCount(), 1u);
}

TEST_F(DeviceTcpManagerTest, SendsAreCheckedInOrder)
{
    S_ProtocolCommand command{toProtocolByte(E_ProtocolCommandType::PREPARE_UPGRADE),
                              toProtocolByte(E_ProtocolStage::PREPARATION), 0};
    EXPECT_FALSE(manager.sendUpgradeCommand("", 0, command, error));
    EXPECT_EQ(error, "Communication node ID is empty");
    EXPECT_FALSE(manager.sendUpgradeFileChunk("nowhere", 0, S_ProtocolFileChunk{}, error));
    EXPECT_EQ(error, "Upgrade number must not be zero");
    EXPECT_FALSE(manager.sendUpgradeCommand("pcs-1", 7, command, error));
    EXPECT_EQ(error, "Device TCP manager is not running");
    EXPECT_FALSE(manager.submitEncodedFrame("pcs-1", {}, "MSG_EMS_CMD", 7, error));
    EXPECT_EQ(error, "Encoded protocol frame is empty");

    // pcs-1 stays VERIFYING: it never answers and is asked only after a long delay.
    S_DeviceTcpOptions options = quickOptions();
    options.initialStatusQueryDelayMs = 600000;
    start(simulate(
              {withFault(waitingForQuery(quick("pcs-1", E_ProtocolDeviceType::PCS)), E_SimFaultKind::SILENT),
               quick("pcs-2", E_ProtocolDeviceType::PCS)}),
          options);
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::VERIFYING));
    ASSERT_TRUE(waitForState(manager, "pcs-2", State::CONNECTED));

    EXPECT_FALSE(manager.sendUpgradeCommand("pcs-9", 7, command, error));
    EXPECT_EQ(error, "Communication node does not exist: pcs-9");
    EXPECT_FALSE(manager.sendUpgradeCommand("pcs-1", 7, command, error));
    EXPECT_EQ(error, "Communication node is not connected: pcs-1");
    S_ProtocolFileChunk invalidChunk;  // file number 0 breaks the body rules
    EXPECT_FALSE(manager.sendUpgradeFileChunk("pcs-2", 7, invalidChunk, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(status("pcs-2").sentFrameCount, 0u);

    // An upgrade status query is an ordinary upgrade frame: it gets its answer like any other.
    ASSERT_TRUE(manager.sendUpgradeStatusQuery("pcs-2", 7, error)) << error;
    const auto answer = recorder.waitForEvent("pcs-2", "MSG_DEVICE_STATUS");
    ASSERT_TRUE(answer.has_value());
    ASSERT_TRUE(waitUntil([&] { return status("pcs-2").statusReportCount == 2; }));
    EXPECT_EQ(status("pcs-2").upgradeNo, 7u);
    EXPECT_EQ(status("pcs-2").sentFrameCount, 1u);
}

TEST_F(DeviceTcpManagerTest, UpgradeFramesReachTheDeviceAndItsAnswersComeBack)
{
    start(simulate({quick("pcs-1", E_ProtocolDeviceType::PCS)}));
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    const std::uint8_t pcs = toProtocolByte(E_ProtocolDeviceType::PCS);

    ASSERT_TRUE(manager.sendUpgradeTargetList("pcs-1", 42, ota::test::allTargets(pcs, "2.0.0"), error))
        << error;
    const auto ack = recorder.waitForEvent("pcs-1", "MSG_DEVICE_ACK");
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->upgradeNo, 42u);
    ASSERT_NE(ack->ack(), nullptr);
    EXPECT_EQ(ack->ack()->stage, toProtocolByte(E_ProtocolStage::PREPARATION));
    EXPECT_EQ(ack->ack()->result, 1);

    const S_ProtocolCommand prepare{toProtocolByte(E_ProtocolCommandType::PREPARE_UPGRADE),
                                    toProtocolByte(E_ProtocolStage::PREPARATION), 0};
    ASSERT_TRUE(manager.sendUpgradeCommand("pcs-1", 42, prepare, error)) << error;
    const auto report = recorder.waitForEvent("pcs-1", "MSG_DEVICE_STAGE_REPORT");
    ASSERT_TRUE(report.has_value());
    ASSERT_NE(report->stageReport(), nullptr);
    EXPECT_EQ(report->stageReport()->result, 1);

    EXPECT_EQ(status("pcs-1").sentFrameCount, 2u);
    EXPECT_TRUE(device("pcs-1").upgradeContextOpen);
    EXPECT_EQ(device("pcs-1").contextUpgradeNo, 42u);
}

TEST_F(DeviceTcpManagerTest, WholeSiteStatusQueryReportsWhatItCouldSubmit)
{
    S_DeviceStatusQuerySummary summary;
    EXPECT_FALSE(manager.requestDeviceStatusQuery(summary, error));
    EXPECT_EQ(error, "Device TCP manager is not running");
    ASSERT_EQ(summary.errors.size(), 1u);
    EXPECT_EQ(summary.errors[0].connectionState, "NOT_RUNNING");
    EXPECT_EQ(summary.errors[0].code, "DEVICE_TCP_MANAGER_NOT_RUNNING");

    std::vector<S_TestNode> nodes =
        simulate({quick("pcs-1", E_ProtocolDeviceType::PCS), quick("pcs-2", E_ProtocolDeviceType::PCS),
                  quick("emu-1", E_ProtocolDeviceType::EMU)});
    S_DeviceTcpOptions options = quickOptions();
    options.reconnectIntervalMs = 60000;
    nodes.push_back(S_TestNode{"gone-1", "BMS", closedPort()});
    nodes.push_back(S_TestNode{"gone-2", "BMS", closedPort()});
    start(nodes, options);
    for (const char* id : {"pcs-1", "pcs-2", "emu-1"})
    {
        ASSERT_TRUE(waitForState(manager, id, State::CONNECTED)) << id;
    }
    ASSERT_TRUE(waitForState(manager, "gone-1", State::DISCONNECTED));
    ASSERT_TRUE(waitForState(manager, "gone-2", State::DISCONNECTED));

    ASSERT_TRUE(manager.requestDeviceStatusQuery(summary, error)) << error;
    EXPECT_EQ(summary.configuredCount, 5u);
    EXPECT_EQ(summary.submittedCount, 3u);
    EXPECT_EQ(summary.dispatchedCount, 3u);
    EXPECT_EQ(summary.skippedCount, 2u);
    EXPECT_EQ(summary.failedCount, 0u);
    ASSERT_EQ(summary.errors.size(), 2u);
    EXPECT_EQ(summary.errors[0].nodeId, "gone-1");
    EXPECT_EQ(summary.errors[0].connectionState, "DISCONNECTED");
    EXPECT_EQ(summary.errors[1].code, "DEVICE_NOT_CONNECTED");
    std::string text;
    ASSERT_TRUE(CDeviceTcpManager::serializeDeviceStatusQuerySummary(summary, 3, text, error)) << error;
    const json document = json::parse(text);
    EXPECT_EQ(document["status"], "PARTIAL");
    EXPECT_EQ(document["ready"], true);
    EXPECT_EQ(document["errorCount"], 2);
    EXPECT_EQ(document["responseMode"], "ASYNC_DEVICE_STATUS");
    EXPECT_EQ(document["statusEndpoint"], "/api/v1/devices/status");

    // The answers arrive asynchronously and update the nodes.
    ASSERT_TRUE(waitUntil([&] { return status("emu-1").statusReportCount == 2; }));
}

TEST_F(DeviceTcpManagerTest, StatusQueryOfAnUnansweringDeviceStaysPendingUntilItTimesOut)
{
    // Verified by the status it sends on connect, then deaf to every query.
    CRawDevicePeer deaf([](CRawConnection& connection)
                        { connection.sendThenHoldOpen(ota::test::deviceStatusFrame("PCS")); });
    S_DeviceTcpOptions options = quickOptions();
    options.statusReplyTimeoutMs = 3000;  // the second query comes well within it
    start({S_TestNode{"pcs-1", "PCS", deaf.port()}}, options);
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));

    S_DeviceStatusQuerySummary summary;
    ASSERT_TRUE(manager.requestDeviceStatusQuery(summary, error)) << error;
    EXPECT_FALSE(manager.requestDeviceStatusQuery(summary, error));
    EXPECT_EQ(error, "No configured device is currently connected");
    ASSERT_EQ(summary.errors.size(), 1u);
    EXPECT_EQ(summary.errors[0].category, "SKIPPED");
    EXPECT_EQ(summary.errors[0].code, "STATUS_QUERY_ALREADY_PENDING");
    EXPECT_EQ(summary.errors[0].message, "A device status query is already awaiting a reply");
    std::string text;
    ASSERT_TRUE(CDeviceTcpManager::serializeDeviceStatusQuerySummary(summary, 1, text, error));
    EXPECT_EQ(json::parse(text)["status"], "REJECTED");

    // An operator's query does not close the connection when it times out.
    ASSERT_TRUE(waitUntil([&] { return status("pcs-1").lastError == "MSG_DEVICE_STATUS reply timed out"; }));
    EXPECT_EQ(status("pcs-1").connectionState, State::CONNECTED);
    EXPECT_TRUE(manager.requestDeviceStatusQuery(summary, error)) << "no longer pending";
}

TEST_F(DeviceTcpManagerTest, ManualReconnectLeavesLiveNodesAloneAndNeverRevivesErrorOrRejected)
{
    CRawDevicePeer impostor([](CRawConnection& connection)
                            { connection.sendThenHoldOpen(ota::test::deviceStatusFrame("EMU")); });
    std::vector<S_TestNode> nodes = simulate({quick("pcs-1", E_ProtocolDeviceType::PCS)});
    nodes.push_back(S_TestNode{"pcs-bad", "PCS", 502, "not-an-address"});
    nodes.push_back(S_TestNode{"pcs-rejected", "PCS", impostor.port()});
    nodes.push_back(S_TestNode{"pcs-gone", "PCS", closedPort()});
    S_DeviceTcpOptions options = quickOptions();
    options.reconnectIntervalMs = 60000;
    start(nodes, options);
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    ASSERT_TRUE(waitForState(manager, "pcs-rejected", State::PROTOCOL_REJECTED));
    ASSERT_TRUE(waitForState(manager, "pcs-gone", State::DISCONNECTED));
    const S_CommunicationNodeStatus before = status("pcs-gone");
    EXPECT_GE(before.nextReconnectAt, before.lastDisconnectedAt + 60000);

    S_DeviceReconnectSummary summary;
    ASSERT_TRUE(manager.requestManualReconnect(summary, error)) << error;
    EXPECT_EQ(summary.configuredCount, 4u);
    EXPECT_EQ(summary.submittedCount, 1u);
    EXPECT_EQ(summary.skippedConnectedCount, 1u);
    EXPECT_EQ(summary.skippedConnectingCount, 0u);
    EXPECT_EQ(summary.skippedUnavailableCount, 2u);
    EXPECT_GT(summary.requestedAt, 0);

    // The reconnect starts within a pass instead of a minute later; the back-off is kept.
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const S_CommunicationNodeStatus gone = status("pcs-gone");
            return gone.connectionAttemptCount == 2 && gone.connectionState == State::DISCONNECTED;
        }));
    EXPECT_EQ(status("pcs-gone").reconnectAttempt, std::min(before.reconnectAttempt + 1, 32u));
    EXPECT_EQ(status("pcs-1").successfulConnectionCount, 1u);
    EXPECT_EQ(status("pcs-bad").connectionState, State::ERROR);
    EXPECT_EQ(status("pcs-rejected").connectionState, State::PROTOCOL_REJECTED);
    EXPECT_EQ(impostor.acceptedCount(), 1u);

    manager.stop();
    EXPECT_FALSE(manager.requestManualReconnect(summary, error));
    EXPECT_EQ(error, "Device TCP manager is not running");
}

TEST_F(DeviceTcpManagerTest, ThrowingCallbacksAreLoggedAndTheNextEventIsStillDelivered)
{
    std::vector<S_TestNode> nodes = simulate({quick("pcs-1", E_ProtocolDeviceType::PCS)});
    std::mutex mutex;
    std::vector<std::uint32_t> delivered;
    manager.setProtocolEventCallback(
        [&](const std::string&, const S_ProtocolEvent& event)
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                delivered.push_back(event.upgradeNo);
            }
            if (event.upgradeNo == 0)
            {
                throw std::runtime_error("observer broke");
            }
        });
    manager.setConnectionStateCallback([](const std::string&, E_DeviceConnectionState) { throw 5; });
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(manager.start(ota::test::makeDeviceTopology(nodes), quickOptions(), error)) << error;
    const bool connected = waitForState(manager, "pcs-1", State::CONNECTED);
    const bool answered = connected && manager.sendUpgradeStatusQuery("pcs-1", 9, error) &&
                          waitUntil(
                              [&]
                              {
                                  std::lock_guard<std::mutex> lock(mutex);
                                  return delivered.size() == 2;
                              });
    manager.stop();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(answered) << error;
    EXPECT_EQ(delivered, (std::vector<std::uint32_t>{0, 9}));
    EXPECT_NE(errors.find("[ERROR] Protocol event callback failed for pcs-1: observer broke"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("[ERROR] Connection state callback failed for pcs-1: unknown exception"),
              std::string::npos)
        << errors;
}

TEST_F(DeviceTcpManagerTest, CallbacksMayCallBackIntoTheManagerWhileItStops)
{
    std::vector<S_TestNode> nodes = simulate({quick("pcs-1", E_ProtocolDeviceType::PCS)});
    std::atomic<std::uint64_t> readings{0};
    manager.setConnectionStateCallback([&](const std::string&, E_DeviceConnectionState)
                                       { readings += manager.getCommunicationNodeStatuses().size(); });
    manager.setProtocolEventCallback(
        [&](const std::string& nodeId, const S_ProtocolEvent&)
        {
            std::string sendError;
            manager.sendUpgradeStatusQuery(nodeId, 3, sendError);  // keeps the device talking
        });
    ASSERT_TRUE(manager.start(ota::test::makeDeviceTopology(nodes), quickOptions(), error)) << error;
    ASSERT_TRUE(waitUntil([&] { return status("pcs-1").statusReportCount >= 20; }));
    manager.stop();  // returns although callbacks keep asking the manager for work
    EXPECT_FALSE(manager.isRunning());
    EXPECT_GT(readings.load(), 0u);
}

TEST_F(DeviceTcpManagerTest, FrameTraceRecordsOnlyWhileCaptureIsOn)
{
    start(simulate({waitingForQuery(quick("pcs-1", E_ProtocolDeviceType::PCS))}));
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    const std::uint64_t versionBefore = manager.getFrameTraceVersion();
    S_DeviceStatusQuerySummary summary;
    ASSERT_TRUE(manager.requestDeviceStatusQuery(summary, error));
    ASSERT_TRUE(waitUntil([&] { return status("pcs-1").statusReportCount == 2; }));
    EXPECT_EQ(manager.getFrameTraceVersion(), versionBefore) << "capture off costs nothing";

    manager.setFrameCaptureEnabled(true);
    EXPECT_TRUE(manager.isFrameCaptureEnabled());
    ASSERT_TRUE(manager.requestDeviceStatusQuery(summary, error));
    ASSERT_TRUE(waitUntil([&] { return status("pcs-1").statusReportCount == 3; }));
    std::string text;
    ASSERT_TRUE(manager.serializeFrameTrace(text, error)) << error;
    json trace = json::parse(text);
    EXPECT_EQ(trace["status"], "READY");
    EXPECT_EQ(trace["enabled"], true);
    EXPECT_EQ(trace["maxRecordCount"], 1000);
    ASSERT_EQ(trace["recordCount"], 2);
    // The query's record is made once its write returns, so the answer may be recorded first.
    const bool sentFirst = trace["records"][0]["direction"] == "TX";
    const json& sent = trace["records"][sentFirst ? 0 : 1];
    EXPECT_EQ(sent["direction"], "TX");
    EXPECT_EQ(sent["messageType"], "MSG_QUERY_STATUS");
    EXPECT_EQ(sent["deviceId"], "pcs-1");
    EXPECT_EQ(sent["ip"], "127.0.0.1");
    EXPECT_EQ(sent["frameLength"], 17);
    EXPECT_EQ(sent["hexText"].get<std::string>().rfind("5A 5A 5A 5A 01 01 02 00 00 00 00", 0), 0u) << sent;
    const json& received = trace["records"][sentFirst ? 1 : 0];
    EXPECT_EQ(received["direction"], "RX");
    EXPECT_EQ(received["messageType"], "MSG_DEVICE_STATUS");
    EXPECT_EQ(received["errorSummary"], "");
    EXPECT_EQ(received["hexText"].get<std::string>().size(),
              received["frameLength"].get<std::size_t>() * 3 - 1);
    EXPECT_GT(manager.getFrameTraceVersion(), versionBefore + 2);

    manager.setFrameCaptureEnabled(false);
    ASSERT_TRUE(manager.serializeFrameTrace(text, error));
    trace = json::parse(text);
    EXPECT_EQ(trace["enabled"], false);
    EXPECT_EQ(trace["recordCount"], 0);
}

TEST_F(DeviceTcpManagerTest, SnapshotCountsNodesPerStateAndStopsCleanly)
{
    std::vector<S_TestNode> nodes = simulate(
        {quick("pcs-1", E_ProtocolDeviceType::PCS),
         withFault(waitingForQuery(quick("bms-1", E_ProtocolDeviceType::BMS)), E_SimFaultKind::SILENT)});
    nodes.push_back(S_TestNode{"emu-bad", "EMU", 1, "999.1.1.1"});
    S_DeviceTcpOptions options = quickOptions();
    options.initialStatusQueryDelayMs = 600000;
    start(nodes, options);
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    ASSERT_TRUE(waitForState(manager, "bms-1", State::VERIFYING));

    std::string text;
    ASSERT_TRUE(manager.serializeCommunicationSnapshot(4, true, text, error)) << error;
    json snapshot = json::parse(text);
    EXPECT_EQ(snapshot["status"], "READY");
    EXPECT_EQ(snapshot["ready"], true);
    EXPECT_EQ(snapshot["sceneGeneration"], 4);
    EXPECT_EQ(snapshot["communicationNodeCount"], 3);
    EXPECT_EQ(snapshot["connectedNodeCount"], 1);
    EXPECT_EQ(snapshot["connectingNodeCount"], 1);
    EXPECT_EQ(snapshot["errorNodeCount"], 1);
    const json& verifying = snapshot["communicationNodes"][1];
    EXPECT_EQ(verifying["connectionState"], "VERIFYING");
    EXPECT_EQ(verifying["connected"], false);
    EXPECT_TRUE(verifying["statusAgeMs"].is_null());
    EXPECT_EQ(verifying["upgradeState"], "UNKNOWN");
    EXPECT_EQ(snapshot["communicationNodes"][0]["connected"], true);
    EXPECT_TRUE(snapshot["communicationNodes"][0]["statusAgeMs"].is_number());

    const S_DeviceTcpStatusSummary summary = manager.getStatusSummary();
    EXPECT_TRUE(summary.running);
    EXPECT_EQ(summary.deviceCount, 3u);
    EXPECT_EQ(summary.connectedDeviceCount, 1u);
    EXPECT_EQ(summary.connectingDeviceCount, 1u);
    EXPECT_EQ(summary.errorDeviceCount, 1u);

    manager.stop();
    ASSERT_TRUE(waitUntil([&] { return !device("pcs-1").connected && !device("bms-1").connected; }));
    ASSERT_TRUE(manager.serializeCommunicationSnapshot(4, true, text, error));
    snapshot = json::parse(text);
    EXPECT_EQ(snapshot["status"], "NOT_READY");
    EXPECT_EQ(snapshot["running"], false);
    EXPECT_TRUE(snapshot["communicationNodes"].empty());
    EXPECT_EQ(manager.getStatusSummary(), S_DeviceTcpStatusSummary{});

    // A stopped manager starts again with fresh node contexts.
    start(nodes, options);
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    EXPECT_EQ(status("pcs-1").successfulConnectionCount, 1u);
}

TEST_F(DeviceTcpManagerTest, DisconnectedDeviceIsReconnectedWhenItComesBack)
{
    S_SimDeviceSpec spec = quick("pcs-1", E_ProtocolDeviceType::PCS);
    S_SimFault drop;
    drop.kind = E_SimFaultKind::DISCONNECT;
    drop.request = E_SimRequest::STATUS_QUERY;
    drop.times = 1;
    spec.faults.push_back(drop);
    start(simulate({spec}));
    ASSERT_TRUE(waitForState(manager, "pcs-1", State::CONNECTED));
    // The device may drop the link before the submission has finished: the query then counts as
    // failed ("connection changed"), which is as good a trigger here.
    S_DeviceStatusQuerySummary summary;
    manager.requestDeviceStatusQuery(summary, error);
    EXPECT_EQ(summary.submittedCount + summary.failedCount, 1u);
    ASSERT_TRUE(waitUntil(
        [&]
        {
            const S_CommunicationNodeStatus pcs = status("pcs-1");
            return pcs.disconnectionCount == 1 && pcs.connectionState == State::CONNECTED;
        }));
    const S_CommunicationNodeStatus pcs = status("pcs-1");
    EXPECT_EQ(pcs.successfulConnectionCount, 2u);
    EXPECT_EQ(pcs.reconnectAttempt, 0u) << "reset by the successful connect";
    const std::vector<State> expected{State::CONNECTING,   State::VERIFYING,  State::CONNECTED,
                                      State::DISCONNECTED, State::CONNECTING, State::VERIFYING,
                                      State::CONNECTED};
    // The callback follows the state change, outside the manager's lock.
    EXPECT_TRUE(waitUntil([&] { return recorder.states("pcs-1").size() == expected.size(); }));
    EXPECT_EQ(recorder.states("pcs-1"), expected);
}

}  // namespace
}  // namespace ota::backend
