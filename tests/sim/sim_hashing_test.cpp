// Chunk hashing off the event loop: the worker keeps each device's order, skips abandoned
// digests and wakes the loop only when asked; a device holds FINISH_TRANSFER (and chunks,
// when its backlog is full) until the hashing has caught up, and drops held requests with
// their connection.
#include "sim/sim_hash_worker.h"
#include "sim/sim_test_support.h"

#include "support/wait_until.h"

#include <gtest/gtest.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <random>
#include <tuple>

namespace ota::test
{
namespace
{

using namespace ota::backend;

std::vector<std::uint8_t> randomBytes(std::size_t size, std::mt19937& random)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes)
    {
        byte = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Runs the io_context's handlers on this thread until the predicate holds (generous bound).
template <typename Predicate>
bool runUntil(boost::asio::io_context& io, Predicate&& predicate)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate() && std::chrono::steady_clock::now() < deadline)
    {
        io.run_one_for(std::chrono::milliseconds(50));
    }
    return predicate();
}

// True once the lane is empty: at once, or when the worker posts the wake-up.
bool drain(boost::asio::io_context& io, CSimHashWorker& worker, CSimHashLane& lane)
{
    bool drained = false;
    if (worker.backlogAtMost(lane, 0, [&drained] { drained = true; }))
    {
        drained = true;
    }
    return runUntil(io, [&] { return drained; }) && worker.idle(lane);
}

class SimHashWorkerTest : public ::testing::Test
{
protected:
    boost::asio::io_context m_io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_guard{m_io.get_executor()};
};

TEST_F(SimHashWorkerTest, EveryLaneIsHashedInTheOrderItsPiecesCame)
{
    CSimHashWorker worker(m_io, false);
    constexpr std::size_t LANE_COUNT = 4;
    std::vector<std::shared_ptr<CSimHashLane>> lanes;
    std::vector<std::shared_ptr<S_SimRunningDigest>> digests;
    std::vector<std::vector<std::uint8_t>> contents(LANE_COUNT);
    for (std::size_t index = 0; index < LANE_COUNT; ++index)
    {
        lanes.push_back(worker.createLane());
        digests.push_back(std::make_shared<S_SimRunningDigest>());
    }
    std::mt19937 random(11);
    for (int round = 0; round < 150; ++round)
    {
        for (std::size_t index = 0; index < LANE_COUNT; ++index)
        {
            // Pieces below and above the size hashed on the caller's thread, interleaved.
            const std::size_t size = random() % 3 == 0 ? 32768 + random() % 9000 : 1 + random() % 16000;
            std::vector<std::uint8_t> piece = randomBytes(size, random);
            contents[index].insert(contents[index].end(), piece.begin(), piece.end());
            worker.hash(lanes[index], digests[index], std::move(piece));
        }
    }
    for (std::size_t index = 0; index < LANE_COUNT; ++index)
    {
        ASSERT_TRUE(drain(m_io, worker, *lanes[index]));
        EXPECT_EQ(digests[index]->sha.finish(),
                  CSha256::digestOf(contents[index].data(), contents[index].size()))
            << "lane " << index;
    }
}

TEST_F(SimHashWorkerTest, ALoneDeviceIsHashedOnTheCallerAndSharedTrafficKeepsEachOrder)
{
    CSimHashWorker worker(m_io, true);
    const auto first = worker.createLane();
    const auto second = worker.createLane();
    const auto firstDigest = std::make_shared<S_SimRunningDigest>();
    const auto secondDigest = std::make_shared<S_SimRunningDigest>();
    std::mt19937 random(11);
    std::vector<std::uint8_t> firstBytes;
    std::vector<std::uint8_t> secondBytes;
    for (int index = 0; index < 8; ++index)
    {
        std::vector<std::uint8_t> piece = randomBytes(65536, random);
        firstBytes.insert(firstBytes.end(), piece.begin(), piece.end());
        worker.hash(first, firstDigest, std::move(piece));
        // Nothing was handed over: the piece is in the digest when hash returns.
        EXPECT_TRUE(worker.idle(*first));
    }
    for (int index = 0; index < 8; ++index)
    {
        for (auto [lane, digest, bytes] :
             {std::tuple{first, firstDigest, &firstBytes}, std::tuple{second, secondDigest, &secondBytes}})
        {
            std::vector<std::uint8_t> piece = randomBytes(40000 + index, random);
            bytes->insert(bytes->end(), piece.begin(), piece.end());
            worker.hash(lane, digest, std::move(piece));
        }
    }
    ASSERT_TRUE(drain(m_io, worker, *first));
    ASSERT_TRUE(drain(m_io, worker, *second));
    EXPECT_EQ(firstDigest->sha.finish(), CSha256::digestOf(firstBytes.data(), firstBytes.size()));
    EXPECT_EQ(secondDigest->sha.finish(), CSha256::digestOf(secondBytes.data(), secondBytes.size()));
}

TEST_F(SimHashWorkerTest, AbandonedDigestIsLeftAlone)
{
    CSimHashWorker worker(m_io, false);
    const auto lane = worker.createLane();
    const auto digest = std::make_shared<S_SimRunningDigest>();
    digest->abandoned = true;
    std::mt19937 random(12);
    worker.hash(lane, digest, randomBytes(100000, random));
    worker.hash(lane, digest, randomBytes(100, random));
    ASSERT_TRUE(drain(m_io, worker, *lane));
    EXPECT_EQ(digest->sha.finish(), CSha256::digestOf(nullptr, 0));
}

TEST_F(SimHashWorkerTest, OnlyTheLatestWakeUpOfALaneIsPosted)
{
    CSimHashWorker worker(m_io, false);
    const auto lane = worker.createLane();
    const auto digest = std::make_shared<S_SimRunningDigest>();
    std::mt19937 random(13);
    EXPECT_TRUE(worker.backlogAtMost(*lane, 0, [] { FAIL() << "an empty lane needs no wake-up"; }));
    for (int index = 0; index < 64; ++index)
    {
        worker.hash(lane, digest, randomBytes(65536, random));
    }
    int first = 0;
    int second = 0;
    const bool firstAtOnce = worker.backlogAtMost(*lane, 0, [&first] { ++first; });
    const bool secondAtOnce = worker.backlogAtMost(*lane, 0, [&second] { ++second; });
    // On a slow machine the worker may be through before either call; while it is not, the
    // second callback replaces the first and runs exactly once.
    if (!secondAtOnce)
    {
        ASSERT_TRUE(runUntil(m_io, [&] { return second == 1; }));
        m_io.poll();
        EXPECT_EQ(first, 0);
    }
    EXPECT_LE(second, 1);
    EXPECT_LE(first, firstAtOnce ? 0 : 1);
    EXPECT_TRUE(worker.idle(*lane));
}

TEST_F(SimHashWorkerTest, StopDropsQueuedWorkAndIgnoresLaterPieces)
{
    const auto digest = std::make_shared<S_SimRunningDigest>();
    std::shared_ptr<CSimHashLane> lane;
    {
        CSimHashWorker worker(m_io, false);
        lane = worker.createLane();
        std::mt19937 random(14);
        const std::vector<std::uint8_t> piece = randomBytes(1 << 20, random);
        for (int index = 0; index < 64; ++index)
        {
            worker.hash(lane, digest, piece);
        }
        bool woken = false;
        worker.backlogAtMost(*lane, 0, [&woken] { woken = true; });
        worker.stop();
        worker.stop();
        worker.hash(lane, digest, piece);
        m_io.poll();
        EXPECT_FALSE(woken);
    }
    // The digest outlives the worker that fed it; it is still usable.
    EXPECT_EQ(digest->sha.finish().size(), 32u);
}

// ---- a device over loopback ----

class SimHashingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        startSimulator(m_simulator, {quickDevice("dev-1", E_ProtocolDeviceType::EMU)});
        m_port = m_simulator.boundPort("dev-1");
        std::string error;
        m_adapter = createProtocolAdapter("ota-v1", "EMU", error);
        ASSERT_TRUE(m_adapter) << error;
        connect();
    }

    void connect()
    {
        m_client = std::make_unique<CSimTestClient>("EMU");
        ASSERT_TRUE(m_client->connect(m_port));
        const auto greeting = m_client->nextEvent();
        ASSERT_TRUE(greeting && greeting->deviceStatus());
    }

    // Every chunk of the files, then the extra frame, in one write: nothing waits for a report.
    std::vector<std::uint8_t> pipelined(std::uint32_t upgradeNo, const std::vector<S_TestFirmware>& files,
                                        const std::vector<std::uint8_t>& last)
    {
        std::vector<std::uint8_t> stream;
        for (const S_TestFirmware& file : files)
        {
            for (std::uint16_t chunkNo = 0; chunkNo < file.totalChunks(); ++chunkNo)
            {
                std::vector<std::uint8_t> bytes;
                std::string type;
                std::string error;
                EXPECT_TRUE(m_adapter->encodeFileChunk(upgradeNo, file.chunk(chunkNo), bytes, type, error))
                    << error;
                stream.insert(stream.end(), bytes.begin(), bytes.end());
            }
        }
        stream.insert(stream.end(), last.begin(), last.end());
        return stream;
    }

    std::vector<std::uint8_t> commandBytes(std::uint32_t upgradeNo, E_ProtocolCommandType command,
                                           E_ProtocolStage stage)
    {
        std::vector<std::uint8_t> bytes;
        std::string type;
        std::string error;
        EXPECT_TRUE(m_adapter->encodeCommand(
            upgradeNo, S_ProtocolCommand{commandOf(command), stageOf(stage), 0}, bytes, type, error))
            << error;
        return bytes;
    }

    void expectChunkReports(CUpgradeSteps& steps, const std::vector<S_TestFirmware>& files)
    {
        for (const S_TestFirmware& file : files)
        {
            for (std::uint16_t chunkNo = 0; chunkNo < file.totalChunks(); ++chunkNo)
            {
                const auto report = steps.next();
                ASSERT_TRUE(report && report->fileChunkReport()) << "chunk " << chunkNo;
                EXPECT_EQ(report->fileChunkReport()->fileNo, file.fileNo);
                EXPECT_EQ(report->fileChunkReport()->chunkNo, chunkNo);
                EXPECT_EQ(report->fileChunkReport()->result, 1);
                EXPECT_EQ(report->fileChunkReport()->crc32, file.chunk(chunkNo).crc32);
            }
        }
    }

    void expectVerified(CUpgradeSteps& steps, const std::vector<S_TestFirmware>& files)
    {
        for (const S_TestFirmware& file : files)
        {
            const auto verify = steps.next();
            ASSERT_TRUE(verify && verify->fileVerifyReport());
            EXPECT_EQ(verify->fileVerifyReport()->fileNo, file.fileNo);
            EXPECT_EQ(verify->fileVerifyReport()->result, 1);
            EXPECT_EQ(verify->fileVerifyReport()->fileSize, file.bytes.size());
            EXPECT_EQ(verify->fileVerifyReport()->sha256, file.info().sha256);
        }
        EXPECT_TRUE(isStageReport(steps.next(), E_ProtocolStage::FILE_RECEIPT_CONFIRMATION));
    }

    // Chunks above 16 KiB go to the hashing thread even from a single device.
    CDeviceSimulator m_simulator{S_SimOptions{E_SimLogLevel::QUIET, false}};
    std::unique_ptr<IDeviceProtocolAdapter> m_adapter;
    std::unique_ptr<CSimTestClient> m_client;
    std::uint16_t m_port = 0;
};

TEST_F(SimHashingTest, FinishTransferRightBehindTheChunksWaitsForTheirHashing)
{
    CUpgradeSteps steps(*m_client, 31);
    // 2 MiB in 32 KiB chunks overflow the hashing backlog many times over; the small file is
    // hashed on the loop behind the queued chunks of the first.
    const std::vector<S_TestFirmware> files = {makeFirmware(1, 2 << 20, 32768), makeFirmware(2, 5000, 1024)};
    ASSERT_TRUE(steps.reachTransfer(allTargets(toProtocolByte(E_ProtocolDeviceType::EMU), "2.0"), files));
    ASSERT_TRUE(m_client->sendBytes(pipelined(31, files,
                                              commandBytes(31, E_ProtocolCommandType::FINISH_TRANSFER,
                                                           E_ProtocolStage::FILE_RECEIPT_CONFIRMATION))));
    expectChunkReports(steps, files);
    ASSERT_TRUE(isAck(steps.next(), E_ProtocolStage::FILE_RECEIPT_CONFIRMATION));
    expectVerified(steps, files);
    // Reading resumed after every hold: the device still answers.
    const auto status = steps.status();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_STREQ(status->deviceStatus()->upgradeStateName(), "UPGRADING");
}

TEST_F(SimHashingTest, NewTargetListWhileChunksAreQueuedStartsAFreshDigest)
{
    const std::uint8_t type = toProtocolByte(E_ProtocolDeviceType::EMU);
    CUpgradeSteps first(*m_client, 41);
    const std::vector<S_TestFirmware> abandoned = {makeFirmware(1, 1 << 20, 32768)};
    ASSERT_TRUE(first.reachTransfer(allTargets(type, "2.0"), abandoned));
    std::vector<std::uint8_t> targetList;
    std::string kind;
    std::string error;
    ASSERT_TRUE(m_adapter->encodeTargetList(42, allTargets(type, "3.0"), targetList, kind, error)) << error;
    ASSERT_TRUE(m_client->sendBytes(pipelined(41, abandoned, targetList)));
    expectChunkReports(first, abandoned);
    ASSERT_TRUE(isAck(first.next(), E_ProtocolStage::PREPARATION));

    CUpgradeSteps second(*m_client, 42);
    const std::vector<S_TestFirmware> files = {makeFirmware(1, 300000, 32768)};
    ASSERT_TRUE(isAck(second.command(E_ProtocolCommandType::PREPARE_UPGRADE, E_ProtocolStage::PREPARATION),
                      E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(isStageReport(second.next(), E_ProtocolStage::PREPARATION));
    ASSERT_TRUE(
        isAck(second.command(E_ProtocolCommandType::START_TRANSFER, E_ProtocolStage::FILE_TRANSFER, 1),
              E_ProtocolStage::FILE_TRANSFER));
    ASSERT_TRUE(isAck(second.declare(files), E_ProtocolStage::FILE_TRANSFER));
    ASSERT_TRUE(second.transferAll(files));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(second.finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 1);
    EXPECT_EQ(verify[0].fileVerifyReport()->sha256, files[0].info().sha256);
}

TEST_F(SimHashingTest, ResetWhileChunksAreQueuedIsConfirmedAndLeavesNoContext)
{
    CUpgradeSteps steps(*m_client, 51);
    const std::vector<S_TestFirmware> files = {makeFirmware(1, 1 << 20, 32768)};
    ASSERT_TRUE(steps.reachTransfer(allTargets(toProtocolByte(E_ProtocolDeviceType::EMU), "2.0"), files));
    ASSERT_TRUE(m_client->sendBytes(pipelined(
        51, files, commandBytes(51, E_ProtocolCommandType::RESET_CONTEXT, E_ProtocolStage::FILE_TRANSFER))));
    expectChunkReports(steps, files);
    ASSERT_TRUE(isAck(steps.next(), E_ProtocolStage::FILE_TRANSFER));
    ASSERT_TRUE(isStageReport(steps.next(), E_ProtocolStage::FILE_TRANSFER, 3));
    const auto status = steps.status();
    ASSERT_TRUE(status && status->deviceStatus());
    EXPECT_STREQ(status->deviceStatus()->upgradeStateName(), "READY");
}

TEST_F(SimHashingTest, ConnectionLostWhileRequestsAreHeldDropsThemAndTheNextUpgradeWorks)
{
    const std::uint8_t type = toProtocolByte(E_ProtocolDeviceType::EMU);
    CUpgradeSteps steps(*m_client, 61);
    const std::vector<S_TestFirmware> files = {makeFirmware(1, 2 << 20, 32768)};
    ASSERT_TRUE(steps.reachTransfer(allTargets(type, "2.0"), files));
    ASSERT_TRUE(m_client->sendBytes(pipelined(61, files,
                                              commandBytes(61, E_ProtocolCommandType::FINISH_TRANSFER,
                                                           E_ProtocolStage::FILE_RECEIPT_CONFIRMATION))));
    // Gone without reading a single report: the device may hold requests at this moment.
    m_client->close();
    ASSERT_TRUE(waitUntil(
        [&]
        {
            S_SimDeviceSnapshot snapshot;
            std::string error;
            return m_simulator.snapshot("dev-1", snapshot, error) && !snapshot.connected;
        }));

    connect();
    CUpgradeSteps next(*m_client, 62);
    const std::vector<S_TestFirmware> fresh = {makeFirmware(1, 200000, 32768)};
    ASSERT_TRUE(next.reachTransfer(allTargets(type, "3.0"), fresh));
    ASSERT_TRUE(next.transferAll(fresh));
    std::vector<S_ProtocolEvent> verify;
    S_ProtocolEvent stage;
    ASSERT_TRUE(next.finishTransfer(1, verify, stage));
    EXPECT_EQ(verify[0].fileVerifyReport()->result, 1);
    EXPECT_EQ(verify[0].fileVerifyReport()->sha256, fresh[0].info().sha256);
}

}  // namespace
}  // namespace ota::test
