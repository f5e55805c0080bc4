// A group's soak in the rollout state machine: the gate waits for the soak's end, soak failures
// count against maxFailedDevices and the success share and are never retried, a restart makes the
// group soak again from the start, and the soak is kept in the stored state.
#include "rollout/rollout_soak.h"
#include "rollout/rollout_document.h"
#include "rollout/rollout_gates.h"
#include "rollout/rollout_machine.h"
#include "rollout_test_support.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;

const std::vector<std::string> kSoakDevices = {"dev-1", "dev-2", "dev-3", "dev-4"};
constexpr std::int64_t kSoakNow = 1'000'000;

// A RUNNING rollout of four devices in one group whose task just ended with every device SUCCESS.
S_Rollout soakingRollout(S_RolloutPolicy policy)
{
    S_Rollout rollout = newRollout(1, sharedPlan(kSoakDevices.size(), std::move(policy)), 0);
    std::string refusal;
    EXPECT_TRUE(applyRolloutOperation(rollout, E_RolloutOperation::START, {kSoakNow}, refusal)) << refusal;
    const S_RolloutStep step = nextRolloutStep(rollout, kSoakNow);
    S_RolloutPreviewResult preview;
    preview.outcome = E_RolloutPreviewOutcome::PREVIEWED;
    preview.upgradeNo = 7;
    applyRolloutPreview(rollout, step, preview);
    std::map<std::string, std::string> results;
    for (const std::string& nodeId : kSoakDevices)
    {
        results[nodeId] = "SUCCESS";
    }
    applyRolloutTaskView(rollout, taskView(7, kSoakDevices, results, false, E_RolloutTaskStatus::SUCCESS),
                         kSoakNow);
    return rollout;
}

S_RolloutSoakFinding finding(const std::string& nodeId, E_RolloutSoakFailure failure)
{
    S_RolloutSoakFinding found;
    found.nodeId = nodeId;
    found.failure = failure;
    found.reasonName = "FLASH_FAILED";
    found.version = "1.0.0";
    found.componentTypeId = "EMU";
    found.componentIndex = 1;
    return found;
}

TEST(RolloutSoakTest, TheGateWaitsForTheSoakAndCountsItsFailures)
{
    struct S_Case
    {
        std::uint32_t successPercent;
        std::uint32_t maxFailedDevices;
        std::vector<S_RolloutSoakFinding> findings;
        E_RolloutStatus status;
        E_RolloutGroupStatus group;
    };
    const std::vector<S_Case> cases = {
        {50, 3, {}, E_RolloutStatus::SUCCESS, E_RolloutGroupStatus::SUCCESS},
        {50,
         3,
         {finding("dev-1", E_RolloutSoakFailure::FAULT)},
         E_RolloutStatus::FAILED,
         E_RolloutGroupStatus::SUCCESS},
        {100,
         3,
         {finding("dev-2", E_RolloutSoakFailure::VERSION)},
         E_RolloutStatus::HALTED,
         E_RolloutGroupStatus::FAILED},
        {50,
         2,
         {finding("dev-1", E_RolloutSoakFailure::NOT_CONNECTED),
          finding("dev-3", E_RolloutSoakFailure::FAULT)},
         E_RolloutStatus::HALTED,
         E_RolloutGroupStatus::FAILED},
    };
    for (const S_Case& soakCase : cases)
    {
        S_RolloutPolicy policy;
        policy.soakSeconds = 5;
        policy.successPercent = soakCase.successPercent;
        policy.maxFailedDevices = soakCase.maxFailedDevices;
        S_Rollout rollout = soakingRollout(policy);
        ASSERT_EQ(rollout.groups[0].status, E_RolloutGroupStatus::SOAKING);
        EXPECT_EQ(rollout.soak.endsAt, kSoakNow + 5000);
        EXPECT_EQ(nextRolloutStep(rollout, kSoakNow + 60000).kind, E_RolloutStepKind::NONE);
        EXPECT_EQ(rollout.status, E_RolloutStatus::RUNNING);
        const std::vector<S_RolloutSoakDevice> watched = rolloutSoakDevices(rollout);
        ASSERT_EQ(watched.size(), kSoakDevices.size());
        EXPECT_EQ(watched[0].components, (std::vector<S_RolloutSoakComponent>{{"EMU", 1, "2.0.0"}}));

        applyRolloutSoakEnd(rollout, soakCase.findings);
        nextRolloutStep(rollout, kSoakNow + 60000);
        EXPECT_EQ(rollout.status, soakCase.status) << rollout.reason;
        EXPECT_EQ(rollout.groups[0].status, soakCase.group);
        for (const S_RolloutSoakFinding& failed : soakCase.findings)
        {
            const auto device =
                std::find_if(rollout.devices.begin(), rollout.devices.end(),
                             [&](const S_RolloutDevice& d) { return d.nodeId == failed.nodeId; });
            EXPECT_EQ(device->result, E_RolloutDeviceResult::FAILED);
            EXPECT_EQ(device->error, soakFailureText(failed));
            EXPECT_FALSE(retryEligible(*device));
        }
    }
}

TEST(RolloutSoakTest, ARestartSoaksTheGroupAgainOnceResumedAndCancelEndsTheSoak)
{
    S_RolloutPolicy policy;
    policy.soakSeconds = 3;
    S_Rollout rollout = soakingRollout(policy);

    // Kept in the stored state.
    S_Rollout stored;
    stored.plan = rollout.plan;
    std::string error;
    ASSERT_TRUE(rolloutStateFromJson(rolloutStateToJson(rollout), stored, error)) << error;
    stored.rolloutNo = rollout.rolloutNo;
    EXPECT_EQ(stored, rollout);

    recoverRolloutAfterRestart(stored, std::nullopt, kSoakNow + 1000);
    EXPECT_EQ(stored.status, E_RolloutStatus::PAUSED);
    EXPECT_EQ(stored.reason, kRolloutRestartReason);
    EXPECT_EQ(stored.groups[0].status, E_RolloutGroupStatus::SOAKING);
    EXPECT_FALSE(restartPendingSoak(stored, kSoakNow + 2000));  // not before a resume
    std::string refusal;
    ASSERT_TRUE(applyRolloutOperation(stored, E_RolloutOperation::RESUME, {kSoakNow + 3000}, refusal))
        << refusal;
    ASSERT_TRUE(restartPendingSoak(stored, kSoakNow + 4000));
    EXPECT_EQ(stored.soak.endsAt, kSoakNow + 4000 + 3000);

    ASSERT_TRUE(applyRolloutOperation(stored, E_RolloutOperation::CANCEL, {kSoakNow + 5000}, refusal))
        << refusal;
    EXPECT_EQ(stored.status, E_RolloutStatus::CANCELLED);
    EXPECT_EQ(stored.groups[0].status, E_RolloutGroupStatus::ABORTED);
    EXPECT_EQ(stored.soak.groupNo, 0u);
}

}  // namespace
}  // namespace ota::test
