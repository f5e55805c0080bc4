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

S_UpgradeHistoryRecord previewRecord()
{
    S_UpgradeHistoryRecord record;
    record.upgradeNo = 9;
    record.upgradeId = "TASK";
    record.startedAt = 1000;
    record.updatedAt = 1000;
    record.status = "PREVIEW_READY";
    record.snapshotJson = toJsonText(test::makeSnapshotDocument(9, "TASK", 2));
    record.stateJson = "{}";
    return record;
}

S_UpgradeHistoryRecord finalRecord()
{
    S_UpgradeHistoryRecord record = previewRecord();
    json state = test::makeStateDocument(9, "TASK", 2);
    record.status = "FAILED";
    record.stateJson = toJsonText(state);
    test::finishStateDocument(state, "FAILED", "FAILED", 2000);
    record.reportJson = toJsonText(state);
    record.completedAt = 2000;
    record.isFinal = true;
    return record;
}

json snapshotOf(const S_UpgradeHistoryRecord& record)
{
    return json::parse(record.snapshotJson);
}

struct S_RecordCase
{
    const char* name;
    std::function<void(S_UpgradeHistoryRecord&)> mutate;
    std::string reason;
};

TEST(HistoryRecordContract, LifecyclesThatPass)
{
    std::string reason;
    EXPECT_TRUE(validateHistoryRecord(previewRecord(), reason)) << reason;
    EXPECT_TRUE(validateHistoryRecord(finalRecord(), reason)) << reason;
    S_UpgradeHistoryRecord running = previewRecord();
    running.status = "ABORTING";
    running.stateJson = toJsonText(test::makeStateDocument(9, "TASK", 2));
    EXPECT_TRUE(validateHistoryRecord(running, reason)) << reason;
    // A task can end before any running state was recorded; its record keeps the preview state.
    S_UpgradeHistoryRecord endedEarly = finalRecord();
    endedEarly.stateJson = "{}";
    EXPECT_TRUE(validateHistoryRecord(endedEarly, reason)) << reason;
}

TEST(HistoryRecordContract, EachRuleHasItsReason)
{
    const std::vector<S_RecordCase> cases = {
        {"unknown status", [](auto& r) { r.status = "DONE"; }, "record lifecycle fields are inconsistent"},
        {"final flag on preview", [](auto& r) { r.isFinal = true; }, "record lifecycle fields are inconsistent"},
        {"snapshot text", [](auto& r) { r.snapshotJson = "{"; }, "cannot parse persisted history JSON: "},
        {"state text", [](auto& r) { r.stateJson = ""; }, "cannot parse persisted history JSON: "},
        {"snapshot array", [](auto& r) { r.snapshotJson = "[]"; }, "snapshot or state JSON must be an object"},
        {"targets empty",
         [](auto& r) {
             json s = snapshotOf(r);
             s["targets"] = json::array();
             r.snapshotJson = toJsonText(s);
         },
         "snapshot targets must be a non-empty array"},
        {"target kind",
         [](auto& r) {
             json s = snapshotOf(r);
             s["targets"][1] = "node2";
             r.snapshotJson = toJsonText(s);
         },
         "snapshot target must be an object"},
        {"nodePath missing",
         [](auto& r) {
             json s = snapshotOf(r);
             s["targets"][0].erase("nodePath");
             r.snapshotJson = toJsonText(s);
         },
         "snapshot target is missing a non-empty nodePath"},
        {"nodePath item kind",
         [](auto& r) {
             json s = snapshotOf(r);
             s["targets"][0]["nodePath"][0] = 1;
             r.snapshotJson = toJsonText(s);
         },
         "snapshot nodePath item must be an object"},
        {"nodePath item incomplete",
         [](auto& r) {
             json s = snapshotOf(r);
             s["targets"][0]["nodePath"][0]["typeName"] = "";
             r.snapshotJson = toJsonText(s);
         },
         "snapshot nodePath item is incomplete"},
        {"nodePath tail",
         [](auto& r) {
             json s = snapshotOf(r);
             s["targets"][1]["nodeName"] = "another";
             r.snapshotJson = toJsonText(s);
         },
         "snapshot nodePath tail does not match target device"},
        {"progress in snapshot",
         [](auto& r) {
             json s = snapshotOf(r);
             s["files"][0]["progress"] = 0;
             r.snapshotJson = toJsonText(s);
         },
         "deprecated progress field detected"},
        {"preview state", [](auto& r) { r.stateJson = "{\"a\":1}"; }, "preview state must be an empty object"},
        {"running state",
         [](auto& r) {
             r.status = "RUNNING";
             r.stateJson = "{}";
         },
         "state contract mismatch: state.upgradeNo must be an integer"},
        {"report on open record", [](auto& r) { r.reportJson = "{}"; },
         "unfinished record unexpectedly contains final report fields"},
        {"completedAt on open record", [](auto& r) { r.completedAt = 5; },
         "unfinished record unexpectedly contains final report fields"},
    };
    for (const S_RecordCase& item : cases)
    {
        S_UpgradeHistoryRecord record = previewRecord();
        item.mutate(record);
        std::string reason;
        EXPECT_FALSE(validateHistoryRecord(record, reason)) << item.name;
        EXPECT_EQ(reason.rfind(item.reason, 0), 0u) << item.name << ": " << reason;
    }
}

TEST(HistoryRecordContract, FinalReportRules)
{
    const std::vector<S_RecordCase> cases = {
        {"no completedAt", [](auto& r) { r.completedAt.reset(); }, "finalized record is missing completedAt or reportJson"},
        {"no report", [](auto& r) { r.reportJson.reset(); }, "finalized record is missing completedAt or reportJson"},
        {"report text", [](auto& r) { r.reportJson = "nope"; }, "final report JSON must be an object"},
        {"report array", [](auto& r) { r.reportJson = "[1]"; }, "final report JSON must be an object"},
        {"report progress",
         [](auto& r) {
             json report = json::parse(*r.reportJson);
             report["devices"][0]["progress"] = 100;
             r.reportJson = toJsonText(report);
         },
         "deprecated progress field detected in final report"},
        {"report contract",
         [](auto& r) {
             json report = json::parse(*r.reportJson);
             report["failedCount"] = 1;
             r.reportJson = toJsonText(report);
         },
         "final report contract mismatch: state aggregate counts do not match state.devices"},
        {"progress in state",
         [](auto& r) {
             json state = json::parse(r.stateJson);
             state["progress"] = 1;
             r.stateJson = toJsonText(state);
         },
         "deprecated progress field detected"},
        {"final status without flag", [](auto& r) { r.isFinal = false; }, "record lifecycle fields are inconsistent"},
    };
    for (const S_RecordCase& item : cases)
    {
        S_UpgradeHistoryRecord record = finalRecord();
        item.mutate(record);
        std::string reason;
        EXPECT_FALSE(validateHistoryRecord(record, reason)) << item.name;
        EXPECT_EQ(reason, item.reason) << item.name;
    }
}

}  // namespace
}  // namespace ota::backend
