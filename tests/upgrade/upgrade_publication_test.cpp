// How state changes reach the observer: progress-only changes of a transfer are coalesced, and
// the document always shows the device's current position.
#include "support/wait_until.h"
#include "upgrade/upgrade_state_publisher.h"
#include "upgrade/upgrade_test_fixture.h"

#include <condition_variable>

#include <mutex>
#include <stdexcept>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;
using nlohmann::json;
using test::CSnapshotBuilder;
using test::E_SendKind;
using test::S_RecordedSend;

using UpgradePublication = test::CUpgradeExecutionFixture;

bool isChunk(const S_RecordedSend& send)
{
    return send.kind == E_SendKind::FILE_CHUNK;
}

TEST_F(UpgradePublication, ChunkProgressReachesTheObserverAtMostOncePerInterval)
{
    startService(options());
    m_site.addDevice("emu-fast", test::emuComponents());
    CSnapshotBuilder builder(m_directory, 100);
    builder.addFile(1, "emu.bin", test::firmwareBytes(100, 100), 1, "V2");  // 100 one-byte chunks
    builder.addTarget("emu-fast", "EMU", 1, "V1", 1);
    startTask(builder.build());
    const json final = waitForEnd(100);
    ASSERT_EQ(final.at("status"), "SUCCESS");

    std::vector<S_RecordedSend> chunks;
    for (const auto& send : m_transport.sendsTo("emu-fast"))
    {
        if (isChunk(send))
        {
            chunks.push_back(send);
        }
    }
    ASSERT_EQ(chunks.size(), 100u);
    const auto transferMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(chunks.back().sentAt - chunks.front().sentAt)
            .count();
    std::size_t transferDocuments = 0;
    const auto documents = m_recorder.documents();
    for (const auto& document : documents)
    {
        if (document.at("devices").at(0).at("state") == "发送文件分片")
        {
            ++transferDocuments;
        }
    }
    EXPECT_LE(transferDocuments, static_cast<std::size_t>(2 + transferMs / 100))
        << "transfer took " << transferMs << " ms";
    EXPECT_LT(transferDocuments, 20u) << "transfer took " << transferMs << " ms";
    EXPECT_LT(documents.size(), 50u);
}

TEST_F(UpgradePublication, DocumentShowsTheChunkOutstandingAndTheProgressOfThoseDone)
{
    startService(options());
    m_site.addDevice("emu-1", test::emuComponents());
    m_transport.holdSends([](const S_RecordedSend& send)
                          { return isChunk(send) && send.fileChunk.chunkNo == 13; });
    CSnapshotBuilder builder(m_directory, 101);
    builder.addFile(1, "emu.bin", test::firmwareBytes(100000, 101), 4096, "V2");  // 25 chunks
    builder.addTarget("emu-1", "EMU", 1, "V1", 1);
    startTask(builder.build());
    ASSERT_TRUE(m_transport.waitForHeldSends(1, 30s));

    const json state = currentState();
    const json& device = deviceIn(state, "emu-1");
    EXPECT_EQ(device.at("stage"), "文件传输");
    EXPECT_EQ(device.at("state"), "发送文件分片");
    EXPECT_EQ(device.at("workflowProgress"), 20 + 35 * 13 / 25);  // 38 after 13 of 25 chunks
    EXPECT_EQ(device.at("currentFileNo"), 1);
    EXPECT_EQ(device.at("currentChunkNo"), 13);
    EXPECT_EQ(state.at("runningDeviceCount"), 1);
    EXPECT_EQ(state.at("readyDeviceCount"), 0);
    // The coalesced publication still delivers the newest position.
    EXPECT_TRUE(m_recorder.waitFor(
        [](const json& document)
        {
            const json& published = document.at("devices").at(0);
            return published.at("workflowProgress") == 38 && published.at("currentChunkNo") == 13;
        }));
    m_transport.releaseHeldSends();
    EXPECT_EQ(waitForEnd(101).at("status"), "SUCCESS");
}

// An observer that throws is logged; the next documents are still delivered.
TEST_F(UpgradePublication, ObserverThatThrowsDoesNotStopThePublication)
{
    startService(options());
    std::mutex mutex;
    std::vector<std::string> statuses;
    m_service.setStateObserver(
        [&](const std::string& text)
        {
            std::lock_guard lock(mutex);
            statuses.push_back(json::parse(text).at("status").get<std::string>());
            if (statuses.size() == 1)
            {
                throw std::runtime_error("observer failed");
            }
        });
    m_site.addDevice("emu-1", test::emuComponents());
    CSnapshotBuilder builder(m_directory, 102);
    builder.addFile(1, "emu.bin", test::firmwareBytes(300, 102), 128, "V2");
    builder.addTarget("emu-1", "EMU", 1, "V1", 1);
    startTask(builder.build());
    EXPECT_TRUE(test::waitUntil(
        [&]
        {
            std::lock_guard lock(mutex);
            return !statuses.empty() && statuses.back() == "SUCCESS";
        },
        30s));
    std::lock_guard lock(mutex);
    EXPECT_GE(statuses.size(), 3u);
}

// A change recorded while a snapshot is being built may already be in that snapshot; the round
// that change starts then builds the same state again, which the observer must not see twice.
TEST(StatePublisher, AStateEqualToTheLastDeliveredIsNotDeliveredAgain)
{
    const auto identity = std::make_shared<const S_ExecutionTaskIdentity>();
    std::mutex mutex;
    std::condition_variable changed;
    bool firstBuildEntered = false;
    bool changeRecorded = false;
    std::size_t builds = 0;
    bool finished = false;  // what the builder shows
    std::vector<bool> delivered;

    CStatePublisher publisher;
    publisher.setObserver(
        [&](const ExecutionStatePtr& state)
        {
            std::lock_guard<std::mutex> lock(mutex);
            delivered.push_back(state->active);
            changed.notify_all();
        });
    publisher.start(
        std::chrono::milliseconds(1),
        [&]
        {
            std::unique_lock<std::mutex> lock(mutex);
            ++builds;
            if (builds == 1)
            {
                firstBuildEntered = true;
                changed.notify_all();
                changed.wait(lock, [&] { return changeRecorded; });
            }
            auto state = std::make_shared<S_ExecutionState>();
            state->task = identity;
            state->active = !finished;
            return ExecutionStatePtr(state);
        },
        [](E_LogLevel, const std::string&) {});

    publisher.stateChanged();
    {
        // The task ends while the first snapshot is being built: the snapshot shows the end.
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return firstBuildEntered; }));
        finished = true;
    }
    publisher.stateChanged();
    {
        std::lock_guard<std::mutex> lock(mutex);
        changeRecorded = true;
    }
    changed.notify_all();
    ASSERT_TRUE(test::waitUntil(
        [&]
        {
            std::lock_guard<std::mutex> lock(mutex);
            return builds >= 2;
        }));
    // A different state after that is delivered as usual.
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished = false;
    }
    publisher.stateChanged();
    ASSERT_TRUE(test::waitUntil(
        [&]
        {
            std::lock_guard<std::mutex> lock(mutex);
            return delivered.size() >= 2;
        }));
    publisher.stop();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(delivered, (std::vector<bool>{false, true}));
    EXPECT_EQ(builds, 3u);
}

}  // namespace
}  // namespace ota::backend
