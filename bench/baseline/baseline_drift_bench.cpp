// The drift computation of a 1,000-device site: what one status report costs the baseline's
// tracker (only the reporting device's components are recomputed), and the main loop's pass over
// every device's status when one of them brings a new report. Goal: well under 1 ms of CPU per
// status report.
#include "baseline/drift_tracker.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace
{

using namespace ota::backend;

// Connected devices as a site reports them: one EMU in ten, the rest PCS (4 components) and BMS
// (8 components: BAU, BEU and 6 BCUs).
std::vector<S_CommunicationNodeStatus> siteStatuses(std::size_t count)
{
    std::vector<S_CommunicationNodeStatus> nodes(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        S_CommunicationNodeStatus& node = nodes[i];
        const char* type = i % 10 == 0 ? "EMU" : i % 2 == 0 ? "PCS" : "BMS";
        node.nodeId = std::string(type) + "-" + std::to_string(i);
        node.nodeName = "Device " + node.nodeId;
        node.protocolNodeType = type;
        node.connectionState = E_DeviceConnectionState::CONNECTED;
        node.statusReportCount = 1;
        node.lastStatusAt = 1765000000000;
        if (i % 10 == 0)
        {
            node.components = {{"EMU", 1, "1.0.0"}};
        }
        else if (i % 2 == 0)
        {
            node.components = {{"PCS_DSP1", 1, "1.0.0"},
                               {"PCS_DSP2", 1, "1.0.0"},
                               {"PCS_FPGA", 1, "1.0.0"},
                               {"PCS_ARM", 1, "1.0.0"}};
        }
        else
        {
            node.components = {{"BMS_BAU", 1, "1.0.0"}, {"BMS_BEU", 1, "1.0.0"}};
            for (std::uint16_t bcu = 1; bcu <= 6; ++bcu)
            {
                node.components.push_back({"BMS_BCU", bcu, "1.0.0"});
            }
        }
    }
    return nodes;
}

std::vector<S_BaselineComponent> baselineOf(const std::vector<S_CommunicationNodeStatus>& statuses)
{
    std::vector<S_BaselineComponent> components;
    for (const S_CommunicationNodeStatus& status : statuses)
    {
        for (const S_CommunicationComponentStatus& component : status.components)
        {
            components.push_back(
                {status.nodeId, component.componentTypeId, component.componentIndex, "1.0.0"});
        }
    }
    return components;
}

// One new status report of one device (a BMS whose first BCU flips between the baseline's version
// and another): the tracker's work for it.
void BM_DriftPerStatusReport(benchmark::State& state)
{
    std::vector<S_CommunicationNodeStatus> statuses = siteStatuses(static_cast<std::size_t>(state.range(0)));
    CDriftTracker tracker;
    tracker.setBaseline(1, baselineOf(statuses));
    S_BaselineDrift drift;
    for (std::size_t i = 0; i < statuses.size(); ++i)
    {
        tracker.observe(statuses[i], i, drift);
    }
    S_CommunicationNodeStatus& reporting = statuses[501];
    for (auto _ : state)
    {
        ++reporting.statusReportCount;
        reporting.components[2].version = reporting.statusReportCount % 2 == 0 ? "1.0.1" : "1.0.0";
        S_BaselineDrift changes;
        tracker.observe(reporting, 501, changes);
        benchmark::DoNotOptimize(changes);
    }
}
BENCHMARK(BM_DriftPerStatusReport)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The main loop's pass: every device's status handed over, one of them with a new report.
void BM_DriftPassWithOneNewReport(benchmark::State& state)
{
    std::vector<S_CommunicationNodeStatus> statuses = siteStatuses(static_cast<std::size_t>(state.range(0)));
    CDriftTracker tracker;
    tracker.setBaseline(1, baselineOf(statuses));
    S_BaselineDrift drift;
    for (std::size_t i = 0; i < statuses.size(); ++i)
    {
        tracker.observe(statuses[i], i, drift);
    }
    S_CommunicationNodeStatus& reporting = statuses[501];
    for (auto _ : state)
    {
        ++reporting.statusReportCount;
        reporting.components[2].version = reporting.statusReportCount % 2 == 0 ? "1.0.1" : "1.0.0";
        S_BaselineDrift changes;
        tracker.observeAll(statuses, changes);
        benchmark::DoNotOptimize(changes);
    }
}
BENCHMARK(BM_DriftPassWithOneNewReport)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
