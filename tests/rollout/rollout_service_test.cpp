// The rollout service on its own thread against a recording task driver: groups one after another
// under their task names, the threshold's abort, a changed file, a refused start, what the
// site's other users see meanwhile, and a store that refuses writes.
#include "rollout/rollout_service.h"
#include "common/json_text.h"
#include "history/sqlite_connection.h"
#include "rollout/rollout_test_support.h"
#include "support/temp_directory.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>

namespace ota::test
{
namespace
{

using namespace ota::backend;
using json = nlohmann::json;

class RolloutServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(service.open(directory / "upgrade-history.db", error)) << error;
        service.start(driver,
                      [this](const std::string& document)
                      {
                          std::lock_guard<std::mutex> lock(eventsMutex);
                          events.push_back(json::parse(document));
                      });
    }

    void TearDown() override { service.stop(); }

    std::uint32_t create(const S_RolloutPlan& plan)
    {
        std::string document;
        std::string error;
        EXPECT_TRUE(service.create(plan, document, error)) << error;
        return json::parse(document)["rolloutNo"].get<std::uint32_t>();
    }

    json operate(std::uint32_t rolloutNo, E_RolloutOperation operation,
                 E_RolloutOperationResult expected = E_RolloutOperationResult::DONE)
    {
        std::string document;
        std::string error;
        EXPECT_EQ(service.operate(rolloutNo, operation, false, document, error), expected) << error;
        return document.empty() ? json(error) : json::parse(document);
    }

    json current() { return json::parse(service.currentJson())["rollout"]; }

    // Waits until the current rollout document satisfies the predicate.
    template <typename Predicate>
    json waitCurrent(Predicate&& predicate)
    {
        json found;
        waitUntil(
            [&]
            {
                found = current();
                return predicate(found);
            });
        return found;
    }

    // Every later write of a rollout's state fails (as on a full disk) until allowed again; set
    // through a connection of the test's own.
    void failStateWrites(bool fail)
    {
        CSqliteConnection connection;
        std::string error;
        ASSERT_TRUE(connection.open((directory / "upgrade-history.db").string(), "test", 5000, error))
            << error;
        ASSERT_TRUE(
            connection.execute(fail ? "CREATE TRIGGER fail_state_writes BEFORE UPDATE ON upgrade_rollout "
                                      "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;"
                                    : "DROP TRIGGER fail_state_writes;",
                               error))
            << error;
    }

    std::vector<json> eventsSoFar()
    {
        std::lock_guard<std::mutex> lock(eventsMutex);
        return events;
    }

    CTempDirectory directory;
    CRecordingDriver driver;
    CRolloutService service;
    std::mutex eventsMutex;
    std::vector<json> events;
};

TEST_F(RolloutServiceTest, GroupsRunOneTaskAfterAnotherUntilTheRolloutSucceeds)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    const std::uint32_t rolloutNo = create(makePlan(3, policy));
    EXPECT_FALSE(service.holdsSite());
    EXPECT_EQ(json::parse(service.currentJson())["active"], false);
    EXPECT_TRUE(driver.previews().empty());  // creating starts nothing

    const json started = operate(rolloutNo, E_RolloutOperation::START);
    EXPECT_EQ(started["status"], "RUNNING");
    EXPECT_EQ(started["currentGroupNo"], 1);
    EXPECT_TRUE(service.holdsSite());
    ASSERT_TRUE(driver.waitStarted(1));
    ASSERT_EQ(driver.previews().size(), 1u);
    EXPECT_EQ(driver.previews()[0].upgradeId, "site_g1");
    ASSERT_EQ(driver.previews()[0].targets.size(), 1u);
    EXPECT_EQ(driver.previews()[0].targets[0].nodeId, "dev-1");
    EXPECT_EQ(driver.started(), std::vector<std::uint32_t>{100});
    json document = waitCurrent([](const json& d) { return d["groups"][0]["status"] == "RUNNING"; });
    EXPECT_EQ(document["devices"][0]["result"], "RUNNING");
    EXPECT_EQ(document["devices"][0]["upgradeNo"], 100);

    service.onTaskState(
        taskView(100, {"dev-1"}, {{"dev-1", "SUCCESS"}}, false, E_RolloutTaskStatus::SUCCESS));
    ASSERT_TRUE(driver.waitStarted(2));
    EXPECT_EQ(driver.previews()[1].upgradeId, "site_g2");
    EXPECT_EQ(driver.previews()[1].targets.size(), 2u);
    service.onTaskState(taskView(101, {"dev-2", "dev-3"}, {{"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}}, false,
                                 E_RolloutTaskStatus::SUCCESS));
    ASSERT_TRUE(waitUntil([&] { return json::parse(service.currentJson())["active"] == false; }));
    EXPECT_FALSE(service.holdsSite());
    const json list = json::parse(service.listJson());
    ASSERT_EQ(list["rollouts"].size(), 1u);
    const json& finished = list["rollouts"][0];
    EXPECT_EQ(finished["status"], "SUCCESS");
    EXPECT_EQ(finished["successCount"], 3);
    EXPECT_EQ(finished["currentGroupNo"], 0);
    EXPECT_GT(finished["finishedAt"].get<std::int64_t>(), 0);
    EXPECT_EQ(finished["groups"][1]["upgradeNos"], json::array({101}));
    // Every change went out as an event, the last one the final document.
    ASSERT_TRUE(
        waitUntil([&] { return !eventsSoFar().empty() && eventsSoFar().back()["status"] == "SUCCESS"; }));
    EXPECT_EQ(eventsSoFar().front()["status"], "READY");
}

TEST_F(RolloutServiceTest, ATakenTaskNameIsPassedOverAndAChangedFileHaltsUntilResumed)
{
    std::atomic<int> answers{0};
    driver.previewAnswer = [&answers](const S_RolloutTaskRequest& request)
    {
        S_RolloutPreviewResult result;
        const int answer = answers++;
        if (answer == 0)
        {
            result.outcome = E_RolloutPreviewOutcome::UPGRADE_ID_TAKEN;
            result.error = "UPGRADE_ID_ALREADY_EXISTS";
        }
        else if (answer == 1)
        {
            result.outcome = E_RolloutPreviewOutcome::FILE_CHANGED;
            result.error =
                "Firmware file changed since the rollout was created: " + request.files[0].filePath;
        }
        else
        {
            result.outcome = E_RolloutPreviewOutcome::PREVIEWED;
            result.upgradeNo = 300;
        }
        return result;
    };
    const std::uint32_t rolloutNo = create(makePlan(2));
    operate(rolloutNo, E_RolloutOperation::START);
    const json halted = waitCurrent([](const json& d) { return d["status"] == "HALTED"; });
    EXPECT_EQ(halted["reason"], "Firmware file changed since the rollout was created: /firmware/emu.bin");
    EXPECT_EQ(halted["groups"][0]["status"], "PENDING");
    EXPECT_EQ(halted["devices"][0]["result"], "PENDING");
    ASSERT_EQ(driver.previews().size(), 2u);
    EXPECT_EQ(driver.previews()[0].upgradeId, "site_g1");
    EXPECT_EQ(driver.previews()[1].upgradeId, "site_g1_2");
    EXPECT_TRUE(driver.started().empty());
    EXPECT_FALSE(service.holdsSite());

    // Resume checks the files again.
    operate(rolloutNo, E_RolloutOperation::RESUME);
    ASSERT_TRUE(driver.waitStarted(1));
    EXPECT_EQ(driver.started(), std::vector<std::uint32_t>{300});
}

TEST_F(RolloutServiceTest, TheThresholdAbortsTheRunningTaskOnce)
{
    S_RolloutPolicy policy;
    policy.maxFailedDevices = 1;
    const std::uint32_t rolloutNo = create(makePlan(3, policy));
    operate(rolloutNo, E_RolloutOperation::START);
    ASSERT_TRUE(driver.waitStarted(1));
    const std::vector<std::string> all = {"dev-1", "dev-2", "dev-3"};
    service.onTaskState(taskView(100, all, {{"dev-2", "FAILED"}}, true));
    ASSERT_TRUE(driver.waitAborted(1));
    EXPECT_EQ(driver.aborted(), std::vector<std::uint32_t>{100});
    // Later states of the aborting task ask nothing more.
    service.onTaskState(
        taskView(100, all, {{"dev-2", "FAILED"}, {"dev-3", "ABORTED"}}, true, E_RolloutTaskStatus::ABORTING));
    service.onTaskState(taskView(100, all, {{"dev-1", "SUCCESS"}, {"dev-2", "FAILED"}, {"dev-3", "ABORTED"}},
                                 false, E_RolloutTaskStatus::FAILED));
    const json halted = waitCurrent([](const json& d) { return d["status"] == "HALTED"; });
    EXPECT_EQ(halted["groups"][0]["status"], "FAILED");
    EXPECT_EQ(halted["failedCount"], 1);
    EXPECT_EQ(halted["abortedCount"], 1);
    EXPECT_EQ(halted["devices"][1]["error"], "等待文件分片确认连续无响应超时");
    EXPECT_EQ(driver.aborted().size(), 1u);
    EXPECT_EQ(driver.started().size(), 1u);
}

TEST_F(RolloutServiceTest, OnlyTheRolloutTheSiteHoldPausedResumesWhenTheHoldEnds)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    const std::uint32_t rolloutNo = create(makePlan(2, policy));
    operate(rolloutNo, E_RolloutOperation::START);
    ASSERT_TRUE(driver.waitStarted(1));

    // Paused by an operator: a hold coming and going leaves it paused.
    operate(rolloutNo, E_RolloutOperation::PAUSE);
    service.setSiteHeld(true, "ems: dispatch");
    service.setSiteHeld(false, "");
    EXPECT_EQ(current()["status"], "PAUSED");
    EXPECT_EQ(current()["reason"], "Paused by an operator");

    // Running: the hold pauses it, the abort of its task leaves it paused (not halted), and the
    // end of the hold runs the group again.
    operate(rolloutNo, E_RolloutOperation::RESUME);
    service.setSiteHeld(true, "ems: dispatch");
    EXPECT_EQ(current()["status"], "PAUSED");
    EXPECT_EQ(current()["reason"], "Site held: ems: dispatch");
    service.onOperatorAbort(100);
    service.onTaskState(
        taskView(100, {"dev-1"}, {{"dev-1", "ABORTED"}}, false, E_RolloutTaskStatus::ABORTED));
    const json held = waitCurrent([](const json& d) { return d["groups"][0]["status"] == "ABORTED"; });
    EXPECT_EQ(held["status"], "PAUSED");
    EXPECT_EQ(driver.started().size(), 1u);

    service.setSiteHeld(false, "");
    ASSERT_TRUE(driver.waitStarted(2));
    EXPECT_EQ(driver.previews()[1].targets[0].nodeId, "dev-1");
    EXPECT_EQ(current()["status"], "RUNNING");
    EXPECT_EQ(current()["reason"], "");
}

TEST_F(RolloutServiceTest, AfterARestartOnlyThePauseTheSiteHoldMadeEndsWithTheHold)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    const std::uint32_t rolloutNo = create(makePlan(2, policy));
    operate(rolloutNo, E_RolloutOperation::START);
    ASSERT_TRUE(driver.waitStarted(1));
    service.setSiteHeld(true, "ems: dispatch");
    service.onTaskState(
        taskView(100, {"dev-1"}, {{"dev-1", "ABORTED"}}, false, E_RolloutTaskStatus::ABORTED));
    waitCurrent([](const json& d) { return d["groups"][0]["status"] == "ABORTED"; });
    service.stop();

    const auto restart = [this](CRecordingDriver& restartedDriver)
    {
        auto restarted = std::make_unique<CRolloutService>();
        std::string error;
        EXPECT_TRUE(restarted->open(directory / "upgrade-history.db", error)) << error;
        restarted->setSiteHeld(false, "");  // the hold ended while the backend was down
        restarted->start(restartedDriver, [](const std::string&) {});
        return restarted;
    };
    const auto statusOf = [](const CRolloutService& restarted)
    { return json::parse(restarted.currentJson())["rollout"]; };

    // The hold's pause: the rollout runs the aborted group again by itself.
    CRecordingDriver resumedDriver;
    auto resumed = restart(resumedDriver);
    ASSERT_TRUE(resumedDriver.waitStarted(1));
    EXPECT_EQ(resumedDriver.previews()[0].targets[0].nodeId, "dev-1");
    EXPECT_EQ(statusOf(*resumed)["status"], "RUNNING");
    resumed->stop();

    // A restart's pause of the running rollout is the operators' to end, holds or not.
    CRecordingDriver pausedDriver;
    auto paused = restart(pausedDriver);
    EXPECT_EQ(statusOf(*paused)["reason"], kRolloutRestartReason);
    paused->setSiteHeld(true, "ems: dispatch");
    paused->setSiteHeld(false, "");
    EXPECT_EQ(statusOf(*paused)["status"], "PAUSED");
    EXPECT_EQ(statusOf(*paused)["reason"], kRolloutRestartReason);
    paused->stop();
    EXPECT_TRUE(pausedDriver.started().empty());
}

TEST_F(RolloutServiceTest, AHoldBetweenAPreviewAndItsStartPausesTheRolloutUntilTheHoldEnds)
{
    driver.startSucceeds = false;
    driver.beforeStart = [this] { service.setSiteHeld(true, "ems: dispatch"); };
    const std::uint32_t rolloutNo = create(makePlan(2));
    operate(rolloutNo, E_RolloutOperation::START);
    // The group is PENDING from the start, and the hold pauses the rollout a moment before the
    // refused start puts the previewed devices back: wait for the end of both.
    const json paused = waitCurrent(
        [](const json& d) {
            return d["status"] == "HALTED" ||
                   (d["status"] == "PAUSED" && d["devices"][0]["result"] != "RUNNING");
        });
    EXPECT_EQ(paused["status"], "PAUSED");
    EXPECT_EQ(paused["reason"], "Site held: ems: dispatch");
    EXPECT_EQ(paused["devices"][0]["result"], "PENDING");

    driver.startSucceeds = true;
    service.setSiteHeld(false, "");
    ASSERT_TRUE(driver.waitStarted(1));
    EXPECT_EQ(driver.previews().size(), 2u);
    EXPECT_EQ(current()["status"], "RUNNING");
}

TEST_F(RolloutServiceTest, AScheduledRolloutWhoseTimeComesWhileHeldStartsWhenTheHoldEnds)
{
    std::atomic<std::int64_t> clock{1'000'000};
    CRecordingDriver scheduledDriver;
    CRolloutService scheduled([&clock] { return clock.load(); });
    std::string error;
    ASSERT_TRUE(scheduled.open(directory / "scheduled.db", error)) << error;
    scheduled.start(scheduledDriver, [](const std::string&) {});
    S_RolloutPolicy policy;
    policy.startAt = 1'060'000;
    std::string document;
    ASSERT_TRUE(scheduled.create(makePlan(1, policy), document, error)) << error;
    ASSERT_EQ(scheduled.operate(1, E_RolloutOperation::START, false, document, error),
              E_RolloutOperationResult::DONE)
        << error;
    const auto status = [&scheduled] { return json::parse(scheduled.currentJson())["rollout"]["status"]; };
    EXPECT_EQ(status(), "SCHEDULED");
    // The thread has looked at the start time (it looks again at least every second).
    ASSERT_TRUE(waitUntil([&] { return scheduledDriver.passes() >= 2; }));

    scheduled.setSiteHeld(true, "ems: dispatch");
    clock = 1'070'000;
    const std::size_t passes = scheduledDriver.passes();
    ASSERT_TRUE(waitUntil([&] { return scheduledDriver.passes() > passes; }));
    EXPECT_EQ(status(), "SCHEDULED");
    EXPECT_TRUE(scheduledDriver.previews().empty());

    scheduled.setSiteHeld(false, "");
    ASSERT_TRUE(scheduledDriver.waitStarted(1));
    EXPECT_EQ(status(), "RUNNING");
    scheduled.stop();
}

TEST_F(RolloutServiceTest, ARefusedStartHaltsWithTheDevicesAsTheyWere)
{
    driver.startSucceeds = false;
    const std::uint32_t rolloutNo = create(makePlan(2));
    operate(rolloutNo, E_RolloutOperation::START);
    const json halted = waitCurrent([](const json& d) { return d["status"] == "HALTED"; });
    EXPECT_EQ(halted["reason"], "Upgrade task 100 cannot be started: Another upgrade task is active");
    EXPECT_EQ(halted["groups"][0]["status"], "PENDING");
    EXPECT_EQ(halted["groups"][0]["upgradeNos"], json::array());
    EXPECT_EQ(halted["devices"][0]["result"], "PENDING");
    EXPECT_EQ(halted["devices"][0]["upgradeNo"], 0);
}

TEST_F(RolloutServiceTest, OperationsOnUnknownNumbersAndUsedIdentifiersAreRefused)
{
    const std::uint32_t rolloutNo = create(makePlan(1));
    const json missing =
        operate(rolloutNo + 1, E_RolloutOperation::START, E_RolloutOperationResult::NOT_FOUND);
    EXPECT_EQ(missing, "Rollout " + std::to_string(rolloutNo + 1) + " does not exist");
    std::string document;
    std::string error;
    EXPECT_FALSE(service.create(makePlan(2), document, error));
    EXPECT_EQ(error, "rolloutId is already used by another rollout: site");
    EXPECT_TRUE(service.rolloutIdExists("site"));
    // A second rollout cannot start while the first is open.
    const std::uint32_t second = create(makePlan(1, {}, "other"));
    operate(rolloutNo, E_RolloutOperation::PAUSE, E_RolloutOperationResult::REFUSED);
    operate(rolloutNo, E_RolloutOperation::START);
    operate(rolloutNo, E_RolloutOperation::PAUSE);
    const json refused = operate(second, E_RolloutOperation::START, E_RolloutOperationResult::REFUSED);
    EXPECT_EQ(refused,
              "Rollout " + std::to_string(rolloutNo) + " is PAUSED; only one rollout can be open at a time");
}

TEST_F(RolloutServiceTest, OnlyFinishedRolloutsAreDeleted)
{
    const std::uint32_t open = create(makePlan(1));
    const std::uint32_t cancelled = create(makePlan(1, {}, "gone"));
    operate(cancelled, E_RolloutOperation::CANCEL);
    // Only the rollout still to run keeps its files' bytes needed.
    std::array<std::uint8_t, 32> digest{};
    digest.fill(0xaa);
    EXPECT_EQ(service.unfinishedRolloutFileDigests(), (std::vector<std::array<std::uint8_t, 32>>{digest}));
    std::uint32_t deleted = 0;
    std::string error;
    ASSERT_TRUE(service.deleteFinished(deleted, error)) << error;
    EXPECT_EQ(deleted, 1u);
    const json list = json::parse(service.listJson());
    ASSERT_EQ(list["rollouts"].size(), 1u);
    EXPECT_EQ(list["rollouts"][0]["rolloutNo"], open);
    EXPECT_FALSE(service.rolloutIdExists("gone"));
}

TEST_F(RolloutServiceTest, AnEndedTaskThatCannotBeStoredHaltsTheRolloutUntilAResumeIsStored)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    const std::uint32_t rolloutNo = create(makePlan(3, policy));
    operate(rolloutNo, E_RolloutOperation::START);
    ASSERT_TRUE(driver.waitStarted(1));
    failStateWrites(true);
    service.onTaskState(
        taskView(100, {"dev-1"}, {{"dev-1", "SUCCESS"}}, false, E_RolloutTaskStatus::SUCCESS));
    const json halted = waitCurrent([](const json& d) { return d["status"] == "HALTED"; });
    const std::string reason = halted["reason"];
    EXPECT_EQ(reason.rfind("The rollout could not be stored: ", 0), 0u) << reason;
    EXPECT_NE(reason.find("database or disk is full"), std::string::npos) << reason;
    // What happened stays known in memory; nothing goes on from it.
    EXPECT_EQ(halted["groups"][0]["status"], "SUCCESS");
    EXPECT_EQ(halted["currentGroupNo"], 2);
    EXPECT_GE(service.storeFailures(), 1u);
    const json refused = operate(rolloutNo, E_RolloutOperation::RESUME, E_RolloutOperationResult::FAILED);
    EXPECT_EQ(refused.get<std::string>().rfind("The rollout could not be stored: ", 0), 0u) << refused;
    EXPECT_EQ(current()["status"], "HALTED");

    failStateWrites(false);
    operate(rolloutNo, E_RolloutOperation::RESUME);
    ASSERT_TRUE(driver.waitStarted(2));
    ASSERT_EQ(driver.previews().size(), 2u);
    EXPECT_EQ(driver.previews()[1].upgradeId, "site_g2");
    service.stop();
    // The stored rollout knows the first group's task ran (a restart would not run it again).
    CRolloutService reopened;
    std::string error;
    ASSERT_TRUE(reopened.open(directory / "upgrade-history.db", error)) << error;
    const json stored = json::parse(reopened.listJson())["rollouts"][0];
    EXPECT_EQ(stored["groups"][0]["status"], "SUCCESS");
    EXPECT_EQ(stored["groups"][1]["upgradeNos"], json::array({101}));
}

TEST_F(RolloutServiceTest, APreviewedTaskIsNotStartedWhenTheRolloutNamingItCannotBeStored)
{
    driver.previewAnswer = [this](const S_RolloutTaskRequest&)
    {
        failStateWrites(true);
        S_RolloutPreviewResult result;
        result.outcome = E_RolloutPreviewOutcome::PREVIEWED;
        result.upgradeNo = 300;
        return result;
    };
    const std::uint32_t rolloutNo = create(makePlan(2));
    operate(rolloutNo, E_RolloutOperation::START);
    const json halted = waitCurrent([](const json& d) { return d["status"] == "HALTED"; });
    EXPECT_EQ(halted["reason"].get<std::string>().rfind("The rollout could not be stored: ", 0), 0u);
    EXPECT_EQ(halted["groups"][0]["status"], "PENDING");
    EXPECT_EQ(halted["groups"][0]["upgradeNos"], json::array());
    EXPECT_EQ(halted["devices"][0]["result"], "PENDING");
    EXPECT_EQ(halted["devices"][0]["upgradeNo"], 0);
    EXPECT_TRUE(driver.started().empty());
    EXPECT_EQ(service.openRolloutTaskNos(), std::vector<std::uint32_t>{});
}

TEST_F(RolloutServiceTest, AnOpenRolloutNamesItsTasksAndTheNewestStatusIsKnown)
{
    EXPECT_FALSE(service.newestRolloutStatus().has_value());
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    policy.manualAdvance = true;
    const std::uint32_t rolloutNo = create(makePlan(2, policy));
    operate(rolloutNo, E_RolloutOperation::START);
    ASSERT_TRUE(driver.waitStarted(1));
    service.onTaskState(
        taskView(100, {"dev-1"}, {{"dev-1", "SUCCESS"}}, false, E_RolloutTaskStatus::SUCCESS));
    waitCurrent([](const json& d) { return d["status"] == "PAUSED"; });
    EXPECT_TRUE(service.hasOpenRollout());
    EXPECT_EQ(service.openRolloutTaskNos(), std::vector<std::uint32_t>{100});
    EXPECT_EQ(service.newestRolloutStatus(), E_RolloutStatus::PAUSED);
    operate(rolloutNo, E_RolloutOperation::CANCEL);
    EXPECT_FALSE(service.hasOpenRollout());
    EXPECT_TRUE(service.openRolloutTaskNos().empty());
    create(makePlan(1, {}, "next"));
    EXPECT_EQ(service.newestRolloutStatus(), E_RolloutStatus::READY);
}

}  // namespace
}  // namespace ota::test
