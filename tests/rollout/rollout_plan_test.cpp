// How a rollout's devices fall into groups, and which targets and files each task takes.
#include "rollout/rollout_plan.h"
#include "rollout/rollout_test_support.h"

#include <gtest/gtest.h>

namespace ota::test
{
namespace
{

using namespace ota::backend;

std::vector<std::string> devices(std::size_t count)
{
    std::vector<std::string> order;
    for (std::size_t i = 1; i <= count; ++i)
    {
        order.push_back("dev-" + std::to_string(i));
    }
    return order;
}

std::vector<std::size_t> sizesOf(const std::vector<S_RolloutGroup>& groups)
{
    std::vector<std::size_t> sizes;
    for (const S_RolloutGroup& group : groups)
    {
        sizes.push_back(group.nodeIds.size());
    }
    return sizes;
}

TEST(RolloutPlanTest, GroupSizesAreCutToTheDevicesAndTheRestFormsOneLastGroup)
{
    struct S_Row
    {
        std::size_t deviceCount;
        std::vector<std::uint32_t> groupSizes;
        std::vector<std::size_t> expected;
    };
    const std::vector<S_Row> rows = {
        {5, {}, {5}},             // no sizes: one group of everything
        {5, {1}, {1, 4}},         // a canary of one, then the rest
        {10, {1, 3}, {1, 3, 6}},  // leftovers form the last group
        {4, {1, 3}, {1, 3}},      // sizes use every device: no empty last group
        {4, {1, 10}, {1, 3}},     // a size beyond the devices is cut
        {3, {2, 5, 7}, {2, 1}},   // sizes after the devices ran out make no group
        {1, {1000}, {1}},
        {1000, {1, 10, 100}, {1, 10, 100, 889}},
    };
    for (const S_Row& row : rows)
    {
        const std::vector<S_RolloutGroup> groups =
            buildRolloutGroups(devices(row.deviceCount), row.groupSizes);
        EXPECT_EQ(sizesOf(groups), row.expected) << row.deviceCount << " devices";
        // Groups are numbered from 1 and keep the devices' order.
        std::vector<std::string> joined;
        for (std::size_t i = 0; i < groups.size(); ++i)
        {
            EXPECT_EQ(groups[i].groupNo, i + 1);
            EXPECT_EQ(groups[i].status, E_RolloutGroupStatus::PENDING);
            joined.insert(joined.end(), groups[i].nodeIds.begin(), groups[i].nodeIds.end());
        }
        EXPECT_EQ(joined, devices(row.deviceCount));
    }
}

TEST(RolloutPlanTest, DevicesKeepTheOrderInWhichTheyFirstAppearInTheTargets)
{
    S_RolloutPlan plan = makePlan(0);
    for (const char* nodeId : {"pcs-2", "emu-1", "pcs-2", "bms-1", "emu-1"})
    {
        plan.targets.push_back(S_RolloutTarget{nodeId, "EMU", 1, "1.0.0", "emu:emu", false});
    }
    EXPECT_EQ(deviceOrderOf(plan.targets), (std::vector<std::string>{"pcs-2", "emu-1", "bms-1"}));

    plan.policy.groupSizes = {1};
    const S_Rollout rollout = newRollout(7, std::make_shared<const S_RolloutPlan>(plan), 1000);
    ASSERT_EQ(rollout.groups.size(), 2u);
    EXPECT_EQ(rollout.groups[0].nodeIds, std::vector<std::string>{"pcs-2"});
    ASSERT_EQ(rollout.devices.size(), 3u);
    EXPECT_EQ(rollout.devices[2].nodeId, "bms-1");
    EXPECT_EQ(rollout.devices[2].groupNo, 2u);
    EXPECT_EQ(rollout.status, E_RolloutStatus::READY);
    EXPECT_EQ(rollout.currentGroupNo, 0u);
}

TEST(RolloutPlanTest, ATaskTakesTheTargetsOfItsDevicesAndOnlyTheFilesTheyUse)
{
    S_RolloutPlan plan;
    plan.rolloutId = "mixed";
    plan.targets = {
        {"pcs-1", "PCS_DSP1", 1, "1.0.0", "pcs:dsp1", false},
        {"bms-1", "BMS_BAU", 1, "1.0.0", "bms:bau", true},
        {"pcs-1", "PCS_ARM", 1, "1.0.0", "pcs:arm", false},
        {"pcs-2", "PCS_DSP1", 1, "1.0.0", "pcs:dsp1", false},
    };
    plan.files = {{"pcs:dsp1", "/f/dsp1.bin", "2.0.0", std::string(64, '1')},
                  {"pcs:arm", "/f/arm.bin", "2.0.0", std::string(64, '2')},
                  {"bms:bau", "/f/bau.bin", "2.0.0", std::string(64, '3')}};

    const S_RolloutTaskRequest request = buildTaskRequest(plan, {"pcs-1"}, "mixed_g1");
    EXPECT_EQ(request.upgradeId, "mixed_g1");
    ASSERT_EQ(request.targets.size(), 2u);
    EXPECT_EQ(request.targets[0].componentTypeId, "PCS_DSP1");
    EXPECT_EQ(request.targets[1].componentTypeId, "PCS_ARM");
    ASSERT_EQ(request.files.size(), 2u);
    EXPECT_EQ(request.files[0].fileSlotKey, "pcs:dsp1");
    EXPECT_EQ(request.files[1].fileSlotKey, "pcs:arm");

    const S_RolloutTaskRequest other = buildTaskRequest(plan, {"bms-1", "pcs-2"}, "mixed_g2");
    ASSERT_EQ(other.targets.size(), 2u);
    EXPECT_TRUE(other.targets[0].force);
    ASSERT_EQ(other.files.size(), 2u);
    EXPECT_EQ(other.files[0].fileSlotKey, "pcs:dsp1");
    EXPECT_EQ(other.files[1].fileSlotKey, "bms:bau");
}

TEST(RolloutPlanTest, TaskIdentifiersNameTheRolloutAndStayWithin32Characters)
{
    S_RolloutStep group;
    group.kind = E_RolloutStepKind::LAUNCH_GROUP;
    group.groupNo = 101;
    S_RolloutStep retry;
    retry.kind = E_RolloutStepKind::LAUNCH_RETRY;
    retry.round = 3;
    const std::string longest(24, 'r');
    EXPECT_EQ(rolloutTaskUpgradeId("site", group, 1), "site_g101");
    EXPECT_EQ(rolloutTaskUpgradeId("site", group, 2), "site_g101_2");
    EXPECT_EQ(rolloutTaskUpgradeId("site", retry, 1), "site_r3");
    EXPECT_EQ(rolloutTaskUpgradeId(longest, group, 99).size(), 32u);
}

}  // namespace
}  // namespace ota::test
