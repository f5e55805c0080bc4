// The normal device-side conversation of a simulated device, driven over real loopback sockets.
#include "sim/sim_test_support.h"

#include "protocol/device_side_codec.h"
#include "sim/sim_connection.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;

S_SimOptions quiet()
{
    return S_SimOptions{E_SimLogLevel::QUIET};
}

struct S_UpgradeCase
{
    const char* name;
    E_ProtocolDeviceType type;
    unsigned bcuCount;
};

class SimFullUpgradeTest : public ::testing::TestWithParam<S_UpgradeCase>
{
};

TEST_P(SimFullUpgradeTest, RunsFromTargetListToRestartWithNewVersions)
{
    const S_UpgradeCase& testCase = GetParam();
    CDeviceSimulator simulator(quiet());
    startSimulator(simulator, {quickDevice("dev-1", testCase.type, testCase.bcuCount)});
    const std::uint16_t port = simulator.boundPort("dev-1");
    const std::uint8_t type = toProtocolByte(testCase.type);
    CSimTestClient client(nodeTypeText(type));
    ASSERT_TRUE(client.connect(port));

    // Unsolicited status right after the connection, before any upgrade: upgrade number 0.
    const auto greeting = client.nextEvent();
    ASSERT_TRUE(greeting && greeting->deviceStatus());
    EXPECT_EQ(greeting->upgradeNo, 0u);
    EXPECT_STREQ(greeting->deviceStatus()->upgradeStateName(), "READY");
    const std::size_t componentCount =
        standardDeviceComponents(type, "1.0.0", testCase.bcuCount).size();
    ASSERT_EQ(greeting->deviceStatus()->components.size(), componentCount);
    for (const auto& component : greeting->deviceStatus()->components)
    {
        EXPECT_EQ(component.version, "1.0.0");
    }

    const std::uint32_t upgradeNo = 77;
    CUpgradeSteps steps(client, upgradeNo);
    const auto status = steps.status();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_EQ(status->upgradeNo, upgradeNo);

    const std::vector<S_TestFirmware> files = {makeFirmware(1, 1 << 20, 32768), makeFirmware(2, 5000, 1024)};
    ASSERT_TRUE(steps.reachTransfer(allTargets(type, "2.0.0", testCase.bcuCount), files));
    EXPECT_GT(client.progressCount(), 0u);  // preparation reports its progress
    ASSERT_TRUE(steps.transferAll(files));

    std::vector<S_ProtocolEvent> verifyReports;
    S_ProtocolEvent stageReport;
    ASSERT_TRUE(steps.finishTransfer(files.size(), verifyReports, stageReport));
    for (std::size_t index = 0; index < files.size(); ++index)
    {
        ASSERT_NE(verifyReports[index].fileVerifyReport(), nullptr);
        const auto& report = *verifyReports[index].fileVerifyReport();
        EXPECT_EQ(report.fileNo, files[index].fileNo);
        EXPECT_EQ(report.result, 1);
        EXPECT_EQ(report.fileSize, files[index].bytes.size());
        EXPECT_EQ(report.sha256, files[index].info().sha256);
    }
    EXPECT_TRUE(isStageReport(stageReport, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION));
    ASSERT_TRUE(steps.flash());

    // Still the old versions until the restart.
    const auto beforeRestart = steps.status();
    ASSERT_TRUE(beforeRestart && beforeRestart->deviceStatus());
    EXPECT_EQ(beforeRestart->deviceStatus()->components.front().version, "1.0.0");
    EXPECT_STREQ(beforeRestart->deviceStatus()->upgradeStateName(), "UPGRADING");

    EXPECT_TRUE(isAck(steps.command(E_ProtocolCommandType::RESTART_VERIFY, E_ProtocolStage::RESTART_VERIFICATION),
                      E_ProtocolStage::RESTART_VERIFICATION));
    EXPECT_TRUE(client.waitClosed());
    ASSERT_TRUE(client.connectWithin(port));
    const auto afterRestart = client.nextEvent();
    ASSERT_TRUE(afterRestart && afterRestart->deviceStatus());
    EXPECT_EQ(afterRestart->upgradeNo, upgradeNo);
    EXPECT_STREQ(afterRestart->deviceStatus()->upgradeStateName(), "READY");
    ASSERT_EQ(afterRestart->deviceStatus()->components.size(), componentCount);
    for (const auto& component : afterRestart->deviceStatus()->components)
    {
        EXPECT_EQ(component.version, "2.0.0");
    }

    S_SimDeviceSnapshot snapshot;
    std::string error;
    ASSERT_TRUE(simulator.snapshot("dev-1", snapshot, error)) << error;
    EXPECT_EQ(snapshot.counters.upgradesStarted, 1u);
    EXPECT_EQ(snapshot.counters.upgradesCompleted, 1u);
    EXPECT_EQ(snapshot.counters.reboots, 1u);
    EXPECT_EQ(snapshot.counters.connectionsAccepted, 2u);
    EXPECT_EQ(snapshot.counters.framesReceived[toProtocolByte(E_ProtocolMessageType::MSG_EMS_FILE_CHUNK)],
              files[0].totalChunks() + files[1].totalChunks());
    EXPECT_FALSE(snapshot.upgradeContextOpen);
    EXPECT_EQ(snapshot.lastCompletedUpgradeNo, upgradeNo);
}

INSTANTIATE_TEST_SUITE_P(EveryDeviceType, SimFullUpgradeTest,
                         ::testing::Values(S_UpgradeCase{"Emu", E_ProtocolDeviceType::EMU, 6},
                                           S_UpgradeCase{"Pcs", E_ProtocolDeviceType::PCS, 6},
                                           S_UpgradeCase{"Bms6", E_ProtocolDeviceType::BMS, 6},
                                           S_UpgradeCase{"Bms12", E_ProtocolDeviceType::BMS, 12}),
                         [](const auto& info) { return std::string(info.param.name); });

class SimConversationTest : public ::testing::Test
{
protected:
    void start(S_SimDeviceSpec spec)
    {
        m_type = spec.deviceType;
        startSimulator(m_simulator, {std::move(spec)});
        m_port = m_simulator.boundPort("dev-1");
        m_client = std::make_unique<CSimTestClient>(nodeTypeText(m_type));
        ASSERT_TRUE(m_client->connect(m_port));
    }
    void startReady(E_ProtocolDeviceType type = E_ProtocolDeviceType::PCS)
    {
        start(quickDevice("dev-1", type));
        const auto greeting = m_client->nextEvent();
        ASSERT_TRUE(greeting && greeting->deviceStatus());
    }

    CDeviceSimulator m_simulator{quiet()};
    std::unique_ptr<CSimTestClient> m_client;
    std::uint16_t m_port = 0;
    std::uint8_t m_type = 0;
};

TEST_F(SimConversationTest, DeviceConfiguredToWaitAnswersTheFirstQueryOnly)
{
    S_SimDeviceSpec spec = quickDevice("dev-1", E_ProtocolDeviceType::EMU);
    spec.statusOnConnect = false;
    start(spec);
    ASSERT_TRUE(m_client->queryStatus(0));
    const auto status = m_client->nextEvent();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_EQ(status->upgradeNo, 0u);
    ASSERT_EQ(status->deviceStatus()->components.size(), 1u);
    EXPECT_STREQ(status->deviceStatus()->components[0].componentTypeId(), "EMU");
}

TEST_F(SimConversationTest, ChunkWithWrongCrcIsReportedWithTheComputedCrcAndSpoilsTheFile)
{
    startReady();
    CUpgradeSteps steps(*m_client, 5);
    const S_TestFirmware file = makeFirmware(1, 3000, 1000);
    ASSERT_TRUE(steps.reachTransfer(allTargets(m_type, "2.0"), {file}));
    ASSERT_TRUE(steps.chunk(file, 0));
    // Chunk 1 with a corrupted checksum.
    S_ProtocolFileChunk bad = file.chunk(1);
    bad.crc32 ^= 0x1234;
    ASSERT_TRUE(m_client->fileChunk(5, bad));
    const auto report = steps.next();
    ASSERT_TRUE(report && report->fileChunkReport());
    EXPECT_EQ(report->fileChunkReport()->result, 2);
    EXPECT_STREQ(report->fileChunkReport()->reasonName(), "CHUNK_CRC32_MISMATCH");
    EXPECT_EQ(report->fileChunkReport()->crc32, file.chunk(1).crc32);
    ASSERT_TRUE(steps.chunk(file, 2));

    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(steps.finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 2);
    EXPECT_STREQ(verify[0].fileVerifyReport()->reasonName(), "FILE_SHA256_MISMATCH");
    EXPECT_TRUE(isStageReport(stage, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION, 2));
    // Flashing a rejected file is refused.
    EXPECT_TRUE(isAck(steps.command(E_ProtocolCommandType::START_FLASH, E_ProtocolStage::FLASHING),
                      E_ProtocolStage::FLASHING, 2));
}

TEST_F(SimConversationTest, OutOfOrderChunkSpoilsTheDigestButIsAcknowledged)
{
    startReady();
    CUpgradeSteps steps(*m_client, 6);
    const S_TestFirmware file = makeFirmware(1, 4000, 1000);
    ASSERT_TRUE(steps.reachTransfer(allTargets(m_type, "2.0"), {file}));
    for (const std::uint16_t chunkNo : {0, 2, 1, 3})
    {
        const auto report = steps.chunk(file, chunkNo);
        ASSERT_TRUE(report && report->fileChunkReport());
        EXPECT_EQ(report->fileChunkReport()->result, 1);
        EXPECT_EQ(report->fileChunkReport()->crc32, file.chunk(chunkNo).crc32);
    }
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(steps.finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 2);
    EXPECT_EQ(verify[0].fileVerifyReport()->fileSize, 4000u);  // every byte arrived, in the wrong order
    EXPECT_NE(verify[0].fileVerifyReport()->sha256, file.info().sha256);
}

TEST_F(SimConversationTest, MissingChunkGivesTheReceivedSize)
{
    startReady();
    CUpgradeSteps steps(*m_client, 8);
    const S_TestFirmware file = makeFirmware(1, 2500, 1000);
    ASSERT_TRUE(steps.reachTransfer(allTargets(m_type, "2.0"), {file}));
    ASSERT_TRUE(steps.chunk(file, 0));
    ASSERT_TRUE(steps.chunk(file, 1));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(steps.finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 2);
    EXPECT_EQ(verify[0].fileVerifyReport()->fileSize, 2000u);
}

TEST_F(SimConversationTest, ResetContextAcknowledgesReportsAbortAndDropsTheContext)
{
    startReady();
    CUpgradeSteps steps(*m_client, 9);
    const S_TestFirmware file = makeFirmware(1, 3000, 1000);
    ASSERT_TRUE(steps.reachTransfer(allTargets(m_type, "2.0"), {file}));
    ASSERT_TRUE(steps.chunk(file, 0));
    EXPECT_TRUE(isAck(steps.command(E_ProtocolCommandType::RESET_CONTEXT, E_ProtocolStage::FILE_TRANSFER),
                      E_ProtocolStage::FILE_TRANSFER));
    const auto report = steps.next();
    ASSERT_TRUE(isStageReport(report, E_ProtocolStage::FILE_TRANSFER, 3));
    EXPECT_STREQ(report->stageReport()->reasonName(), "UPGRADE_CONTEXT_RESET");
    // The context is gone: the next chunk is refused, the status is READY again.
    const auto refused = steps.chunk(file, 1);
    ASSERT_TRUE(refused && refused->fileChunkReport());
    EXPECT_STREQ(refused->fileChunkReport()->reasonName(), "UPGRADE_NO_INVALID");
    const auto status = steps.status();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_STREQ(status->deviceStatus()->upgradeStateName(), "READY");
    S_SimDeviceSnapshot snapshot;
    std::string error;
    ASSERT_TRUE(m_simulator.snapshot("dev-1", snapshot, error));
    EXPECT_EQ(snapshot.counters.contextResets, 1u);
    EXPECT_FALSE(snapshot.upgradeContextOpen);
}

TEST_F(SimConversationTest, ResetDuringPreparationCancelsItsStageReport)
{
    S_SimDeviceSpec spec = quickDevice("dev-1", E_ProtocolDeviceType::EMU);
    spec.timings.preparationMs = 60000;  // never finishes within the test
    start(spec);
    ASSERT_TRUE(m_client->nextEvent());
    CUpgradeSteps steps(*m_client, 10);
    ASSERT_TRUE(isAck(steps.targets(allTargets(m_type, "2.0")), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isAck(steps.command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    EXPECT_TRUE(isAck(steps.command(E_ProtocolCommandType::RESET_CONTEXT, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    EXPECT_TRUE(isStageReport(steps.next(), E_ProtocolStage::PREPARATION, 3));
}

TEST_F(SimConversationTest, RequestsOutOfSequenceOrForAnotherUpgradeAreRefused)
{
    startReady();
    CUpgradeSteps steps(*m_client, 11);
    // No context yet.
    const auto noContext = steps.command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION);
    ASSERT_TRUE(isAck(noContext, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(noContext->ack()->reasonName(), "UPGRADE_NO_INVALID");
    ASSERT_TRUE(isAck(steps.targets(allTargets(m_type, "2.0")), E_ProtocolStage::PREPARATION));
    // Flashing before any file arrived.
    const auto early = steps.command(E_ProtocolCommandType::START_FLASH, E_ProtocolStage::FLASHING);
    ASSERT_TRUE(isAck(early, E_ProtocolStage::FLASHING, 2));
    EXPECT_STREQ(early->ack()->reasonName(), "INTERNAL_ERROR");
    // Another upgrade number than the open context.
    CUpgradeSteps other(*m_client, 12);
    const auto foreign = other.command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION);
    ASSERT_TRUE(isAck(foreign, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(foreign->ack()->reasonName(), "UPGRADE_NO_INVALID");
}

TEST_F(SimConversationTest, TargetListForAComponentTheDeviceLacksIsRefused)
{
    start(quickDevice("dev-1", E_ProtocolDeviceType::BMS, 6));
    ASSERT_TRUE(m_client->nextEvent());
    CUpgradeSteps steps(*m_client, 13);
    const auto refused = steps.targets(allTargets(m_type, "2.0", 12));  // BCU 7..12 do not exist
    ASSERT_TRUE(isAck(refused, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(refused->ack()->reasonName(), "UNSUPPORTED_COMPONENT");
}

TEST_F(SimConversationTest, FrameForAnotherDeviceTypeIsRefused)
{
    startReady(E_ProtocolDeviceType::PCS);
    CSimTestClient bmsSpeaker("BMS");
    ASSERT_TRUE(bmsSpeaker.connect(m_port));  // replaces the first connection
    EXPECT_TRUE(m_client->waitClosed());
    // The device answers in its own (PCS) type, which this BMS-side decoder rejects; the
    // refusal is still visible in the counters.
    ASSERT_TRUE(bmsSpeaker.targetList(14, allTargets(toProtocolByte(E_ProtocolDeviceType::BMS), "2.0")));
    ASSERT_TRUE(waitUntil([&] {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        return m_simulator.snapshot("dev-1", snapshot, error) &&
               snapshot.counters.framesSent[toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_ACK)] == 1;
    }));
    S_SimDeviceSnapshot snapshot;
    std::string error;
    ASSERT_TRUE(m_simulator.snapshot("dev-1", snapshot, error));
    EXPECT_EQ(snapshot.counters.upgradesStarted, 0u);
}

TEST_F(SimConversationTest, ReplyLatencyDelaysEveryAnswer)
{
    S_SimDeviceSpec spec = quickDevice("dev-1", E_ProtocolDeviceType::EMU);
    spec.timings.replyLatencyMs = 150;
    spec.statusOnConnect = false;
    start(spec);
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_client->queryStatus(3));
    ASSERT_TRUE(m_client->nextEvent());
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(150));
}

TEST_F(SimConversationTest, RebootingDeviceRefusesConnectionsUntilItIsBack)
{
    S_SimDeviceSpec spec = quickDevice("dev-1", E_ProtocolDeviceType::EMU);
    spec.timings.rebootMs = 60000;  // stays down for the whole test
    start(spec);
    ASSERT_TRUE(m_client->nextEvent());
    CUpgradeSteps steps(*m_client, 15);
    const S_TestFirmware file = makeFirmware(1, 100, 100);
    ASSERT_TRUE(steps.reachTransfer(allTargets(m_type, "2.0"), {file}));
    ASSERT_TRUE(steps.transferAll({file}));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(steps.finishTransfer(1, verify, stage));
    ASSERT_TRUE(steps.flash());
    ASSERT_TRUE(isAck(steps.command(E_ProtocolCommandType::RESTART_VERIFY, E_ProtocolStage::RESTART_VERIFICATION),
                      E_ProtocolStage::RESTART_VERIFICATION));
    ASSERT_TRUE(m_client->waitClosed());
    ASSERT_TRUE(waitUntil([&] {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        return m_simulator.snapshot("dev-1", snapshot, error) && !snapshot.listening;
    }));
    CSimTestClient probe("EMU");
    EXPECT_FALSE(probe.connect(m_port));
}

TEST_F(SimConversationTest, PeerThatNeverReadsIsDisconnectedInsteadOfGrowingTheQueue)
{
    startReady(E_ProtocolDeviceType::BMS);
    // Each 17-byte query earns a 493-byte status; none is read.
    std::vector<std::uint8_t> queries;
    std::vector<std::uint8_t> query;
    std::string type;
    std::string error;
    std::uint32_t encoded = 0;
    auto adapter = createProtocolAdapter("ota-v1", "BMS", error);
    ASSERT_TRUE(adapter->encodeStatusQuery(query, type, encoded, error));
    for (int index = 0; index < 10000; ++index)
    {
        queries.insert(queries.end(), query.begin(), query.end());
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            m_client->sendBytes(queries);
            S_SimDeviceSnapshot snapshot;
            return m_simulator.snapshot("dev-1", snapshot, error) && snapshot.counters.disconnects == 1;
        },
        std::chrono::seconds(60)));
    S_SimDeviceSnapshot snapshot;
    ASSERT_TRUE(m_simulator.snapshot("dev-1", snapshot, error));
    EXPECT_FALSE(snapshot.connected);
    EXPECT_GT(snapshot.counters.bytesSent, MAX_QUEUED_BYTES);
}

TEST(SimLifecycleTest, StartRefusesBadSpecsAndTakenPortsAndStopIsIdempotent)
{
    CDeviceSimulator simulator(quiet());
    std::string error;
    S_SimDeviceSpec remote = quickDevice("remote", E_ProtocolDeviceType::PCS);
    remote.address = "10.1.2.3";
    EXPECT_FALSE(simulator.start({remote}, error));
    EXPECT_NE(error.find("is not a loopback address"), std::string::npos) << error;

    EXPECT_FALSE(simulator.start({quickDevice("a", E_ProtocolDeviceType::EMU), quickDevice("a", E_ProtocolDeviceType::PCS)},
                                 error));
    EXPECT_EQ(error, "Duplicate simulated device id: a");

    ASSERT_TRUE(simulator.start({quickDevice("first", E_ProtocolDeviceType::EMU)}, error)) << error;
    CDeviceSimulator second(quiet());
    S_SimDeviceSpec clash = quickDevice("clash", E_ProtocolDeviceType::EMU);
    clash.port = simulator.boundPort("first");
    EXPECT_FALSE(second.start({clash}, error));
    EXPECT_NE(error.find("Cannot bind 127.0.0.1:" + std::to_string(clash.port) + " for simulated device clash"),
              std::string::npos)
        << error;
    simulator.stop();
    simulator.stop();
    EXPECT_FALSE(simulator.isRunning());
    EXPECT_EQ(simulator.snapshots().size(), 1u);
}

}  // namespace
}  // namespace ota::test
