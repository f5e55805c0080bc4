#include "history/history_contracts.h"

#include "common/json_text.h"
#include "history_documents.h"

#include <gtest/gtest.h>

#include <functional>

namespace ota::backend
{
namespace
{

using nlohmann::json;

struct S_StateCase
{
    const char* name;
    std::function<void(json&)> mutate;
    std::string reason;
};

TEST(ExecutionStateContract, ValidDocumentsPass)
{
    json state = test::makeStateDocument(42, "TASK_1", 3);
    std::string reason = "stale";
    EXPECT_TRUE(validateExecutionState(toJsonText(state), reason)) << reason;
    EXPECT_TRUE(reason.empty());
    test::finishStateDocument(state, "SUCCESS", "SUCCESS", 1'700'000'100'000);
    EXPECT_TRUE(validateExecutionState(toJsonText(state), reason)) << reason;
    state["devices"][0]["targets"] = json::array();
    state["error"] = "";
    state["sceneGeneration"] = 18446744073709551615ULL;
    EXPECT_TRUE(validateExecutionState(toJsonText(state), reason)) << reason;
}

TEST(ExecutionStateContract, EachRuleHasItsReason)
{
    const std::vector<S_StateCase> cases = {
        {"array", [](json& s) { s = json::array(); }, "execution state must be an object"},
        {"progress deep", [](json& s) { s["devices"][1]["targets"][0]["progress"] = 5; },
         "state.devices[1].targets[0].progress is deprecated"},
        {"progress top", [](json& s) { s["progress"] = 5; }, "state.progress is deprecated"},
        {"missing upgradeNo", [](json& s) { s.erase("upgradeNo"); }, "state.upgradeNo must be an integer"},
        {"float", [](json& s) { s["deviceCount"] = 2.0; }, "state.deviceCount must be an integer"},
        {"string number", [](json& s) { s["startedAt"] = "5"; }, "state.startedAt must be an integer"},
        {"negative", [](json& s) { s["completedCount"] = -1; }, "state.completedCount must not be negative"},
        {"beyond 64 bits", [](json& s) { s["sceneGeneration"] = 18446744073709551616.0; },
         "state.sceneGeneration exceeds the supported integer range"},
        {"upgradeNo zero", [](json& s) { s["upgradeNo"] = 0; }, "state.upgradeNo is outside the supported range"},
        {"upgradeNo 2^32", [](json& s) { s["upgradeNo"] = 4294967296ULL; },
         "state.upgradeNo is outside the supported range"},
        {"concurrency", [](json& s) { s["deviceConcurrency"] = 65536; },
         "state.deviceConcurrency is outside the supported range"},
        {"status type", [](json& s) { s["status"] = 1; }, "state.status must be a string"},
        {"status empty", [](json& s) { s["status"] = ""; }, "state.status must not be empty"},
        {"status value", [](json& s) { s["status"] = "IDLE"; }, "state.status is not supported"},
        {"active", [](json& s) { s["active"] = 1; }, "state.active must be a boolean"},
        {"upgradeId", [](json& s) { s["upgradeId"] = ""; }, "state.upgradeId must not be empty"},
        {"error", [](json& s) { s["error"] = nullptr; }, "state.error must be a string"},
        {"devices", [](json& s) { s["devices"] = json::object(); }, "state.devices must be an array"},
        {"device count",
         [](json& s) {
             s["devices"].erase(2);
         },
         "state.deviceCount does not match state.devices length"},
        {"device object", [](json& s) { s["devices"][2] = 7; }, "state.devices[2] must be an object"},
        {"device nodeId", [](json& s) { s["devices"][0]["nodeId"] = ""; }, "state.devices[0].nodeId must not be empty"},
        {"device stage", [](json& s) { s["devices"][1].erase("stage"); }, "state.devices[1].stage must be a string"},
        {"device port", [](json& s) { s["devices"][0]["port"] = 0; },
         "state.devices[0].port is outside the supported range"},
        {"device progress", [](json& s) { s["devices"][0]["workflowProgress"] = 101; },
         "state.devices[0].workflowProgress is outside the supported range"},
        {"device completed", [](json& s) { s["devices"][0]["completed"] = "no"; },
         "state.devices[0].completed must be a boolean"},
        {"device result", [](json& s) { s["devices"][0]["result"] = "DONE"; },
         "state.devices[0].result is not supported"},
        {"targets", [](json& s) { s["devices"][0]["targets"] = nullptr; }, "state.devices[0].targets must be an array"},
        {"target object", [](json& s) { s["devices"][0]["targets"][0] = json::array(); },
         "state.devices[0].targets[0] must be an object"},
        {"target index", [](json& s) { s["devices"][3 - 1]["targets"][0]["componentIndex"] = 256; },
         "state.devices[2].targets[0].componentIndex is outside the supported range"},
        {"target version", [](json& s) { s["devices"][0]["targets"][0]["targetVersion"] = 2; },
         "state.devices[0].targets[0].targetVersion must be a string"},
        {"target stage progress", [](json& s) { s["devices"][0]["targets"][0]["componentStageProgress"] = -3; },
         "state.devices[0].targets[0].componentStageProgress must not be negative"},
        {"target state", [](json& s) { s["devices"][2]["targets"][0]["state"] = ""; },
         "state.devices[2].targets[0].state must not be empty"},
        {"completed count", [](json& s) { s["devices"][0]["completed"] = true; },
         "state aggregate counts do not match state.devices"},
        {"success count", [](json& s) { s["successCount"] = 1; }, "state aggregate counts do not match state.devices"},
    };
    for (const S_StateCase& item : cases)
    {
        json state = test::makeStateDocument(42, "TASK_1", 3);
        item.mutate(state);
        std::string reason;
        EXPECT_FALSE(validateExecutionState(toJsonText(state), reason)) << item.name;
        EXPECT_EQ(reason, item.reason) << item.name;
    }
}

TEST(ExecutionStateContract, UnparsableText)
{
    std::string reason;
    EXPECT_FALSE(validateExecutionState("{\"status\":", reason));
    EXPECT_EQ(reason.rfind("cannot parse execution state JSON: ", 0), 0u) << reason;
    EXPECT_FALSE(validateExecutionState("{} {}", reason));
    EXPECT_EQ(reason.rfind("cannot parse execution state JSON: ", 0), 0u) << reason;
}

}  // namespace
}  // namespace ota::backend
