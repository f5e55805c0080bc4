// The typed monotonic check on a table of stale and fresh state pairs: every rule of the check on
// stored documents, each row run through both checks — the typed one on the states, the document one
// on their rendered documents — which must agree on the verdict and the reason.
#include "history/history_contracts.h"
#include "upgrade/execution_state.h"

#include <gtest/gtest.h>

#include <functional>

namespace ota::backend
{
namespace
{

using json = nlohmann::json;

std::shared_ptr<S_ExecutionTaskIdentity> identityOf(const std::vector<std::string>& nodeIds,
                                                    std::uint16_t index = 1)
{
    auto identity = std::make_shared<S_ExecutionTaskIdentity>();
    identity->upgradeNo = 5;
    identity->upgradeId = "T5";
    identity->sceneGeneration = 1;
    identity->configuredDeviceConcurrency = 4;
    identity->recommendedDeviceConcurrency = 4;
    identity->workerCount = 2;
    for (const std::string& nodeId : nodeIds)
    {
        identity->devices.push_back(
            {nodeId, "PCS " + nodeId, "pcs", "10.0.0.1", 502, identity->components.size(), 1});
        identity->components.push_back({"PCS_DSP1", 1, index, "1.0.0", "2.0.0"});
    }
    return identity;
}

// A persisted state in the middle of a transfer, so every field can move either way: both devices
// at FILE_TRANSFER, node2 already failed.
S_ExecutionState persistedTypedState()
{
    S_ExecutionState state;
    state.task = identityOf({"node1", "node2"});
    state.status = E_UpgradeTaskStatus::RUNNING;
    state.active = true;
    state.startedAt = 1'700'000'000'000;
    state.devices.resize(2);
    state.components.resize(2);
    for (std::size_t i = 0; i < 2; ++i)
    {
        S_DeviceExecutionState& device = state.devices[i];
        device.connectionState = E_DeviceConnectionState::CONNECTED;
        device.stage = 3;
        device.state = "发送文件分片";
        device.workflowProgress = 40;
        device.currentFileNo = 2;
        device.startedAt = state.startedAt;
        state.components[i].state = "文件传输";
        state.components[i].stateStage = 3;
        state.components[i].componentStageProgress = 50;
    }
    state.devices[1].completed = true;
    state.devices[1].result = E_DeviceResult::FAILED;
    state.devices[1].state = "执行失败";
    return state;
}

// The same task with other devices (or components): the states of one node carried over.
S_ExecutionState withIdentity(const S_ExecutionState& state,
                              std::shared_ptr<S_ExecutionTaskIdentity> identity)
{
    S_ExecutionState changed = state;
    changed.task = std::move(identity);
    return changed;
}

struct S_Row
{
    const char* name;
    std::function<void(S_ExecutionState& persisted, S_ExecutionState& incoming)> edit;
    std::string reason;  // empty: the pair is fresh
};

void expectBothChecksAgree(const S_Row& row)
{
    SCOPED_TRACE(row.name);
    S_ExecutionState persisted = persistedTypedState();
    S_ExecutionState incoming = persisted;
    row.edit(persisted, incoming);

    std::string typedReason = "unset";
    const bool typedFresh = checkStateMonotonic(incoming, persisted, typedReason);
    EXPECT_EQ(typedFresh, row.reason.empty());
    EXPECT_EQ(typedReason, row.reason);

    std::string documentReason = "unset";
    const bool documentFresh =
        checkStateMonotonic(json::parse(renderExecutionState(incoming)),
                            json::parse(renderExecutionState(persisted)), documentReason);
    EXPECT_EQ(documentFresh, typedFresh);
    EXPECT_EQ(documentReason, typedReason);
}

TEST(TypedStateMonotonic, EveryRuleOfTheDocumentCheckGivesTheSameVerdictAndReason)
{
    using State = S_ExecutionState;
    const std::vector<S_Row> rows = {
        // Fresh pairs.
        {"equal", [](State&, State&) {}, ""},
        {"forward",
         [](State&, State& s)
         {
             s.status = E_UpgradeTaskStatus::ABORTING;
             s.devices[0].workflowProgress = 60;
             s.devices[0].stage = 4;
             // A higher stage restarts the component progress.
             s.components[0].stateStage = 4;
             s.components[0].state = "文件接收确认";
             s.components[0].componentStageProgress = 0;
         },
         ""},
        {"final",
         [](State&, State& s)
         {
             s.status = E_UpgradeTaskStatus::FAILED;
             s.active = false;
             s.finishedAt = 1'700'000'000'500;
         },
         ""},
        {"device ends with a lower component progress",
         [](State&, State& s)
         {
             s.devices[0].completed = true;
             s.devices[0].result = E_DeviceResult::FAILED;
             s.components[0].state = "执行失败";
             s.components[0].stateStage = kNoStage;
             s.components[0].componentStageProgress = 20;
         },
         ""},
        {"unknown stage has no level", [](State&, State& s) { s.devices[0].stage = 9; }, ""},
        // Stale pairs, one per rule.
        {"deviceCount",
         [](State& p, State& s)
         {
             s = withIdentity(p, identityOf({"node2"}));
             s.devices.erase(s.devices.begin());
             s.components.erase(s.components.begin());
         },
         "状态字段deviceCount发生回退"},
        {"completedCount",
         [](State&, State& s)
         {
             s.devices[1].completed = false;
             s.devices[1].result = E_DeviceResult::PENDING;
         },
         "状态字段completedCount发生回退"},
        {"failedCount", [](State&, State& s) { s.devices[1].result = E_DeviceResult::ABORTED; },
         "状态字段failedCount发生回退"},
        {"active", [](State&, State& s) { s.active = false; }, "运行态active标志发生回退"},
        {"status level",
         [](State& p, State& s)
         {
             p.status = E_UpgradeTaskStatus::ABORTING;
             s.status = E_UpgradeTaskStatus::RUNNING;
         },
         "任务状态阶段发生回退"},
        {"startedAt", [](State&, State& s) { s.startedAt = 1; }, "startedAt发生回退"},
        {"finishedAt",
         [](State& p, State& s)
         {
             p.finishedAt = 10;
             s.finishedAt = 0;
         },
         "finishedAt发生回退"},
        {"device missing",
         [](State& p, State& s) {
             s = withIdentity(p, identityOf({"node3", "node2"}));
         },
         "状态快照缺少已有装置node1"},
        {"workflowProgress", [](State&, State& s) { s.devices[0].workflowProgress = 39; },
         "装置node1进度发生回退"},
        {"completed",
         [](State&, State& s)
         {
             // node1 completes while node2 goes back: the counts stay, the device rule finds it.
             s.devices[0].completed = true;
             s.devices[1].completed = false;
         },
         "装置node2完成标志发生回退"},
        {"result",
         [](State&, State& s)
         {
             s.devices[0].result = E_DeviceResult::FAILED;
             s.devices[1].result = E_DeviceResult::SUCCESS;
         },
         "装置node2终态结果发生改变"},
        {"stage", [](State&, State& s) { s.devices[0].stage = 2; }, "装置node1协议阶段发生回退"},
        {"currentFileNo", [](State&, State& s) { s.devices[1].currentFileNo = 1; },
         "装置node2当前文件编号发生回退"},
        {"target missing",
         [](State& p, State& s) {
             s = withIdentity(p, identityOf({"node1", "node2"}, 2));
         },
         "装置node1缺少已有升级部件"},
        {"target stage",
         [](State&, State& s)
         {
             s.components[1].stateStage = 1;
             s.components[1].state = "状态已同步";
         },
         "装置node2的部件PCS_DSP1#1协议阶段发生回退"},
        {"target progress", [](State&, State& s) { s.components[0].componentStageProgress = 49; },
         "装置node1的部件PCS_DSP1#1同阶段进度发生回退"},
        {"device rules come before target rules",
         [](State&, State& s)
         {
             s.components[0].componentStageProgress = 10;
             s.devices[1].workflowProgress = 10;
         },
         "装置node2进度发生回退"},
    };
    for (const S_Row& row : rows)
    {
        expectBothChecksAgree(row);
    }
}

TEST(TypedStateContract, RefusesWhatTheDocumentContractRefuses)
{
    const S_ExecutionState valid = persistedTypedState();
    std::string reason;
    EXPECT_TRUE(validateExecutionState(valid, reason)) << reason;
    std::string documentReason;
    EXPECT_TRUE(validateExecutionStateDocument(json::parse(renderExecutionState(valid)), documentReason))
        << documentReason;

    struct S_Case
    {
        const char* name;
        std::function<void(S_ExecutionState&, S_ExecutionTaskIdentity&)> edit;
    };
    const S_Case cases[] = {
        {"upgradeNo", [](S_ExecutionState&, S_ExecutionTaskIdentity& task) { task.upgradeNo = 0; }},
        {"worker count", [](S_ExecutionState&, S_ExecutionTaskIdentity& task) { task.workerCount = 0; }},
        {"upgradeId", [](S_ExecutionState&, S_ExecutionTaskIdentity& task) { task.upgradeId.clear(); }},
        {"node name",
         [](S_ExecutionState&, S_ExecutionTaskIdentity& task) { task.devices[1].nodeName.clear(); }},
        {"port", [](S_ExecutionState&, S_ExecutionTaskIdentity& task) { task.devices[0].port = 0; }},
        {"component index",
         [](S_ExecutionState&, S_ExecutionTaskIdentity& task) { task.components[1].componentIndex = 0; }},
        {"workflowProgress",
         [](S_ExecutionState& state, S_ExecutionTaskIdentity&) { state.devices[0].workflowProgress = 101; }},
        {"componentStageProgress", [](S_ExecutionState& state, S_ExecutionTaskIdentity&)
         { state.components[0].componentStageProgress = 101; }},
        {"startedAt", [](S_ExecutionState& state, S_ExecutionTaskIdentity&) { state.startedAt = -1; }},
    };
    for (const S_Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        S_ExecutionState state = valid;
        auto identity = std::make_shared<S_ExecutionTaskIdentity>(*valid.task);
        c.edit(state, *identity);
        state.task = identity;
        EXPECT_FALSE(validateExecutionState(state, reason));
        EXPECT_FALSE(
            validateExecutionStateDocument(json::parse(renderExecutionState(state)), documentReason));
        EXPECT_EQ(reason, documentReason);
    }
}

}  // namespace
}  // namespace ota::backend
