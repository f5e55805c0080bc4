// Rollouts in the history database file: every status stored and read back by a new service, the
// start-up recovery of a rollout that was RUNNING, and the upgrade history's file left as an older
// build expects it.
#include "rollout/rollout_store.h"
#include "common/json_text.h"
#include "history/upgrade_history_repository.h"
#include "rollout/rollout_document.h"
#include "rollout/rollout_plan.h"
#include "rollout/rollout_service.h"
#include "rollout/rollout_test_support.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <nlohmann/json.hpp>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

constexpr std::int64_t kStoreNow = 1'700'000'000'000;

// A rollout of four devices in two groups, brought to the given status with a task of group 1
// (number 42) running or ended, as a real one would be.
S_Rollout rolloutIn(E_RolloutStatus status)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {2};
    policy.maxFailedDevices = 3;
    policy.retryRounds = 1;
    if (status == E_RolloutStatus::SCHEDULED)
    {
        policy.startAt = kStoreNow + 3'600'000;
    }
    S_Rollout rollout = newRollout(0, sharedPlan(4, policy), kStoreNow);
    if (status == E_RolloutStatus::READY)
    {
        return rollout;
    }
    rollout.status = status;
    rollout.startedAt = kStoreNow + 1;
    rollout.currentGroupNo = 1;
    if (status == E_RolloutStatus::SCHEDULED)
    {
        rollout.startedAt = 0;
        return rollout;
    }
    rollout.groups[0].status = E_RolloutGroupStatus::RUNNING;
    rollout.groups[0].upgradeNos = {41, 42};
    rollout.devices[0].result = E_RolloutDeviceResult::RUNNING;
    rollout.devices[0].upgradeNo = 42;
    rollout.devices[1].result = E_RolloutDeviceResult::SKIPPED;
    rollout.devices[1].upgradeNo = 41;
    rollout.devices[1].error = "Device is not connected: dev-2";
    rollout.devices[1].flashMayHaveStarted = true;
    rollout.failedSinceResume = 1;
    rollout.windowWaived = true;
    rollout.activeTask.upgradeNo = 42;
    rollout.activeTask.kind = E_RolloutTaskKind::GROUP;
    rollout.activeTask.groupNo = 1;
    if (status == E_RolloutStatus::PAUSED || status == E_RolloutStatus::HALTED)
    {
        rollout.reason = "Paused by an operator";
        rollout.activeTask = {};
        rollout.devices[0].result = E_RolloutDeviceResult::FAILED;
        rollout.groups[0].status = E_RolloutGroupStatus::FAILED;
    }
    if (isRolloutFinished(status))
    {
        rollout.activeTask = {};
        rollout.phase = E_RolloutPhase::RETRIES;
        rollout.retryRoundsRun = 1;
        rollout.currentGroupNo = 0;
        rollout.finishedAt = kStoreNow + 99;
        rollout.devices[0].result = E_RolloutDeviceResult::SUCCESS;
        rollout.groups[0].status = E_RolloutGroupStatus::SUCCESS;
        rollout.reason = status == E_RolloutStatus::SUCCESS ? "" : "stopped";
    }
    return rollout;
}

void storeRollout(CRolloutStore& store, S_Rollout& rollout)
{
    std::string error;
    std::uint32_t rolloutNo = 0;
    ASSERT_TRUE(store.insert(rollout.plan->rolloutId + std::to_string(static_cast<int>(rollout.status)),
                             rolloutStatusName(rollout.status), rollout.createdAt,
                             toJsonText(rolloutPlanToJson(*rollout.plan)),
                             toJsonText(rolloutStateToJson(rollout)), rolloutNo, error))
        << error;
    rollout.rolloutNo = rolloutNo;
}

TEST(RolloutStoreTest, StateAndPlanReadBackExactly)
{
    for (const E_RolloutStatus status :
         {E_RolloutStatus::READY, E_RolloutStatus::RUNNING, E_RolloutStatus::HALTED, E_RolloutStatus::FAILED})
    {
        S_Rollout rollout = rolloutIn(status);
        rollout.rolloutNo = 5;
        S_Rollout read;
        read.rolloutNo = 5;
        read.plan = rollout.plan;
        std::string error;
        ASSERT_TRUE(rolloutStateFromJson(rolloutStateToJson(rollout), read, error)) << error;
        EXPECT_TRUE(read == rollout) << rolloutStatusName(status);
        S_RolloutPlan plan;
        ASSERT_TRUE(rolloutPlanFromJson(rolloutPlanToJson(*rollout.plan), plan, error)) << error;
        EXPECT_TRUE(plan == *rollout.plan);
    }
    S_Rollout broken;
    std::string error;
    json state = rolloutStateToJson(rolloutIn(E_RolloutStatus::RUNNING));
    state["devices"][0]["groupNo"] = 9;
    EXPECT_FALSE(rolloutStateFromJson(state, broken, error));
    EXPECT_NE(error.find("names no group"), std::string::npos) << error;
}

TEST(RolloutStoreTest, EveryStatusSurvivesARestartAndARunningOneIsPausedWithItsTaskResults)
{
    CTempDirectory directory;
    const auto path = directory / "upgrade-history.db";
    std::vector<S_Rollout> stored;
    {
        CRolloutStore store;
        std::string error;
        ASSERT_TRUE(store.open(path, error)) << error;
        for (const E_RolloutStatus status :
             {E_RolloutStatus::READY, E_RolloutStatus::SCHEDULED, E_RolloutStatus::PAUSED,
              E_RolloutStatus::HALTED, E_RolloutStatus::CANCELLED, E_RolloutStatus::SUCCESS,
              E_RolloutStatus::FAILED, E_RolloutStatus::RUNNING})
        {
            stored.push_back(rolloutIn(status));
            storeRollout(store, stored.back());
        }
        // A row the service cannot read is left alone and ignored.
        std::uint32_t broken = 0;
        ASSERT_TRUE(
            store.insert("broken", "RUNNING", kStoreNow, "{}", "{\"status\":\"RUNNING\"}", broken, error));
    }

    CRecordingDriver driver;
    // The task the RUNNING rollout ran was finalised STOPPED by the history's own recovery.
    driver.finishedTasks[42] =
        taskView(42, {"dev-1"}, {{"dev-1", "FAILED"}}, false, E_RolloutTaskStatus::STOPPED);
    CRolloutService service([] { return kStoreNow + 500; });
    std::string error;
    ASSERT_TRUE(service.open(path, error)) << error;
    service.start(driver, nullptr);
    service.stop();

    const json list = json::parse(service.listJson());
    ASSERT_EQ(list["rollouts"].size(), stored.size());
    for (S_Rollout& expected : stored)
    {
        const json* found = nullptr;
        for (const json& document : list["rollouts"])
        {
            if (document["rolloutNo"] == expected.rolloutNo)
            {
                found = &document;
            }
        }
        ASSERT_NE(found, nullptr);
        if (expected.status == E_RolloutStatus::RUNNING)
        {
            EXPECT_EQ((*found)["status"], "PAUSED");
            EXPECT_EQ((*found)["reason"], kRolloutRestartReason);
            EXPECT_EQ((*found)["devices"][0]["result"], "FAILED");
            EXPECT_EQ((*found)["groups"][0]["status"], "ABORTED");
            EXPECT_EQ((*found)["currentGroupNo"], 1);
            continue;
        }
        EXPECT_EQ(*found, rolloutDocument(expected)) << rolloutStatusName(expected.status);
    }
    // The recovered state is stored: a second restart reads it as it is.
    CRolloutService again;
    ASSERT_TRUE(again.open(path, error)) << error;
    EXPECT_EQ(json::parse(again.listJson()), list);
    // The open rollout is the current one (the newest of the open ones).
    const json current = json::parse(again.currentJson());
    EXPECT_EQ(current["active"], true);
    EXPECT_EQ(current["rollout"]["rolloutNo"], stored.back().rolloutNo);
    EXPECT_TRUE(again.holdsSite());  // the SCHEDULED one
}

TEST(RolloutStoreTest, AScheduledRolloutStaysScheduledAndATaskThatNeverRanLeavesItsDevicesPending)
{
    CTempDirectory directory;
    const auto path = directory / "upgrade-history.db";
    S_Rollout scheduled = rolloutIn(E_RolloutStatus::SCHEDULED);
    S_Rollout running = rolloutIn(E_RolloutStatus::RUNNING);
    {
        CRolloutStore store;
        std::string error;
        ASSERT_TRUE(store.open(path, error)) << error;
        storeRollout(store, running);
        storeRollout(store, scheduled);
    }
    CRecordingDriver driver;  // no final report for task 42: it was previewed but never started
    CRolloutService service([] { return kStoreNow; });
    std::string error;
    ASSERT_TRUE(service.open(path, error)) << error;
    service.start(driver, nullptr);
    service.stop();
    const json list = json::parse(service.listJson());
    EXPECT_EQ(list["rollouts"][0]["status"], "SCHEDULED");
    EXPECT_EQ(list["rollouts"][0]["reason"], "");
    const json& paused = list["rollouts"][1];
    EXPECT_EQ(paused["status"], "PAUSED");
    EXPECT_EQ(paused["devices"][0]["result"], "PENDING");
    EXPECT_EQ(paused["devices"][1]["result"], "SKIPPED");
}

TEST(RolloutStoreTest, TheUpgradeHistoryKeepsItsSchemaAndAnOlderBuildStillOpensTheFile)
{
    CTempDirectory directory;
    const auto path = directory / "upgrade-history.db";
    std::string error;
    {
        CUpgradeHistoryRepository history;
        ASSERT_TRUE(history.open(path, error)) << error;
        CRolloutStore store;
        ASSERT_TRUE(store.open(path, error)) << error;
        S_Rollout rollout = rolloutIn(E_RolloutStatus::READY);
        storeRollout(store, rollout);
        std::uint32_t deleted = 0;
        // Clearing the history leaves the rollouts alone; deleting a rollout never reuses its number.
        ASSERT_TRUE(history.clearAll(deleted, error)) << error;
        ASSERT_TRUE(store.remove({rollout.rolloutNo}, error)) << error;
        S_Rollout next = rolloutIn(E_RolloutStatus::READY);
        storeRollout(store, next);
        EXPECT_GT(next.rolloutNo, rollout.rolloutNo);
    }
    // The history repository is what an older build runs at start-up: it opens the file unchanged.
    CUpgradeHistoryRepository reopened;
    ASSERT_TRUE(reopened.open(path, error)) << error;
    reopened.close();
    sqlite3* database = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.string().c_str(), &database, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(database, "PRAGMA user_version;", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(statement, 0), 1);
    sqlite3_finalize(statement);
    ASSERT_EQ(sqlite3_prepare_v2(database, "SELECT COUNT(*) FROM upgrade_rollout;", -1, &statement, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(statement, 0), 1);
    sqlite3_finalize(statement);
    sqlite3_close(database);
}

}  // namespace
}  // namespace ota::test
