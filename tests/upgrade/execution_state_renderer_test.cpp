// The renderer that keeps each device's text: over a task's successive states (and into another
// task's) every document is byte for byte the one rendered from scratch.
#include "upgrade/execution_state.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace ota::backend
{
namespace
{

std::shared_ptr<S_ExecutionTaskIdentity> taskOf(std::uint32_t upgradeNo, const std::string& prefix)
{
    auto task = std::make_shared<S_ExecutionTaskIdentity>();
    task->upgradeNo = upgradeNo;
    task->upgradeId = "T" + std::to_string(upgradeNo);
    task->configuredDeviceConcurrency = 2;
    task->recommendedDeviceConcurrency = 2;
    task->workerCount = 2;
    for (int i = 0; i < 3; ++i)
    {
        const std::string nodeId = prefix + std::to_string(i);
        task->devices.push_back(
            {nodeId, "BMS " + nodeId, "bms", "10.0.0.1", 502, task->components.size(), 2});
        task->components.push_back({"BMS_BAU", 1, 1, "1.0.0", "2.0.0"});
        task->components.push_back({"BMS_BCU", 2, 1, "1.0.0", "2.0.0"});
    }
    return task;
}

S_ExecutionState stateOf(std::shared_ptr<const S_ExecutionTaskIdentity> task)
{
    S_ExecutionState state;
    state.task = std::move(task);
    state.status = E_UpgradeTaskStatus::RUNNING;
    state.active = true;
    state.startedAt = 1'700'000'000'000;
    state.devices.resize(state.task->devices.size());
    state.components.resize(state.task->components.size());
    return state;
}

TEST(ExecutionStateRenderer, EveryDocumentIsTheOneRenderedFromScratch)
{
    const auto first = taskOf(7, "bms-");
    const auto second = taskOf(8, "pcs-");
    struct S_Step
    {
        const char* name;
        std::function<void(S_ExecutionState&)> edit;
    };
    const S_Step steps[] = {
        {"the first state", [](S_ExecutionState&) {}},
        {"a device's stage", [](S_ExecutionState& s) { s.devices[1].stage = 3; }},
        {"a target of another device",
         [](S_ExecutionState& s) { s.components[5].componentStageProgress = 40; }},
        {"nothing", [](S_ExecutionState&) {}},
        {"a device's text grows", [](S_ExecutionState& s) { s.devices[0].state = "发送文件分片 1/32"; }},
        {"another task with as many devices", [&](S_ExecutionState& s) { s.task = second; }},
        {"its end", [](S_ExecutionState& s) { s.status = E_UpgradeTaskStatus::SUCCESS, s.active = false; }},
    };
    CExecutionStateRenderer renderer;
    S_ExecutionState state = stateOf(first);
    for (const S_Step& step : steps)
    {
        SCOPED_TRACE(step.name);
        step.edit(state);
        std::string text;
        renderer.render(std::make_shared<const S_ExecutionState>(state), text);
        EXPECT_EQ(text, renderExecutionState(state));
    }

    // A text that cannot be rendered throws and is not kept; the next state renders whole.
    S_ExecutionState broken = state;
    broken.devices[2].state = "\xff";
    std::string text;
    EXPECT_THROW(renderer.render(std::make_shared<const S_ExecutionState>(broken), text),
                 std::invalid_argument);
    state.devices[2].stage = 9;
    renderer.render(std::make_shared<const S_ExecutionState>(state), text);
    EXPECT_EQ(text, renderExecutionState(state));
}

}  // namespace
}  // namespace ota::backend
