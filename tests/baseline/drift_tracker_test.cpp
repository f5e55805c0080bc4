#include "baseline/drift_tracker.h"
#include "baseline/inventory_schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ota::backend
{
namespace
{

using State = E_BaselineComponentState;

S_CommunicationNodeStatus device(const std::string& nodeId, bool connected, std::uint64_t reports,
                                 std::vector<S_CommunicationComponentStatus> components)
{
    S_CommunicationNodeStatus status;
    status.nodeId = nodeId;
    status.nodeName = nodeId + " name";
    status.protocolNodeType = "PCS";
    status.connectionState =
        connected ? E_DeviceConnectionState::CONNECTED : E_DeviceConnectionState::DISCONNECTED;
    status.statusReportCount = reports;
    status.lastStatusAt = static_cast<std::int64_t>(1000 + reports);
    status.components = std::move(components);
    return status;
}

const S_BaselineReportRow* rowOf(const std::vector<S_BaselineReportRow>& rows, const std::string& typeId)
{
    for (const S_BaselineReportRow& row : rows)
    {
        if (row.componentTypeId == typeId)
        {
            return &row;
        }
    }
    return nullptr;
}

TEST(DriftTrackerTest, StatesFollowEachReportOfTheDevice)
{
    struct S_Case
    {
        const char* name;
        bool connected;
        std::uint64_t reports;
        std::vector<S_CommunicationComponentStatus> components;
        State dsp;                 // PCS_DSP1#1, expected 1.0
        std::optional<State> arm;  // PCS_ARM#1, not in the baseline
        S_BaselineSummary summary;
    };
    const S_Case cases[] = {
        {"never reported", true, 0, {}, State::MISSING, std::nullopt, {0, 0, 1, 0}},
        {"same version", true, 1, {{"PCS_DSP1", 1, "1.0"}}, State::MATCH, std::nullopt, {1, 0, 0, 0}},
        {"other version", true, 2, {{"PCS_DSP1", 1, "2.0"}}, State::DRIFT, std::nullopt, {0, 1, 0, 0}},
        {"other index only", true, 3, {{"PCS_DSP1", 2, "1.0"}}, State::MISSING, std::nullopt, {0, 0, 1, 1}},
        {"extra component",
         true,
         4,
         {{"PCS_DSP1", 1, "1.0"}, {"PCS_ARM", 1, "3"}},
         State::MATCH,
         State::UNEXPECTED,
         {1, 0, 0, 1}},
        {"disconnected",
         false,
         4,
         {{"PCS_DSP1", 1, "1.0"}, {"PCS_ARM", 1, "3"}},
         State::MISSING,
         std::nullopt,
         {0, 0, 1, 0}},
        {"back and drifted", true, 5, {{"PCS_DSP1", 1, "0.9"}}, State::DRIFT, std::nullopt, {0, 1, 0, 0}},
    };
    CDriftTracker tracker;
    tracker.setBaseline(3, {{"pcs-1", "PCS_DSP1", 1, "1.0"}});
    State previous = State::MISSING;
    for (const S_Case& c : cases)
    {
        S_BaselineDrift drift;
        tracker.observe(device("pcs-1", c.connected, c.reports, c.components), 0, drift);
        const std::vector<S_BaselineReportRow> rows = tracker.rows();
        ASSERT_NE(rowOf(rows, "PCS_DSP1"), nullptr) << c.name;
        EXPECT_EQ(rowOf(rows, "PCS_DSP1")->state, c.dsp) << c.name;
        EXPECT_EQ(rowOf(rows, "PCS_DSP1")->nodeName, "pcs-1 name") << c.name;
        const S_BaselineReportRow* arm = rowOf(rows, "PCS_ARM");
        EXPECT_EQ(arm ? std::optional<State>(arm->state) : std::nullopt, c.arm) << c.name;
        EXPECT_EQ(tracker.summary(), c.summary) << c.name;
        // The drift names the changed components, and a new drift among them.
        const bool dspChanged = previous != c.dsp;
        const bool dspListed = rowOf(drift.changed, "PCS_DSP1") != nullptr;
        EXPECT_EQ(dspListed, dspChanged) << c.name;
        EXPECT_EQ(rowOf(drift.newDrift, "PCS_DSP1") != nullptr, dspChanged && c.dsp == State::DRIFT)
            << c.name;
        if (!drift.changed.empty())
        {
            EXPECT_EQ(drift.baselineNo, 3u);
            EXPECT_EQ(drift.summary, c.summary) << c.name;
        }
        previous = c.dsp;
    }

    // The same report again recomputes nothing.
    S_BaselineDrift again;
    tracker.observe(device("pcs-1", true, 5, {{"PCS_DSP1", 1, "0.9"}}), 0, again);
    EXPECT_TRUE(again.changed.empty());
}

TEST(DriftTrackerTest, AComponentATaskTargetsIsNoDriftUntilTheTaskEnds)
{
    CDriftTracker tracker;
    tracker.setBaseline(1, {{"pcs-1", "PCS_DSP1", 1, "1.0"}, {"pcs-1", "PCS_ARM", 1, "1.0"}});
    S_BaselineDrift drift;
    tracker.setUpgrading({{"pcs-1", "PCS_DSP1", 1}}, drift);
    tracker.observe(device("pcs-1", true, 1, {{"PCS_DSP1", 1, "2.0"}, {"PCS_ARM", 1, "1.0"}}), 0, drift);
    EXPECT_TRUE(drift.newDrift.empty());
    EXPECT_EQ(tracker.summary(), (S_BaselineSummary{1, 0, 0, 0}));
    const std::vector<S_BaselineReportRow> rows = tracker.rows();
    EXPECT_EQ(rowOf(rows, "PCS_DSP1")->state, State::DRIFT);
    EXPECT_TRUE(rowOf(rows, "PCS_DSP1")->upgrading);
    EXPECT_FALSE(rowOf(rows, "PCS_ARM")->upgrading);

    // The task ends with the device still on the other version: now it is a drift.
    S_BaselineDrift ended;
    tracker.setUpgrading({}, ended);
    ASSERT_EQ(ended.newDrift.size(), 1u);
    EXPECT_EQ(ended.newDrift[0].componentTypeId, "PCS_DSP1");
    EXPECT_FALSE(ended.newDrift[0].upgrading);
    EXPECT_EQ(ended.summary, (S_BaselineSummary{1, 1, 0, 0}));
}

TEST(DriftTrackerTest, ANewBaselineIsJudgedOnTheReportsAlreadyTakenInTopologyOrder)
{
    CDriftTracker tracker;
    S_BaselineDrift drift;
    tracker.observe(device("b", true, 1, {{"EMU", 1, "1"}}), 0, drift);
    tracker.observe(device("a", true, 1, {{"EMU", 1, "1"}}), 1, drift);
    EXPECT_TRUE(drift.changed.empty());  // no baseline, no drift
    tracker.setBaseline(2, {{"a", "EMU", 1, "1"}, {"b", "EMU", 1, "2"}, {"gone", "EMU", 1, "1"}});
    const std::vector<S_BaselineReportRow> rows = tracker.rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].nodeId, "b");
    EXPECT_EQ(rows[0].state, State::DRIFT);
    EXPECT_EQ(rows[1].nodeId, "a");
    EXPECT_EQ(rows[1].state, State::MATCH);
    EXPECT_EQ(rows[2].nodeId, "gone");
    EXPECT_EQ(rows[2].state, State::MISSING);
    EXPECT_EQ(tracker.summary(), (S_BaselineSummary{1, 1, 1, 0}));

    // "a" leaves the topology: its component is missing, and the report shows it after "b".
    S_BaselineDrift left;
    tracker.observeAll({device("b", true, 1, {{"EMU", 1, "1"}})}, left);
    ASSERT_EQ(left.changed.size(), 1u);
    EXPECT_EQ(left.changed[0].nodeId, "a");
    EXPECT_EQ(left.changed[0].state, State::MISSING);
    EXPECT_EQ(tracker.rows().front().nodeId, "b");
    EXPECT_EQ(tracker.summary(), (S_BaselineSummary{0, 1, 2, 0}));
}

TEST(InventoryScheduleTest, RoundsFollowTheIntervalAndWaitForTheTask)
{
    struct S_Step
    {
        std::int64_t at;
        bool taskRunning;
        bool due;
    };
    const S_Step steps[] = {
        {0, false, false},       // started: the devices report on connecting
        {59999, false, false},   //
        {60000, false, true},    //
        {60001, false, false},   //
        {120000, true, false},   // a task runs: the round waits
        {150000, false, true},   // made once the task has ended
        {209999, false, false},  //
        {210000, false, true},
    };
    CInventorySchedule schedule(60000);
    CInventorySchedule off(0);
    for (const S_Step& step : steps)
    {
        EXPECT_EQ(schedule.due(step.at, step.taskRunning), step.due) << step.at;
        EXPECT_FALSE(off.due(step.at, step.taskRunning));
    }
}

}  // namespace
}  // namespace ota::backend
