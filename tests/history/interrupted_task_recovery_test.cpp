#include "history/interrupted_task_recovery.h"

#include "common/clock.h"
#include "common/json_text.h"
#include "history/history_contracts.h"
#include "history_documents.h"
#include "sqlite_test_access.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using nlohmann::json;

// A task of four devices as a killed process left it: one succeeded, one failed, one inside its
// workflow (transferring) and one still waiting for its turn.
json interruptedState(std::uint32_t upgradeNo, const std::string& status, std::int64_t startedAt)
{
    json state = test::makeStateDocument(upgradeNo, test::taskId(upgradeNo), 4, startedAt);
    state["status"] = status;
    json& devices = state["devices"];
    const auto end = [&](json& device, const char* result)
    {
        device["completed"] = true;
        device["result"] = result;
        device["startedAt"] = startedAt + 10;
        device["finishedAt"] = startedAt + 20;
        device["abortAllowed"] = false;
    };
    end(devices[0], "SUCCESS");
    end(devices[1], "FAILED");
    devices[1]["reasonName"] = "TIMEOUT";
    devices[1]["reasonCode"] = 17;
    devices[2]["startedAt"] = startedAt + 30;
    devices[2]["stage"] = "文件传输";
    devices[2]["state"] = "发送文件分片";
    devices[2]["workflowProgress"] = 40;
    devices[2]["currentFileNo"] = 1;
    devices[2]["currentChunkNo"] = 7;
    test::recountStateDocument(state);
    state["runningDeviceCount"] = 1;
    state["readyDeviceCount"] = 1;
    return state;
}

TEST(InterruptedTaskRecovery, UnfinishedDevicesEndAsAStopWouldEndThem)
{
    const std::int64_t startedAt = 1'700'000'000'000;
    const json last = interruptedState(5, "RUNNING", startedAt);
    json final;
    std::string reason;
    ASSERT_TRUE(buildInterruptedTaskFinalState(last, startedAt + 5000, final, reason)) << reason;

    EXPECT_EQ(final["status"], "STOPPED");
    EXPECT_EQ(final["active"], false);
    EXPECT_EQ(final["finishedAt"], startedAt + 5000);
    EXPECT_EQ(final["completedCount"], 4);
    EXPECT_EQ(final["successCount"], 1);
    EXPECT_EQ(final["failedCount"], 2);
    EXPECT_EQ(final["abortedCount"], 1);
    EXPECT_EQ(final["runningDeviceCount"], 0);
    EXPECT_EQ(final["readyDeviceCount"], 0);

    const json& devices = final["devices"];
    EXPECT_EQ(devices[0], last["devices"][0]) << "completed devices are kept as they were";
    EXPECT_EQ(devices[1], last["devices"][1]);

    const json& inWorkflow = devices[2];
    EXPECT_EQ(inWorkflow["result"], "FAILED");
    EXPECT_EQ(inWorkflow["state"], "执行失败");
    EXPECT_EQ(inWorkflow["reasonName"], "INTERNAL_ERROR");
    EXPECT_NE(inWorkflow["error"].get<std::string>().find("后台服务重启"), std::string::npos);
    EXPECT_EQ(inWorkflow["stage"], "文件传输") << "progress of the device stays as it was";
    EXPECT_EQ(inWorkflow["workflowProgress"], 40);
    EXPECT_EQ(inWorkflow["currentChunkNo"], 7);
    EXPECT_EQ(inWorkflow["finishedAt"], startedAt + 5000);
    EXPECT_EQ(inWorkflow["targets"][0]["detailText"], inWorkflow["error"]);

    const json& waiting = devices[3];
    EXPECT_EQ(waiting["result"], "ABORTED");
    EXPECT_EQ(waiting["state"], "已终止");
    EXPECT_EQ(waiting["completed"], true);
    EXPECT_EQ(waiting["abortAllowed"], false);
    EXPECT_EQ(waiting["targets"][0]["state"], "已终止");

    json broken = last;
    broken["devices"][0]["result"] = "MAYBE";
    EXPECT_FALSE(buildInterruptedTaskFinalState(broken, startedAt + 5000, final, reason));
    EXPECT_EQ(reason, "state.devices[0].result is not supported");
}

TEST(InterruptedTaskRecovery, StartupFinalisesRunningAndAbortingRecordsOnly)
{
    test::CTempDirectory directory;
    const std::filesystem::path path = directory / "upgrade-history.db";
    CUpgradeHistoryRepository repository;
    std::string error;
    ASSERT_TRUE(repository.open(path, error)) << error;
    const std::int64_t now = currentUnixMs();
    const auto addRunning = [&](std::uint32_t upgradeNo, const std::string& status)
    {
        ASSERT_TRUE(repository.upsertTaskSnapshot(
            test::makeSnapshotWrite(upgradeNo, test::taskId(upgradeNo), now - 9000, 4), error))
            << error;
        ASSERT_TRUE(repository.updateRunningState(
            {upgradeNo, now - 1000, status, toJsonText(interruptedState(upgradeNo, status, now - 9000))},
            error))
            << error;
    };
    addRunning(1, "RUNNING");
    addRunning(2, "ABORTING");
    addRunning(3, "RUNNING");
    ASSERT_TRUE(
        repository.upsertTaskSnapshot(test::makeSnapshotWrite(4, test::taskId(4), now - 500, 4), error));
    // A stored state no final report can be built from: the record is left alone.
    test::CRawDatabase raw{path};
    ASSERT_EQ(
        raw.execute("UPDATE upgrade_history SET state_json='{\"status\":\"RUNNING\"}' WHERE upgrade_no=3;"),
        "");
    std::optional<S_UpgradeHistoryRecord> before;
    ASSERT_TRUE(repository.findRecord(1, before, error));

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(finalizeInterruptedHistoryAtStartup(repository), 2u);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out,
              "[HISTORY] Interrupted upgrade finalized at start-up: upgradeNo=2\n"
              "[HISTORY] Interrupted upgrade finalized at start-up: upgradeNo=1\n");
    EXPECT_NE(err.find("[WARN] Interrupted upgrade cannot be finalized at start-up: upgradeNo=3, reason="),
              std::string::npos)
        << err;

    for (const std::uint32_t upgradeNo : {1u, 2u})
    {
        std::optional<S_UpgradeHistoryRecord> record;
        ASSERT_TRUE(repository.findRecord(upgradeNo, record, error));
        ASSERT_TRUE(record.has_value());
        EXPECT_TRUE(record->isFinal);
        EXPECT_EQ(record->status, "STOPPED");
        ASSERT_TRUE(record->completedAt.has_value());
        EXPECT_GE(*record->completedAt, now);
        std::string reason;
        EXPECT_TRUE(validateHistoryRecord(*record, reason)) << upgradeNo << ": " << reason;
        const json report = json::parse(record->reportJson.value());
        EXPECT_EQ(report["status"], "STOPPED");
        EXPECT_EQ(report["finishedAt"], *record->completedAt);
    }
    std::optional<S_UpgradeHistoryRecord> after;
    ASSERT_TRUE(repository.findRecord(1, after, error));
    EXPECT_EQ(after->snapshotJson, before->snapshotJson);
    EXPECT_EQ(after->startedAt, before->startedAt);
    EXPECT_EQ(after->upgradeId, before->upgradeId);

    std::optional<S_UpgradeHistoryRecord> untouched;
    ASSERT_TRUE(repository.findRecord(3, untouched, error));
    EXPECT_EQ(untouched->status, "RUNNING");
    ASSERT_TRUE(repository.findRecord(4, untouched, error));
    EXPECT_EQ(untouched->status, "PREVIEW_READY");

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(finalizeInterruptedHistoryAtStartup(repository), 0u) << "finalised records stay as they are";
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace ota::backend
