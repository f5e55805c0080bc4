// Every fault of the scenario schema, armed through the library API and observed from the
// backend's side of a real loopback connection.
#include "sim/sim_test_support.h"

#include "sim/sim_fault.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;

constexpr std::uint32_t UPGRADE_NO = 21;

class SimFaultTest : public ::testing::Test
{
protected:
    // Starts one PCS device with the faults and connects; the on-connect status is consumed
    // unless the caller wants to see it.
    void start(std::vector<S_SimFault> faults, bool consumeGreeting = true,
               E_ProtocolDeviceType type = E_ProtocolDeviceType::PCS)
    {
        S_SimDeviceSpec spec = quickDevice("dev-1", type);
        spec.faults = std::move(faults);
        m_type = spec.deviceType;
        startSimulator(m_simulator, {spec});
        m_port = m_simulator.boundPort("dev-1");
        m_client = std::make_unique<CSimTestClient>(nodeTypeText(m_type));
        ASSERT_TRUE(m_client->connect(m_port));
        m_steps = std::make_unique<CUpgradeSteps>(*m_client, UPGRADE_NO);
        if (consumeGreeting)
        {
            const auto greeting = m_client->nextEvent();
            ASSERT_TRUE(greeting && greeting->deviceStatus());
        }
    }

    std::uint64_t fired(E_SimFaultKind kind, const std::string& nodeId = "dev-1")
    {
        S_SimDeviceSnapshot snapshot;
        std::string error;
        EXPECT_TRUE(m_simulator.snapshot(nodeId, snapshot, error)) << error;
        return snapshot.counters.faultsFired[static_cast<std::size_t>(kind)];
    }

    S_ProtocolTargetList targets() const { return allTargets(m_type, "2.0.0"); }

    // Target list, preparation, transfer, verification and flashing of one file.
    void reachFlashed(const S_TestFirmware& file)
    {
        ASSERT_TRUE(m_steps->reachTransfer(targets(), {file}));
        ASSERT_TRUE(m_steps->transferAll({file}));
        std::vector<S_ProtocolEvent> verify;
        S_ProtocolEvent stage;
        ASSERT_TRUE(m_steps->finishTransfer(1, verify, stage));
        ASSERT_TRUE(isStageReport(stage, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION));
        ASSERT_TRUE(m_steps->flash());
    }

    static S_SimFault fault(E_SimFaultKind kind)
    {
        S_SimFault result;
        result.kind = kind;
        return result;
    }
    static S_SimFault onRequest(E_SimFaultKind kind, E_SimRequest request)
    {
        S_SimFault result = fault(kind);
        result.request = request;
        return result;
    }
    static S_SimFault atStage(E_SimFaultKind kind, E_ProtocolStage stage)
    {
        S_SimFault result = fault(kind);
        result.stage = toProtocolByte(stage);
        return result;
    }

    CDeviceSimulator m_simulator{S_SimOptions{E_SimLogLevel::QUIET}};
    std::unique_ptr<CSimTestClient> m_client;
    std::unique_ptr<CUpgradeSteps> m_steps;
    std::uint16_t m_port = 0;
    std::uint8_t m_type = 0;
    const S_TestFirmware m_file = makeFirmware(1, 5000, 1000);
};

// ---- status and state ----

TEST_F(SimFaultTest, SilentDeviceNeverSendsAStatus)
{
    start({fault(E_SimFaultKind::SILENT)}, false);
    ASSERT_TRUE(m_client->queryStatus(UPGRADE_NO));
    // Answers come in order, so the target-list ACK arriving first proves no status was sent.
    const auto first = m_steps->targets(targets());
    EXPECT_TRUE(isAck(first, E_ProtocolStage::PREPARATION));
    EXPECT_EQ(fired(E_SimFaultKind::SILENT), 2u);  // the on-connect status and the query
}

TEST_F(SimFaultTest, SilenceLimitedByTimesEndsAfterThatManyStatuses)
{
    S_SimFault silent = fault(E_SimFaultKind::SILENT);
    silent.times = 1;
    start({silent}, false);
    const auto answer = m_steps->status();
    ASSERT_TRUE(answer && answer->deviceStatus());
    EXPECT_EQ(answer->upgradeNo, UPGRADE_NO);  // the query's answer, not the swallowed greeting
}

TEST_F(SimFaultTest, BusyAndFaultStatesAreReportedAndRefuseTheTargetList)
{
    start({fault(E_SimFaultKind::BUSY_STATE)});
    const auto status = m_steps->status();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_STREQ(status->deviceStatus()->upgradeStateName(), "BUSY");
    EXPECT_STREQ(status->deviceStatus()->reasonName(), "DEVICE_BUSY");
    const auto refused = m_steps->targets(targets());
    ASSERT_TRUE(isAck(refused, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(refused->ack()->reasonName(), "DEVICE_BUSY");

    std::string error;
    ASSERT_TRUE(m_simulator.clearFaults("dev-1", error));
    S_SimFault faulty = fault(E_SimFaultKind::FAULT_STATE);
    faulty.reasonCode = toProtocolByte(E_ProtocolReasonCode::STORAGE_NOT_ENOUGH);
    ASSERT_TRUE(m_simulator.addFault("dev-1", faulty, error)) << error;
    const auto faultStatus = m_steps->status();
    ASSERT_TRUE(faultStatus && faultStatus->deviceStatus());
    EXPECT_STREQ(faultStatus->deviceStatus()->upgradeStateName(), "FAULT");
    EXPECT_STREQ(faultStatus->deviceStatus()->reasonName(), "STORAGE_NOT_ENOUGH");
    const auto faultRefusal = m_steps->targets(targets());
    ASSERT_TRUE(isAck(faultRefusal, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(faultRefusal->ack()->reasonName(), "STORAGE_NOT_ENOUGH");
}

TEST_F(SimFaultTest, WrongDeviceTypeSpoilsStatusesAndGetsThePeerRejected)
{
    start({fault(E_SimFaultKind::WRONG_DEVICE_TYPE)}, false);
    // A PCS status in BMS type lists components no BMS has: the backend's parser already
    // drops it as a bad frame, so the device never verifies.
    ASSERT_TRUE(waitUntil(
        [&]
        {
            m_client->nextEvent(std::chrono::milliseconds(20));
            return !m_client->decodeErrors().empty();
        }));
    EXPECT_FALSE(m_client->rejected());
    // An ACK has no such content: its device type byte alone gets the peer rejected.
    ASSERT_TRUE(m_client->targetList(UPGRADE_NO, targets()));
    ASSERT_TRUE(waitUntil(
        [&]
        {
            m_client->nextEvent(std::chrono::milliseconds(20));
            return m_client->rejected();
        }));
    EXPECT_EQ(m_client->rejectionReason(), "Device type in frame does not match protocolNodeType PCS");
}

TEST_F(SimFaultTest, WrongDeviceTypeOnOneRequestLeavesTheOthersIntact)
{
    S_SimFault wrong = onRequest(E_SimFaultKind::WRONG_DEVICE_TYPE, E_SimRequest::TARGET_LIST);
    wrong.deviceType = toProtocolByte(E_ProtocolDeviceType::EMU);
    start({wrong});
    ASSERT_TRUE(m_steps->status());
    EXPECT_FALSE(m_client->rejected());
    ASSERT_TRUE(m_client->targetList(UPGRADE_NO, targets()));
    ASSERT_TRUE(waitUntil(
        [&]
        {
            m_client->nextEvent(std::chrono::milliseconds(20));
            return m_client->rejected();
        }));
    EXPECT_EQ(fired(E_SimFaultKind::WRONG_DEVICE_TYPE), 1u);
}

// ---- refusals ----

TEST_F(SimFaultTest, RefusedTargetListCarriesTheChosenReason)
{
    S_SimFault refuse = fault(E_SimFaultKind::REFUSE_TARGET_LIST);
    refuse.reasonCode = toProtocolByte(E_ProtocolReasonCode::COMPONENT_INFO_INVALID);
    start({refuse});
    const auto ack = m_steps->targets(targets());
    ASSERT_TRUE(isAck(ack, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(ack->ack()->reasonName(), "COMPONENT_INFO_INVALID");
}

TEST_F(SimFaultTest, RefusedCommandCarriesTheChosenReasonAtItsStage)
{
    S_SimFault refuse = onRequest(E_SimFaultKind::REFUSE_COMMAND, E_SimRequest::START_TRANSFER);
    refuse.reasonCode = toProtocolByte(E_ProtocolReasonCode::STORAGE_NOT_ENOUGH);
    start({refuse});
    ASSERT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isStageReport(m_steps->next(), E_ProtocolStage::PREPARATION));
    const auto ack =
        m_steps->command(E_ProtocolCommandType::START_TRANSFER, E_ProtocolStage::FILE_TRANSFER, 1);
    ASSERT_TRUE(isAck(ack, E_ProtocolStage::FILE_TRANSFER, 2));
    EXPECT_STREQ(ack->ack()->reasonName(), "STORAGE_NOT_ENOUGH");
}

// ---- acknowledgements ----

TEST_F(SimFaultTest, MissingAckLeavesOnlyTheStageReport)
{
    start({onRequest(E_SimFaultKind::MISSING_ACK, E_SimRequest::PREPARE_UPGRADE)});
    ASSERT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::PREPARATION));
    EXPECT_TRUE(
        isStageReport(m_steps->command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    EXPECT_EQ(fired(E_SimFaultKind::MISSING_ACK), 1u);
}

TEST_F(SimFaultTest, DuplicateAckIsSentTwice)
{
    start({onRequest(E_SimFaultKind::DUPLICATE_ACK, E_SimRequest::TARGET_LIST)});
    EXPECT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::PREPARATION));
    EXPECT_TRUE(isAck(m_steps->next(), E_ProtocolStage::PREPARATION));
}

TEST_F(SimFaultTest, LateAckComesAfterItsDelayAndNothingOvertakesIt)
{
    S_SimFault late = onRequest(E_SimFaultKind::LATE_ACK, E_SimRequest::TARGET_LIST);
    late.delayMs = 300;
    start({late});
    const auto before = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_client->targetList(UPGRADE_NO, targets()));
    ASSERT_TRUE(m_client->queryStatus(UPGRADE_NO));
    EXPECT_TRUE(isAck(m_steps->next(), E_ProtocolStage::PREPARATION));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
    const auto status = m_steps->next();
    EXPECT_TRUE(status && status->deviceStatus());
}

TEST_F(SimFaultTest, WrongStageAckNamesAnotherStage)
{
    S_SimFault wrong = onRequest(E_SimFaultKind::WRONG_STAGE_ACK, E_SimRequest::TARGET_LIST);
    wrong.ackStage = toProtocolByte(E_ProtocolStage::FLASHING);
    start({wrong, onRequest(E_SimFaultKind::WRONG_STAGE_ACK, E_SimRequest::PREPARE_UPGRADE)});
    EXPECT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::FLASHING));
    // Without ackStage the next stage is named.
    EXPECT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::FILE_TRANSFER));
}

// ---- file transfer and verification ----

TEST_F(SimFaultTest, WrongChunkCrcIsReportedForTheChosenChunkOnly)
{
    S_SimFault wrong = fault(E_SimFaultKind::WRONG_CHUNK_CRC);
    wrong.chunkNo = 1;
    start({wrong});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    const auto first = m_steps->chunk(m_file, 0);
    ASSERT_TRUE(first && first->fileChunkReport());
    EXPECT_EQ(first->fileChunkReport()->crc32, m_file.chunk(0).crc32);
    const auto second = m_steps->chunk(m_file, 1);
    ASSERT_TRUE(second && second->fileChunkReport());
    EXPECT_EQ(second->fileChunkReport()->result, 1);
    EXPECT_NE(second->fileChunkReport()->crc32, m_file.chunk(1).crc32);
}

TEST_F(SimFaultTest, ChunkReportFailureCarriesItsReason)
{
    S_SimFault failure = fault(E_SimFaultKind::CHUNK_REPORT_FAILURE);
    failure.chunkNo = 2;
    start({failure});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    ASSERT_TRUE(m_steps->chunk(m_file, 0));
    ASSERT_TRUE(m_steps->chunk(m_file, 1));
    const auto report = m_steps->chunk(m_file, 2);
    ASSERT_TRUE(report && report->fileChunkReport());
    EXPECT_EQ(report->fileChunkReport()->result, 2);
    EXPECT_STREQ(report->fileChunkReport()->reasonName(), "CHUNK_CRC32_MISMATCH");
}

TEST_F(SimFaultTest, WrongDigestAndSizeAreReportedAsIfTheFileWereFine)
{
    start({fault(E_SimFaultKind::WRONG_FILE_DIGEST), fault(E_SimFaultKind::WRONG_FILE_SIZE)});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    ASSERT_TRUE(m_steps->transferAll({m_file}));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(m_steps->finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 1);
    EXPECT_EQ(verify[0].fileVerifyReport()->fileSize, m_file.bytes.size() + 1);
    EXPECT_NE(verify[0].fileVerifyReport()->sha256, m_file.info().sha256);
    EXPECT_TRUE(isStageReport(stage, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION));
}

// ---- stage results ----

TEST_F(SimFaultTest, StageFailureAtPreparationAndReceiptConfirmation)
{
    S_SimFault preparation = atStage(E_SimFaultKind::STAGE_FAILURE, E_ProtocolStage::PREPARATION);
    preparation.reasonCode = toProtocolByte(E_ProtocolReasonCode::STORAGE_NOT_ENOUGH);
    preparation.times = 1;
    start({preparation, atStage(E_SimFaultKind::STAGE_FAILURE, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION)});
    ASSERT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    const auto failed = m_steps->next();
    ASSERT_TRUE(isStageReport(failed, E_ProtocolStage::PREPARATION, 2));
    EXPECT_STREQ(failed->stageReport()->reasonName(), "STORAGE_NOT_ENOUGH");
    // A failed preparation may be repeated; the fault fired once only.
    ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isStageReport(m_steps->next(), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(
        isAck(m_steps->command(E_ProtocolCommandType::START_TRANSFER, E_ProtocolStage::FILE_TRANSFER, 1),
              E_ProtocolStage::FILE_TRANSFER));
    ASSERT_TRUE(isAck(m_steps->declare({m_file}), E_ProtocolStage::FILE_TRANSFER));
    ASSERT_TRUE(m_steps->transferAll({m_file}));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(m_steps->finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 1);
    EXPECT_TRUE(isStageReport(stage, E_ProtocolStage::FILE_RECEIPT_CONFIRMATION, 2));
    EXPECT_STREQ(stage.stageReport()->reasonName(), "INTERNAL_ERROR");
}

TEST_F(SimFaultTest, StageFailureDuringTransferReplacesTheChunkReport)
{
    S_SimFault failure = atStage(E_SimFaultKind::STAGE_FAILURE, E_ProtocolStage::FILE_TRANSFER);
    failure.chunkNo = 3;
    start({failure});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    for (std::uint16_t chunkNo = 0; chunkNo < 3; ++chunkNo)
    {
        ASSERT_TRUE(m_steps->chunk(m_file, chunkNo));
    }
    EXPECT_TRUE(isStageReport(m_steps->chunk(m_file, 3), E_ProtocolStage::FILE_TRANSFER, 2));
}

TEST_F(SimFaultTest, StageFailureAtFlashingAndFlashFailure)
{
    S_SimFault flashFailure = fault(E_SimFaultKind::FLASH_FAILURE);
    flashFailure.percentage = 40;
    start({flashFailure});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    ASSERT_TRUE(m_steps->transferAll({m_file}));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(m_steps->finishTransfer(1, verify, stage));
    ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::START_FLASH, E_ProtocolStage::FLASHING),
                      E_ProtocolStage::FLASHING));
    std::uint8_t highest = 0;
    std::optional<S_ProtocolEvent> event;
    while ((event = m_client->nextEvent()) && event->progress())
    {
        highest = std::max(highest, event->progress()->percentage);
    }
    ASSERT_TRUE(isStageReport(event, E_ProtocolStage::FLASHING, 2));
    EXPECT_STREQ(event->stageReport()->reasonName(), "FLASH_FAILED");
    EXPECT_EQ(event->stageReport()->progress, 40);
    EXPECT_EQ(highest, 40);
    // The device cannot restart into a failed flash.
    EXPECT_TRUE(
        isAck(m_steps->command(E_ProtocolCommandType::RESTART_VERIFY, E_ProtocolStage::RESTART_VERIFICATION),
              E_ProtocolStage::RESTART_VERIFICATION, 2));
}

TEST_F(SimFaultTest, StageFailureAtFlashingWithChosenReason)
{
    S_SimFault failure = atStage(E_SimFaultKind::STAGE_FAILURE, E_ProtocolStage::FLASHING);
    failure.reasonCode = toProtocolByte(E_ProtocolReasonCode::VERSION_VERIFY_FAILED);
    start({failure});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    ASSERT_TRUE(m_steps->transferAll({m_file}));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(m_steps->finishTransfer(1, verify, stage));
    ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::START_FLASH, E_ProtocolStage::FLASHING),
                      E_ProtocolStage::FLASHING));
    const auto report = m_steps->next();
    ASSERT_TRUE(isStageReport(report, E_ProtocolStage::FLASHING, 2));
    EXPECT_STREQ(report->stageReport()->reasonName(), "VERSION_VERIFY_FAILED");
}

TEST_F(SimFaultTest, StageFailureAtRestartVerificationKeepsTheConnection)
{
    start({atStage(E_SimFaultKind::STAGE_FAILURE, E_ProtocolStage::RESTART_VERIFICATION)});
    reachFlashed(m_file);
    EXPECT_TRUE(
        isAck(m_steps->command(E_ProtocolCommandType::RESTART_VERIFY, E_ProtocolStage::RESTART_VERIFICATION),
              E_ProtocolStage::RESTART_VERIFICATION));
    EXPECT_TRUE(isStageReport(m_steps->next(), E_ProtocolStage::RESTART_VERIFICATION, 2));
    EXPECT_TRUE(m_steps->status().has_value());
}

// ---- restart ----

TEST_F(SimFaultTest, RestartWithoutAckJustDropsTheConnection)
{
    start({fault(E_SimFaultKind::RESTART_WITHOUT_ACK)});
    reachFlashed(m_file);
    ASSERT_TRUE(m_client->command(UPGRADE_NO, commandOf(E_ProtocolCommandType::RESTART_VERIFY),
                                  stageOf(E_ProtocolStage::RESTART_VERIFICATION)));
    // No event at all before the close.
    EXPECT_FALSE(m_client->nextEvent().has_value());
    EXPECT_TRUE(m_client->waitClosed());
    ASSERT_TRUE(m_client->connectWithin(m_port));
    const auto status = m_client->nextEvent();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_EQ(status->deviceStatus()->components.front().version, "2.0.0");
}

TEST_F(SimFaultTest, OldVersionAfterRestart)
{
    start({fault(E_SimFaultKind::OLD_VERSION_AFTER_RESTART)});
    reachFlashed(m_file);
    ASSERT_TRUE(
        isAck(m_steps->command(E_ProtocolCommandType::RESTART_VERIFY, E_ProtocolStage::RESTART_VERIFICATION),
              E_ProtocolStage::RESTART_VERIFICATION));
    ASSERT_TRUE(m_client->waitClosed());
    ASSERT_TRUE(m_client->connectWithin(m_port));
    const auto status = m_client->nextEvent();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_EQ(status->upgradeNo, UPGRADE_NO);
    for (const auto& component : status->deviceStatus()->components)
    {
        EXPECT_EQ(component.version, "1.0.0");
    }
    EXPECT_EQ(fired(E_SimFaultKind::OLD_VERSION_AFTER_RESTART), 1u);
}

TEST_F(SimFaultTest, FaultsAfterTheUpgradeRestartStrikeOnceTheDeviceIsBackUp)
{
    struct S_Case
    {
        E_SimFaultKind kind;
        bool dropsLink;          // the strike closes the connection
        bool comesBack;          // and the device listens again afterwards
        const char* stateAfter;  // the status once it struck
        const char* reasonAfter;
        const char* versionsAfter;
    };
    const std::vector<S_Case> cases = {
        {E_SimFaultKind::FAULT_AFTER_RESTART, false, true, "FAULT", "STORAGE_NOT_ENOUGH", "2.0.0"},
        {E_SimFaultKind::ROLLBACK_AFTER_RESTART, true, true, "READY", "OK", "1.0.0"},
        {E_SimFaultKind::DISCONNECT_AFTER_RESTART, true, false, "", "", ""},
    };
    std::vector<S_SimDeviceSpec> devices;
    for (const S_Case& row : cases)
    {
        S_SimDeviceSpec spec = quickDevice(simFaultKindName(row.kind), E_ProtocolDeviceType::PCS);
        S_SimFault after = fault(row.kind);
        after.delayMs = 60;
        if (row.kind == E_SimFaultKind::FAULT_AFTER_RESTART)
        {
            after.reasonCode = toProtocolByte(E_ProtocolReasonCode::STORAGE_NOT_ENOUGH);
        }
        spec.faults = {after};
        devices.push_back(spec);
    }
    m_type = toProtocolByte(E_ProtocolDeviceType::PCS);
    startSimulator(m_simulator, devices);

    for (const S_Case& row : cases)
    {
        const std::string nodeId = simFaultKindName(row.kind);
        SCOPED_TRACE(nodeId);
        const std::uint16_t port = m_simulator.boundPort(nodeId);
        const auto greeting = [&]
        {
            const auto event = m_client->nextEvent();
            return event && event->deviceStatus() ? event : std::nullopt;
        };
        // One upgrade to its restart; the device is back with the new versions and, until the
        // delay has passed, nothing wrong (the backend's restart verification passes).
        const auto upgradeToRestart = [&](std::uint32_t upgradeNo)
        {
            m_steps = std::make_unique<CUpgradeSteps>(*m_client, upgradeNo);
            reachFlashed(m_file);
            ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::RESTART_VERIFY,
                                               E_ProtocolStage::RESTART_VERIFICATION),
                              E_ProtocolStage::RESTART_VERIFICATION));
            ASSERT_TRUE(m_client->waitClosed());
            ASSERT_TRUE(m_client->connectWithin(port));
        };
        m_client = std::make_unique<CSimTestClient>(nodeTypeText(m_type));
        ASSERT_TRUE(m_client->connect(port));
        ASSERT_TRUE(greeting());
        ASSERT_NO_FATAL_FAILURE(upgradeToRestart(UPGRADE_NO));
        const auto backUp = greeting();
        ASSERT_TRUE(backUp);
        EXPECT_STREQ(backUp->deviceStatus()->upgradeStateName(), "READY");
        EXPECT_EQ(backUp->deviceStatus()->components.front().version, "2.0.0");

        if (row.dropsLink)
        {
            EXPECT_TRUE(m_client->waitClosed());
        }
        else
        {
            std::optional<S_ProtocolEvent> status;
            ASSERT_TRUE(waitUntil(
                [&]
                {
                    status = m_steps->status();
                    return status && status->deviceStatus() &&
                           std::string(status->deviceStatus()->upgradeStateName()) != "READY";
                }));
            EXPECT_STREQ(status->deviceStatus()->upgradeStateName(), row.stateAfter);
            EXPECT_STREQ(status->deviceStatus()->reasonName(), row.reasonAfter);
        }
        EXPECT_EQ(fired(row.kind, nodeId), 1u);
        if (!row.comesBack)
        {
            EXPECT_FALSE(m_client->connect(port));
            continue;
        }
        // What the device reports from then on, on connect as to queries.
        ASSERT_TRUE(m_client->connectWithin(port));
        const auto after = greeting();
        ASSERT_TRUE(after);
        EXPECT_EQ(after->upgradeNo, UPGRADE_NO);
        EXPECT_STREQ(after->deviceStatus()->upgradeStateName(), row.stateAfter);
        EXPECT_STREQ(after->deviceStatus()->reasonName(), row.reasonAfter);
        for (const auto& component : after->deviceStatus()->components)
        {
            EXPECT_EQ(component.version, row.versionsAfter);
        }
        // The fallback restart arms nothing; the next upgrade restart arms the fault again.
        ASSERT_NO_FATAL_FAILURE(upgradeToRestart(UPGRADE_NO + 1));
        EXPECT_TRUE(waitUntil([&] { return fired(row.kind, nodeId) == 2u; }));
    }
}

// ---- links and streams ----

TEST_F(SimFaultTest, DisconnectAtAChosenChunk)
{
    S_SimFault disconnect = onRequest(E_SimFaultKind::DISCONNECT, E_SimRequest::FILE_CHUNK);
    disconnect.chunkNo = 2;
    start({disconnect});
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    ASSERT_TRUE(m_steps->chunk(m_file, 0));
    ASSERT_TRUE(m_steps->chunk(m_file, 1));
    ASSERT_TRUE(m_client->fileChunk(UPGRADE_NO, m_file.chunk(2)));
    EXPECT_TRUE(m_client->waitClosed());
    S_SimDeviceSnapshot snapshot;
    std::string error;
    ASSERT_TRUE(m_simulator.snapshot("dev-1", snapshot, error));
    EXPECT_EQ(
        snapshot.counters.framesSent[toProtocolByte(E_ProtocolMessageType::MSG_DEVICE_FILE_CHUNK_REPORT)],
        2u);
}

TEST_F(SimFaultTest, DisconnectRightAfterAcceptingAndAtAStage)
{
    S_SimFault onConnect = onRequest(E_SimFaultKind::DISCONNECT, E_SimRequest::CONNECT);
    onConnect.times = 1;
    start({onConnect, onRequest(E_SimFaultKind::DISCONNECT, E_SimRequest::START_FLASH)}, false);
    EXPECT_TRUE(m_client->waitClosed());
    ASSERT_TRUE(m_client->connect(m_port));
    ASSERT_TRUE(m_client->nextEvent());  // the second connection is greeted
    ASSERT_TRUE(m_steps->reachTransfer(targets(), {m_file}));
    ASSERT_TRUE(m_steps->transferAll({m_file}));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(m_steps->finishTransfer(1, verify, stage));
    ASSERT_TRUE(m_client->command(UPGRADE_NO, commandOf(E_ProtocolCommandType::START_FLASH),
                                  stageOf(E_ProtocolStage::FLASHING)));
    EXPECT_TRUE(m_client->waitClosed());
}

TEST_F(SimFaultTest, NoAnswerToResetContext)
{
    start({fault(E_SimFaultKind::NO_RESET_ANSWER)});
    ASSERT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(m_client->command(UPGRADE_NO, commandOf(E_ProtocolCommandType::RESET_CONTEXT),
                                  stageOf(E_ProtocolStage::PREPARATION)));
    const auto next = m_steps->status();  // the first answer after the reset is this status
    ASSERT_TRUE(next && next->deviceStatus());
    EXPECT_STREQ(next->deviceStatus()->upgradeStateName(), "UPGRADING");  // the context is still open
}

TEST_F(SimFaultTest, ProgressFloodPrecedesTheStageReport)
{
    S_SimFault flood = fault(E_SimFaultKind::PROGRESS_FLOOD);
    flood.count = 2000;
    start({flood});
    ASSERT_TRUE(isAck(m_steps->targets(targets()), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isAck(m_steps->command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    EXPECT_TRUE(isStageReport(m_steps->next(), E_ProtocolStage::PREPARATION));
    EXPECT_GE(m_client->progressCount(), 2000u);
}

TEST_F(SimFaultTest, ProgressFloodDuringFlashing)
{
    S_SimFault flood = atStage(E_SimFaultKind::PROGRESS_FLOOD, E_ProtocolStage::FLASHING);
    flood.count = 300;
    start({flood});
    reachFlashed(m_file);
    EXPECT_GE(m_client->progressCount(), 300u);
}

TEST_F(SimFaultTest, GarbageBytesBeforeTheGreetingAreSkippedByTheBackendScanner)
{
    S_SimFault garbage = fault(E_SimFaultKind::GARBAGE_BYTES);
    garbage.count = 200;
    start({garbage, onRequest(E_SimFaultKind::GARBAGE_BYTES, E_SimRequest::STATUS_QUERY)}, false);
    const auto greeting = m_client->nextEvent();
    ASSERT_TRUE(greeting && greeting->deviceStatus());
    EXPECT_GE(m_client->discardedByteCount(), 200u);
    EXPECT_FALSE(m_client->decodeErrors().empty());
    const auto status = m_steps->status();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_GE(m_client->discardedByteCount(), 200u + 64u);
    EXPECT_FALSE(m_client->rejected());
}

// ---- the fault record itself ----

TEST(SimFaultRulesTest, ApiRejectsFieldsThatDoNotApplyAndMissingOnes)
{
    std::string error;
    S_SimFault late;
    late.kind = E_SimFaultKind::LATE_ACK;
    EXPECT_FALSE(validateSimFault(late, error));
    EXPECT_EQ(error, "Fault LATE_ACK needs delayMs");
    late.delayMs = 10;
    late.chunkNo = 3;
    EXPECT_FALSE(validateSimFault(late, error));
    EXPECT_EQ(error, "Fault LATE_ACK does not take chunkNo");
    S_SimFault refuse;
    refuse.kind = E_SimFaultKind::REFUSE_COMMAND;
    refuse.request = E_SimRequest::FILE_CHUNK;
    EXPECT_FALSE(validateSimFault(refuse, error));
    EXPECT_EQ(error, "Fault REFUSE_COMMAND cannot be triggered by request FILE_CHUNK");
    S_SimFault flood;
    flood.kind = E_SimFaultKind::PROGRESS_FLOOD;
    flood.stage = toProtocolByte(E_ProtocolStage::FILE_TRANSFER);
    EXPECT_FALSE(validateSimFault(flood, error));
    EXPECT_EQ(error, "Fault PROGRESS_FLOOD does not apply to stage FILE_TRANSFER");

    CDeviceSimulator simulator(S_SimOptions{E_SimLogLevel::QUIET});
    EXPECT_FALSE(simulator.addFault("nobody", S_SimFault{}, error));
    EXPECT_EQ(error, "Unknown simulated device: nobody");
}

}  // namespace
}  // namespace ota::test
