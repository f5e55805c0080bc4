// What the state recorder's writer puts in the history row of a running task: every published
// state of a small task, and a large task's running states spaced by their size, while a change of
// status and the final report are written at once.
#include "history/published_state_writer.h"
#include "history/history_documents.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using namespace std::chrono_literals;

std::shared_ptr<S_ExecutionTaskIdentity> identityOf(std::uint32_t upgradeNo, std::size_t deviceCount)
{
    auto identity = std::make_shared<S_ExecutionTaskIdentity>();
    identity->upgradeNo = upgradeNo;
    identity->upgradeId = test::taskId(upgradeNo);
    identity->sceneGeneration = 1;
    identity->configuredDeviceConcurrency = 4;
    identity->recommendedDeviceConcurrency = 4;
    identity->workerCount = 4;
    for (std::size_t i = 0; i < deviceCount; ++i)
    {
        const std::string nodeId = "node" + std::to_string(i + 1);
        identity->devices.push_back({nodeId, "PCS " + nodeId, "pcs", "10.0.0.1", 502, i, 1});
        identity->components.push_back({"PCS_DSP1", 1, 1, "1.0.0", "2.0.0"});
    }
    return identity;
}

// The task at `progress` percent on every device, or ended with `status`.
ExecutionStatePtr stateAt(const std::shared_ptr<S_ExecutionTaskIdentity>& identity, std::uint8_t progress,
                          E_UpgradeTaskStatus status = E_UpgradeTaskStatus::RUNNING)
{
    auto state = std::make_shared<S_ExecutionState>();
    state->task = identity;
    state->status = status;
    state->active = !isFinalTaskStatus(status);
    state->startedAt = 1'700'000'000'000;
    state->finishedAt = state->active ? 0 : state->startedAt + 1000;
    state->devices.resize(identity->devices.size());
    state->components.resize(identity->components.size());
    for (S_DeviceExecutionState& device : state->devices)
    {
        device.connectionState = E_DeviceConnectionState::CONNECTED;
        device.stage = 3;
        device.state = "发送文件分片";
        device.workflowProgress = progress;
        device.startedAt = state->startedAt;
        if (!state->active)
        {
            device.completed = true;
            device.result = E_DeviceResult::ABORTED;
            device.finishedAt = state->finishedAt;
        }
    }
    return state;
}

TEST(PublishedStateWriter, LargeRunningStatesAreSpacedBySizeStatusChangesAndTheEndAreNot)
{
    struct S_Case
    {
        std::size_t deviceCount;
        bool spaced;
    };
    for (const S_Case& c : {S_Case{2, false}, S_Case{400, true}})
    {
        SCOPED_TRACE(c.deviceCount);
        test::CTempDirectory directory;
        CUpgradeHistoryRepository repository;
        std::string error;
        ASSERT_TRUE(repository.open(directory / "history.db", error)) << error;
        const std::uint32_t upgradeNo = 7;
        ASSERT_TRUE(repository.upsertTaskSnapshot(
            test::makeSnapshotWrite(upgradeNo, test::taskId(upgradeNo), 1'700'000'000'000, c.deviceCount),
            error))
            << error;
        auto now = std::chrono::steady_clock::time_point{} + 1h;
        CPublishedStateWriter writer([&] { return now; });
        CStateWriteFailureLog failures;
        const auto identity = identityOf(upgradeNo, c.deviceCount);
        const auto persist = [&](const ExecutionStatePtr& state)
        {
            const std::string text = renderExecutionState(*state);
            writer.persist(repository, 30, state, text, failures);
            return text;
        };
        const auto stored = [&]
        {
            std::optional<S_UpgradeHistoryRecord> record;
            EXPECT_TRUE(repository.findRecord(upgradeNo, record, error)) << error;
            return record.value_or(S_UpgradeHistoryRecord{});
        };

        const std::string first = persist(stateAt(identity, 10));
        ASSERT_EQ(stored().stateJson, first);
        ASSERT_EQ(first.size() >= CPublishedStateWriter::kLargeRunningDocument, c.spaced) << first.size();
        const std::string second = persist(stateAt(identity, 20));
        EXPECT_EQ(stored().stateJson, c.spaced ? first : second);

        // Once its size's worth of time has passed, the next state is written.
        now += std::chrono::milliseconds(
            1000 * first.size() / CPublishedStateWriter::kRunningRowBytesPerSecond + 1);
        const std::string third = persist(stateAt(identity, 30));
        EXPECT_EQ(stored().stateJson, third);

        const std::string aborting = persist(stateAt(identity, 40, E_UpgradeTaskStatus::ABORTING));
        EXPECT_EQ(stored().status, "ABORTING");
        EXPECT_EQ(stored().stateJson, aborting);

        persist(stateAt(identity, 40, E_UpgradeTaskStatus::ABORTED));
        const S_UpgradeHistoryRecord final = stored();
        EXPECT_TRUE(final.isFinal);
        EXPECT_EQ(final.status, "ABORTED");
        EXPECT_EQ(failures.totalFailures(), 0u);
    }
}

}  // namespace
}  // namespace ota::backend
