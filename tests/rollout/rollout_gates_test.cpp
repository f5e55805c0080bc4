// The rollout's gates and operations as decisions of the state machine: thresholds, success
// shares, skipped devices, the window, manual advance, retry eligibility, aborts and cancels.
#include "rollout/rollout_gates.h"
#include "rollout/rollout_machine.h"
#include "rollout/rollout_plan.h"
#include "rollout/rollout_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ota::test
{
namespace
{

using namespace ota::backend;

constexpr std::int64_t kNow = 1'700'000'000'000;

S_Rollout startedRollout(std::size_t devices, const S_RolloutPolicy& policy)
{
    S_Rollout rollout = newRollout(1, sharedPlan(devices, policy), kNow - 1000);
    std::string refusal;
    EXPECT_TRUE(
        applyRolloutOperation(rollout, E_RolloutOperation::START, S_RolloutOperationContext{kNow}, refusal))
        << refusal;
    return rollout;
}

// The next step must launch; its preview is answered with the given task (refusing some devices).
S_RolloutStep launch(S_Rollout& rollout, std::uint32_t upgradeNo,
                     const std::vector<std::pair<std::string, std::string>>& refused = {},
                     std::int64_t now = kNow)
{
    const S_RolloutStep step = nextRolloutStep(rollout, now);
    EXPECT_TRUE(step.kind == E_RolloutStepKind::LAUNCH_GROUP || step.kind == E_RolloutStepKind::LAUNCH_RETRY)
        << rolloutStatusName(rollout.status) << " " << rollout.reason;
    S_RolloutPreviewResult result;
    result.outcome = refused.size() == step.nodeIds.size() ? E_RolloutPreviewOutcome::NO_DEVICE
                                                           : E_RolloutPreviewOutcome::PREVIEWED;
    result.upgradeNo = upgradeNo;
    result.refusedDevices = refused;
    applyRolloutPreview(rollout, step, result);
    return step;
}

std::vector<std::string> nodes(std::initializer_list<int> numbers)
{
    std::vector<std::string> names;
    for (const int number : numbers)
    {
        names.push_back("dev-" + std::to_string(number));
    }
    return names;
}

TEST(RolloutGatesTest, ThresholdReachedMidGroupAbortsTheTaskAndHaltsOnceItEnded)
{
    S_RolloutPolicy policy;
    policy.maxFailedDevices = 2;
    S_Rollout rollout = startedRollout(10, policy);
    const S_RolloutStep step = launch(rollout, 500);
    ASSERT_EQ(step.nodeIds.size(), 10u);
    EXPECT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::RUNNING);

    // One failure is below the threshold: the task goes on.
    EXPECT_TRUE(
        applyRolloutTaskView(rollout, taskView(500, step.nodeIds, {{"dev-1", "FAILED"}}, true), kNow));
    EXPECT_FALSE(rolloutAbortPending(rollout));
    // The second reaches it: the task is to be aborted at once, the rollout still RUNNING.
    applyRolloutTaskView(rollout,
                         taskView(500, step.nodeIds, {{"dev-1", "FAILED"}, {"dev-4", "FAILED"}}, true), kNow);
    EXPECT_TRUE(rolloutAbortPending(rollout));
    EXPECT_EQ(rollout.status, E_RolloutStatus::RUNNING);
    // States of other tasks change nothing.
    EXPECT_FALSE(
        applyRolloutTaskView(rollout, taskView(499, step.nodeIds, {{"dev-2", "FAILED"}}, false), kNow));

    std::map<std::string, std::string> final = {
        {"dev-1", "FAILED"}, {"dev-4", "FAILED"}, {"dev-2", "SUCCESS"}};
    for (int i : {3, 5, 6, 7, 8, 9, 10})
    {
        final["dev-" + std::to_string(i)] = "ABORTED";
    }
    applyRolloutTaskView(rollout, taskView(500, step.nodeIds, final, false, E_RolloutTaskStatus::FAILED),
                         kNow);
    EXPECT_EQ(rollout.status, E_RolloutStatus::HALTED);
    EXPECT_NE(rollout.reason.find("maxFailedDevices 2"), std::string::npos) << rollout.reason;
    EXPECT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::FAILED);
    EXPECT_EQ(rollout.activeTask.upgradeNo, 0u);
    const S_RolloutCounts counts = countRolloutDevices(rollout);
    EXPECT_EQ(counts.failedCount, 2u);
    EXPECT_EQ(counts.abortedCount, 7u);
    EXPECT_EQ(counts.successCount, 1u);
    EXPECT_EQ(nextRolloutStep(rollout, kNow).kind, E_RolloutStepKind::NONE);
}

TEST(RolloutGatesTest, AGroupPassesOnItsSuccessShareOfAllItsDevicesSkippedOnesIncluded)
{
    struct S_Row
    {
        std::uint32_t successPercent;
        std::map<std::string, std::string> results;  // of dev-1..dev-4; dev-4 may be skipped instead
        bool skipFourth;
        bool passes;
    };
    const std::vector<S_Row> rows = {
        {75,
         {{"dev-1", "SUCCESS"}, {"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}, {"dev-4", "FAILED"}},
         false,
         true},
        {76,
         {{"dev-1", "SUCCESS"}, {"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}, {"dev-4", "FAILED"}},
         false,
         false},
        {100,
         {{"dev-1", "SUCCESS"}, {"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}, {"dev-4", "SUCCESS"}},
         false,
         true},
        {75, {{"dev-1", "SUCCESS"}, {"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}}, true, true},
        {80, {{"dev-1", "SUCCESS"}, {"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}}, true, false},
        {1, {{"dev-1", "FAILED"}, {"dev-2", "FAILED"}, {"dev-3", "FAILED"}}, true, false},
    };
    for (const S_Row& row : rows)
    {
        S_RolloutPolicy policy;
        policy.groupSizes = {4};
        policy.successPercent = row.successPercent;
        policy.maxFailedDevices = 10;
        S_Rollout rollout = startedRollout(5, policy);
        std::vector<std::pair<std::string, std::string>> refused;
        if (row.skipFourth)
        {
            refused.emplace_back("dev-4", "Device is not connected: dev-4");
        }
        const S_RolloutStep step = launch(rollout, 600, refused);
        applyRolloutTaskView(
            rollout, taskView(600, step.nodeIds, row.results, false, E_RolloutTaskStatus::SUCCESS), kNow);
        SCOPED_TRACE(std::to_string(row.successPercent) + (row.skipFourth ? " skipped" : ""));
        EXPECT_EQ(rollout.groups[0].status,
                  row.passes ? E_RolloutGroupStatus::SUCCESS : E_RolloutGroupStatus::FAILED);
        EXPECT_EQ(rollout.status, row.passes ? E_RolloutStatus::RUNNING : E_RolloutStatus::HALTED)
            << rollout.reason;
        EXPECT_EQ(rollout.currentGroupNo, row.passes ? 2u : 1u);
        if (row.skipFourth)
        {
            EXPECT_EQ(rollout.devices[3].result, E_RolloutDeviceResult::SKIPPED);
            EXPECT_EQ(rollout.devices[3].error, "Device is not connected: dev-4");
        }
        // Skipped devices never count as failed devices.
        const auto failures = std::count_if(row.results.begin(), row.results.end(),
                                            [](const auto& entry) { return entry.second == "FAILED"; });
        EXPECT_EQ(rollout.failedSinceResume, static_cast<std::uint32_t>(failures));
    }
}

TEST(RolloutGatesTest, AGroupWhoseEveryDeviceIsRefusedRunsNoTaskAndFailsItsGate)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {2};
    S_Rollout rollout = startedRollout(3, policy);
    launch(rollout, 0,
           {{"dev-1", "Device is not connected: dev-1"}, {"dev-2", "Device is not ready: dev-2"}});
    EXPECT_EQ(rollout.activeTask.upgradeNo, 0u);
    EXPECT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::FAILED);
    EXPECT_TRUE(rollout.groups[0].upgradeNos.empty());
    EXPECT_EQ(rollout.status, E_RolloutStatus::HALTED);
    EXPECT_EQ(rollout.devices[2].result, E_RolloutDeviceResult::PENDING);  // group 2 never started
    EXPECT_EQ(rollout.groups[1].status, E_RolloutGroupStatus::PENDING);
}

TEST(RolloutGatesTest, NothingStartsAfterTheWindowUnlessResumedAfterIt)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    policy.windowEndAt = kNow + 1000;
    S_Rollout rollout = startedRollout(2, policy);
    const S_RolloutStep first = launch(rollout, 700);
    applyRolloutTaskView(
        rollout, taskView(700, first.nodeIds, {{"dev-1", "SUCCESS"}}, false, E_RolloutTaskStatus::SUCCESS),
        kNow + 999);
    EXPECT_EQ(rollout.status, E_RolloutStatus::RUNNING);
    // Group 2 would start after the window's end: the rollout pauses instead.
    EXPECT_EQ(nextRolloutStep(rollout, kNow + 1000).kind, E_RolloutStepKind::NONE);
    EXPECT_EQ(rollout.status, E_RolloutStatus::PAUSED);
    EXPECT_NE(rollout.reason.find("maintenance window"), std::string::npos);
    EXPECT_EQ(rollout.groups[1].status, E_RolloutGroupStatus::PENDING);

    std::string refusal;
    ASSERT_TRUE(applyRolloutOperation(rollout, E_RolloutOperation::RESUME,
                                      S_RolloutOperationContext{kNow + 5000}, refusal));
    EXPECT_TRUE(rollout.windowWaived);
    const S_RolloutStep second = launch(rollout, 701, {}, kNow + 6000);
    EXPECT_EQ(second.groupNo, 2u);
}

TEST(RolloutGatesTest, RetryRoundsTakeDevicesThatFailedBeforeFlashingAndSkippedOnes)
{
    S_RolloutDevice device;
    device.result = E_RolloutDeviceResult::FAILED;
    EXPECT_TRUE(retryEligible(device));
    device.flashMayHaveStarted = true;
    EXPECT_FALSE(retryEligible(device));
    device.result = E_RolloutDeviceResult::SKIPPED;
    EXPECT_TRUE(retryEligible(device));
    for (const E_RolloutDeviceResult result :
         {E_RolloutDeviceResult::SUCCESS, E_RolloutDeviceResult::ABORTED, E_RolloutDeviceResult::PENDING})
    {
        device.result = result;
        device.flashMayHaveStarted = false;
        EXPECT_FALSE(retryEligible(device)) << rolloutDeviceResultName(result);
    }

    S_RolloutPolicy policy;
    policy.successPercent = 25;
    policy.maxFailedDevices = 10;
    policy.retryRounds = 2;
    S_Rollout rollout = startedRollout(4, policy);
    const S_RolloutStep group = launch(rollout, 800, {{"dev-3", "Device is not connected: dev-3"}});
    applyRolloutTaskView(rollout,
                         taskView(800, nodes({1, 2, 4}),
                                  {{"dev-1", "FAILED"}, {"dev-2", "FAILED_FLASHING"}, {"dev-4", "SUCCESS"}},
                                  false, E_RolloutTaskStatus::FAILED),
                         kNow);
    ASSERT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::SUCCESS);
    EXPECT_EQ(rollout.currentGroupNo, 0u);

    const S_RolloutStep round1 = launch(rollout, 801);
    EXPECT_EQ(round1.kind, E_RolloutStepKind::LAUNCH_RETRY);
    EXPECT_EQ(round1.nodeIds, nodes({1, 3}));
    applyRolloutTaskView(rollout,
                         taskView(801, round1.nodeIds, {{"dev-1", "SUCCESS"}, {"dev-3", "FAILED"}}, false,
                                  E_RolloutTaskStatus::FAILED),
                         kNow);
    const S_RolloutStep round2 = launch(rollout, 802);
    EXPECT_EQ(round2.round, 2u);
    EXPECT_EQ(round2.nodeIds, nodes({3}));
    applyRolloutTaskView(
        rollout, taskView(802, round2.nodeIds, {{"dev-3", "FAILED"}}, false, E_RolloutTaskStatus::FAILED),
        kNow + 10);
    // Rounds used up: the rollout ends FAILED, since two devices did not end SUCCESS.
    EXPECT_EQ(nextRolloutStep(rollout, kNow + 20).kind, E_RolloutStepKind::NONE);
    EXPECT_EQ(rollout.status, E_RolloutStatus::FAILED);
    EXPECT_EQ(rollout.reason, "2 of 4 devices did not end SUCCESS");
    EXPECT_EQ(rollout.finishedAt, kNow + 20);
    // Every task that ran a device of the group is listed in it.
    EXPECT_EQ(rollout.groups[0].upgradeNos, (std::vector<std::uint32_t>{800, 801, 802}));
    EXPECT_EQ(rollout.devices[0].upgradeNo, 801u);
    EXPECT_EQ(rollout.devices[1].upgradeNo, 800u);
}

TEST(RolloutGatesTest, ManualAdvanceWaitsAfterEveryPassedGroupButTheLast)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {1};
    policy.manualAdvance = true;
    S_Rollout rollout = startedRollout(3, policy);
    const S_RolloutStep canary = launch(rollout, 900);
    applyRolloutTaskView(
        rollout, taskView(900, canary.nodeIds, {{"dev-1", "SUCCESS"}}, false, E_RolloutTaskStatus::SUCCESS),
        kNow);
    EXPECT_EQ(rollout.status, E_RolloutStatus::PAUSED);
    EXPECT_EQ(rollout.reason, "Group 1 passed; resume to start group 2");
    EXPECT_EQ(rollout.currentGroupNo, 2u);
    EXPECT_EQ(nextRolloutStep(rollout, kNow).kind, E_RolloutStepKind::NONE);

    std::string refusal;
    ASSERT_TRUE(
        applyRolloutOperation(rollout, E_RolloutOperation::RESUME, S_RolloutOperationContext{kNow}, refusal));
    const S_RolloutStep rest = launch(rollout, 901);
    EXPECT_EQ(rest.nodeIds, nodes({2, 3}));
    applyRolloutTaskView(rollout,
                         taskView(901, rest.nodeIds, {{"dev-2", "SUCCESS"}, {"dev-3", "SUCCESS"}}, false,
                                  E_RolloutTaskStatus::SUCCESS),
                         kNow);
    EXPECT_EQ(rollout.status, E_RolloutStatus::RUNNING);
    EXPECT_EQ(nextRolloutStep(rollout, kNow + 5).kind, E_RolloutStepKind::NONE);
    EXPECT_EQ(rollout.status, E_RolloutStatus::SUCCESS);
    EXPECT_EQ(rollout.reason, "");
    EXPECT_EQ(rollout.currentGroupNo, 0u);
}

TEST(RolloutGatesTest, AbortsByOperatorsAndCancelsEndTheGroupAborted)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {2};
    {
        S_Rollout rollout = startedRollout(4, policy);
        const S_RolloutStep step = launch(rollout, 950);
        EXPECT_FALSE(noteOperatorAbort(rollout, 949));
        EXPECT_TRUE(noteOperatorAbort(rollout, 950));
        EXPECT_FALSE(rolloutAbortPending(rollout));  // the operator's abort is asked already
        applyRolloutTaskView(rollout,
                             taskView(950, step.nodeIds, {{"dev-1", "SUCCESS"}, {"dev-2", "ABORTED"}}, false,
                                      E_RolloutTaskStatus::ABORTED),
                             kNow);
        EXPECT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::ABORTED);
        EXPECT_EQ(rollout.status, E_RolloutStatus::HALTED);
        EXPECT_EQ(rollout.reason, "Upgrade task 950 of group 1 was aborted by an operator");
    }
    {
        S_Rollout rollout = startedRollout(4, policy);
        const S_RolloutStep step = launch(rollout, 960);
        std::string refusal;
        ASSERT_TRUE(applyRolloutOperation(rollout, E_RolloutOperation::CANCEL,
                                          S_RolloutOperationContext{kNow}, refusal));
        // Nothing starts meanwhile; the rollout is CANCELLED once its task has ended.
        EXPECT_TRUE(rolloutAbortPending(rollout));
        EXPECT_EQ(rollout.status, E_RolloutStatus::RUNNING);
        EXPECT_FALSE(applyRolloutOperation(rollout, E_RolloutOperation::PAUSE,
                                           S_RolloutOperationContext{kNow}, refusal));
        EXPECT_EQ(refusal, "Rollout 1 is being cancelled");
        applyRolloutTaskView(rollout,
                             taskView(960, step.nodeIds, {{"dev-1", "ABORTED"}, {"dev-2", "ABORTED"}}, false,
                                      E_RolloutTaskStatus::ABORTED),
                             kNow + 7);
        EXPECT_EQ(rollout.status, E_RolloutStatus::CANCELLED);
        EXPECT_EQ(rollout.finishedAt, kNow + 7);
        EXPECT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::ABORTED);
        EXPECT_EQ(rollout.groups[1].status, E_RolloutGroupStatus::PENDING);
        EXPECT_EQ(rollout.devices[3].result, E_RolloutDeviceResult::PENDING);
    }
    {
        // Without a task, a cancel is immediate.
        S_Rollout rollout = newRollout(1, sharedPlan(2, policy), kNow);
        std::string refusal;
        ASSERT_TRUE(applyRolloutOperation(rollout, E_RolloutOperation::CANCEL,
                                          S_RolloutOperationContext{kNow}, refusal));
        EXPECT_EQ(rollout.status, E_RolloutStatus::CANCELLED);
    }
}

TEST(RolloutGatesTest, ResumeRunsTheCurrentGroupsUnsuccessfulDevicesAgainWithAFreshFailureCount)
{
    S_RolloutPolicy policy;
    policy.groupSizes = {3};
    policy.maxFailedDevices = 1;
    S_Rollout rollout = startedRollout(4, policy);
    const S_RolloutStep step = launch(rollout, 1000);
    applyRolloutTaskView(
        rollout,
        taskView(1000, step.nodeIds, {{"dev-1", "SUCCESS"}, {"dev-2", "FAILED"}, {"dev-3", "ABORTED"}}, false,
                 E_RolloutTaskStatus::FAILED),
        kNow);
    ASSERT_EQ(rollout.status, E_RolloutStatus::HALTED);
    std::string refusal;
    ASSERT_TRUE(
        applyRolloutOperation(rollout, E_RolloutOperation::RESUME, S_RolloutOperationContext{kNow}, refusal));
    EXPECT_EQ(rollout.failedSinceResume, 0u);
    const S_RolloutStep again = launch(rollout, 1001);
    EXPECT_EQ(again.groupNo, 1u);
    EXPECT_EQ(again.nodeIds, nodes({2, 3}));
    EXPECT_EQ(rollout.groups[0].upgradeNos, (std::vector<std::uint32_t>{1000, 1001}));
}

TEST(RolloutGatesTest, OperationsAreRefusedInStatusesThatDoNotAllowThem)
{
    struct S_Row
    {
        const char* name;
        E_RolloutStatus status;
        E_RolloutOperation operation;
        S_RolloutOperationContext context;
        const char* refusal;
    };
    S_RolloutOperationContext taskRuns{kNow, true};
    S_RolloutOperationContext otherOpen{kNow, false, 9, E_RolloutStatus::PAUSED};
    const std::vector<S_Row> rows = {
        {"start twice",
         E_RolloutStatus::RUNNING,
         E_RolloutOperation::START,
         {kNow},
         "Rollout 1 is RUNNING; only a READY rollout can be started"},
        {"start beside an open rollout", E_RolloutStatus::READY, E_RolloutOperation::START, otherOpen,
         "Rollout 9 is PAUSED; only one rollout can be open at a time"},
        {"start while a task runs", E_RolloutStatus::READY, E_RolloutOperation::START, taskRuns,
         "An upgrade task is running; start the rollout when it has ended"},
        {"pause a ready rollout",
         E_RolloutStatus::READY,
         E_RolloutOperation::PAUSE,
         {kNow},
         "Rollout 1 is READY; only a RUNNING or SCHEDULED rollout can be paused"},
        {"resume a running rollout",
         E_RolloutStatus::RUNNING,
         E_RolloutOperation::RESUME,
         {kNow},
         "Rollout 1 is RUNNING; only a PAUSED or HALTED rollout can be resumed"},
        {"resume while another task runs", E_RolloutStatus::PAUSED, E_RolloutOperation::RESUME, taskRuns,
         "An upgrade task is running; resume the rollout when it has ended"},
        {"cancel a finished rollout",
         E_RolloutStatus::SUCCESS,
         E_RolloutOperation::CANCEL,
         {kNow},
         "Rollout 1 is already SUCCESS"},
    };
    for (const S_Row& row : rows)
    {
        S_Rollout rollout = newRollout(1, sharedPlan(2), kNow);
        rollout.status = row.status;
        const S_Rollout before = rollout;
        std::string refusal;
        EXPECT_FALSE(applyRolloutOperation(rollout, row.operation, row.context, refusal)) << row.name;
        EXPECT_EQ(refusal, row.refusal) << row.name;
        EXPECT_TRUE(rollout == before) << row.name;
    }
}

TEST(RolloutGatesTest, PauseAndResumeWaitWhileAGateAbortsTheGroupsTask)
{
    S_RolloutPolicy policy;
    policy.maxFailedDevices = 1;
    const std::vector<std::string> all = nodes({1, 2, 3});
    for (const bool pausedFirst : {false, true})
    {
        S_Rollout rollout = startedRollout(3, policy);
        launch(rollout, 100);
        std::string refusal;
        if (pausedFirst)
        {
            ASSERT_TRUE(applyRolloutOperation(rollout, E_RolloutOperation::PAUSE, {kNow, true}, refusal));
        }
        applyRolloutTaskView(rollout, taskView(100, all, {{"dev-1", "FAILED"}}, true), kNow);
        ASSERT_TRUE(rolloutAbortPending(rollout));
        const S_Rollout before = rollout;
        const E_RolloutOperation operation =
            pausedFirst ? E_RolloutOperation::RESUME : E_RolloutOperation::PAUSE;
        EXPECT_FALSE(applyRolloutOperation(rollout, operation, {kNow, true}, refusal)) << pausedFirst;
        EXPECT_EQ(refusal, "The rollout is stopping its group's task");
        EXPECT_TRUE(rollout == before);
        // The halt counts the failures that decided it.
        applyRolloutTaskView(
            rollout,
            taskView(100, all, {{"dev-1", "FAILED"}, {"dev-2", "ABORTED"}, {"dev-3", "ABORTED"}}, false,
                     E_RolloutTaskStatus::FAILED),
            kNow);
        EXPECT_EQ(rollout.status, E_RolloutStatus::HALTED);
        EXPECT_EQ(rollout.reason.rfind("1 device(s) failed", 0), 0u) << rollout.reason;
    }
}

TEST(RolloutGatesTest, AScheduledRolloutRunsAtItsStartTime)
{
    S_RolloutPolicy policy;
    policy.startAt = kNow + 60'000;
    S_Rollout rollout = newRollout(1, sharedPlan(1, policy), kNow);
    std::string refusal;
    ASSERT_TRUE(
        applyRolloutOperation(rollout, E_RolloutOperation::START, S_RolloutOperationContext{kNow}, refusal));
    EXPECT_EQ(rollout.status, E_RolloutStatus::SCHEDULED);
    EXPECT_EQ(rollout.startedAt, 0);
    const S_RolloutStep wait = nextRolloutStep(rollout, kNow + 59'999);
    EXPECT_EQ(wait.kind, E_RolloutStepKind::WAIT_UNTIL);
    EXPECT_EQ(wait.until, kNow + 60'000);
    const S_RolloutStep run = nextRolloutStep(rollout, kNow + 60'000);
    EXPECT_EQ(run.kind, E_RolloutStepKind::LAUNCH_GROUP);
    EXPECT_EQ(rollout.status, E_RolloutStatus::RUNNING);
    EXPECT_EQ(rollout.startedAt, kNow + 60'000);
}

}  // namespace
}  // namespace ota::test
