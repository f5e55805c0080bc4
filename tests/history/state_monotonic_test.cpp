#include "history/history_contracts.h"

#include "history_documents.h"

#include <gtest/gtest.h>

#include <functional>

namespace ota::backend
{
namespace
{

using nlohmann::json;

// A persisted state in the middle of a transfer, so every field can move either way.
json persistedState()
{
    json state = test::makeStateDocument(5, "T", 2);
    for (json& device : state["devices"])
    {
        device["stage"] = "文件传输";
        device["workflowProgress"] = 40;
        device["currentFileNo"] = 2;
        device["targets"][0]["state"] = "文件传输";
        device["targets"][0]["componentStageProgress"] = 50;
    }
    state["devices"][1]["completed"] = true;
    state["devices"][1]["result"] = "FAILED";
    test::recountStateDocument(state);
    return state;
}

struct S_MonotonicCase
{
    const char* name;
    std::function<void(json&)> mutateNew;
    std::string reason;
};

TEST(StateMonotonic, ForwardAndEqualStatesPass)
{
    const json persisted = persistedState();
    std::string reason = "stale";
    EXPECT_TRUE(checkStateMonotonic(persisted, persisted, reason)) << reason;
    EXPECT_TRUE(reason.empty());
    json next = persisted;
    next["status"] = "ABORTING";
    next["devices"][0]["workflowProgress"] = 60;
    next["devices"][0]["stage"] = "文件接收确认";
    // A higher stage restarts the component progress.
    next["devices"][0]["targets"][0]["state"] = "文件接收确认";
    next["devices"][0]["targets"][0]["componentStageProgress"] = 0;
    EXPECT_TRUE(checkStateMonotonic(next, persisted, reason)) << reason;
    next["status"] = "FAILED";
    next["active"] = false;
    EXPECT_TRUE(checkStateMonotonic(next, persisted, reason)) << reason;
    // A device that fails right after a stage whose progress documents were coalesced away ends
    // with its component at the terminal text and a lower progress: the end is still recorded.
    json ended = persisted;
    ended["devices"][0]["completed"] = true;
    ended["devices"][0]["result"] = "FAILED";
    ended["devices"][0]["targets"][0]["state"] = "执行失败";
    ended["devices"][0]["targets"][0]["componentStageProgress"] = 20;
    test::recountStateDocument(ended);
    EXPECT_TRUE(checkStateMonotonic(ended, persisted, reason)) << reason;
    json unknownStage = persisted;
    unknownStage["devices"][0]["stage"] = "未知阶段";
    EXPECT_TRUE(checkStateMonotonic(unknownStage, persisted, reason)) << "no level, no comparison";
}

TEST(StateMonotonic, EachRegressionHasItsReason)
{
    const std::vector<S_MonotonicCase> cases = {
        {"deviceCount", [](json& s) { s["deviceCount"] = 1; }, "状态字段deviceCount发生回退"},
        {"completedCount", [](json& s) { s["completedCount"] = 0; }, "状态字段completedCount发生回退"},
        {"failedCount", [](json& s) { s["failedCount"] = 0; }, "状态字段failedCount发生回退"},
        {"active",
         [](json& s) {
             s["active"] = false;
         },
         "运行态active标志发生回退"},
        {"status level", [](json& s) { s["status"] = "RUNNING"; }, "任务状态阶段发生回退"},
        {"startedAt", [](json& s) { s["startedAt"] = 1; }, "startedAt发生回退"},
        {"finishedAt", [](json& s) { s["finishedAt"] = 0; }, "finishedAt发生回退"},
        {"device missing", [](json& s) { s["devices"].erase(0); }, "状态快照缺少已有装置node1"},
        {"workflowProgress", [](json& s) { s["devices"][0]["workflowProgress"] = 39; }, "装置node1进度发生回退"},
        {"completed", [](json& s) { s["devices"][1]["completed"] = false; }, "装置node2完成标志发生回退"},
        {"result", [](json& s) { s["devices"][1]["result"] = "SUCCESS"; }, "装置node2终态结果发生改变"},
        {"stage", [](json& s) { s["devices"][0]["stage"] = "升级准备"; }, "装置node1协议阶段发生回退"},
        {"currentFileNo", [](json& s) { s["devices"][1]["currentFileNo"] = 1; }, "装置node2当前文件编号发生回退"},
        {"target missing", [](json& s) { s["devices"][0]["targets"][0]["componentIndex"] = 2; },
         "装置node1缺少已有升级部件"},
        {"target stage", [](json& s) { s["devices"][1]["targets"][0]["state"] = "状态已同步"; },
         "装置node2的部件PCS_DSP1#1协议阶段发生回退"},
        {"target progress", [](json& s) { s["devices"][0]["targets"][0]["componentStageProgress"] = 49; },
         "装置node1的部件PCS_DSP1#1同阶段进度发生回退"},
    };
    for (const S_MonotonicCase& item : cases)
    {
        json persisted = persistedState();
        if (std::string(item.name) == "status level")
        {
            persisted["status"] = "ABORTING";
        }
        if (std::string(item.name) == "finishedAt")
        {
            persisted["finishedAt"] = 10;
        }
        json incoming = persisted;
        item.mutateNew(incoming);
        std::string reason;
        EXPECT_FALSE(checkStateMonotonic(incoming, persisted, reason)) << item.name;
        EXPECT_EQ(reason, item.reason) << item.name;
    }
}

TEST(StateMonotonic, DeviceRulesComeBeforeTargetRules)
{
    const json persisted = persistedState();
    json incoming = persisted;
    incoming["devices"][0]["targets"][0]["componentStageProgress"] = 10;
    incoming["devices"][1]["workflowProgress"] = 10;
    std::string reason;
    EXPECT_FALSE(checkStateMonotonic(incoming, persisted, reason));
    EXPECT_EQ(reason, "装置node2进度发生回退");
}

}  // namespace
}  // namespace ota::backend
