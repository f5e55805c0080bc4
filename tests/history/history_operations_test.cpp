#include "history/history_operations.h"

#include "common/clock.h"
#include "common/json_text.h"
#include "history/final_report.h"
#include "history_documents.h"
#include "sqlite_test_access.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using nlohmann::json;
using test::CRawDatabase;

constexpr std::int64_t kDay = 86'400'000;

struct S_Console
{
    std::string out;
    std::string err;
};

template <typename Action>
S_Console captureConsole(Action&& action)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    action();
    S_Console console;
    console.out = ::testing::internal::GetCapturedStdout();
    console.err = ::testing::internal::GetCapturedStderr();
    return console;
}

class HistoryOperations : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(repository.open(path, error)) << error;
        // Counts every row update, to prove that a document was or was not written.
        ASSERT_EQ(raw.execute("CREATE TABLE IF NOT EXISTS test_updates(n INTEGER);"
                              "CREATE TRIGGER IF NOT EXISTS test_count AFTER UPDATE ON upgrade_history "
                              "BEGIN INSERT INTO test_updates VALUES(1); END;"),
                  "");
    }

    void addPreview(std::uint32_t upgradeNo, std::int64_t startedAt, std::size_t devices = 2)
    {
        ASSERT_TRUE(repository.upsertTaskSnapshot(
            test::makeSnapshotWrite(upgradeNo, test::taskId(upgradeNo), startedAt, devices), error))
            << error;
    }

    // A task that ran and ended with the status at completedAt.
    void addFinished(std::uint32_t upgradeNo, std::int64_t completedAt, const std::string& status = "SUCCESS")
    {
        addPreview(upgradeNo, completedAt - 1000);
        json state = test::makeStateDocument(upgradeNo, test::taskId(upgradeNo), 2, completedAt - 1000);
        ASSERT_TRUE(repository.updateRunningState({upgradeNo, completedAt - 500, "RUNNING", toJsonText(state)}, error));
        test::finishStateDocument(state, status, status == "SUCCESS" ? "SUCCESS" : "FAILED", completedAt);
        ASSERT_TRUE(repository.finalizeReport({upgradeNo, completedAt, completedAt, status, toJsonText(state)}, error))
            << error;
    }

    std::optional<S_UpgradeHistoryRecord> record(std::uint32_t upgradeNo)
    {
        std::optional<S_UpgradeHistoryRecord> found;
        EXPECT_TRUE(repository.findRecord(upgradeNo, found, error)) << error;
        return found;
    }

    std::string updateCount() { return raw.scalar("SELECT count(*) FROM test_updates;"); }

    S_Console persist(const json& state)
    {
        return captureConsole([&] { persistPublishedState(repository, 30, toJsonText(state)); });
    }

    json readResponse(const S_HistoryTaskActivity& activity = {}, S_Console* console = nullptr)
    {
        std::string response;
        const S_Console output = captureConsole([&] {
            EXPECT_TRUE(readHistory(repository, 30, 7, activity, response, error)) << error;
        });
        if (console != nullptr)
        {
            *console = output;
        }
        return json::parse(response);
    }

    test::CTempDirectory directory;
    std::filesystem::path path = directory / "upgrade-history.db";
    CUpgradeHistoryRepository repository;
    CRawDatabase raw{path};
    std::string error;
    const std::int64_t now = currentUnixMs();
};

TEST_F(HistoryOperations, PersistsRunningStatesOnceEach)
{
    addPreview(11, now - 1000);
    json state = test::makeStateDocument(11, "T11", 2, now - 900);
    S_Console console = persist(state);
    EXPECT_EQ(console.out + console.err, "");
    EXPECT_EQ(record(11)->stateJson, toJsonText(state));
    EXPECT_EQ(record(11)->status, "RUNNING");
    EXPECT_EQ(updateCount(), "1");

    persist(state);
    EXPECT_EQ(updateCount(), "1") << "an identical document is not written again";

    state["status"] = "ABORTING";
    state["devices"][0]["workflowProgress"] = 30;
    persist(state);
    EXPECT_EQ(record(11)->status, "ABORTING");
    EXPECT_EQ(updateCount(), "2");

    state["devices"][0]["workflowProgress"] = 20;
    console = persist(state);
    EXPECT_EQ(console.err, "[WARN] Stale upgrade state ignored: upgradeNo=11, reason=装置node1进度发生回退\n");
    EXPECT_EQ(updateCount(), "2");
}

TEST_F(HistoryOperations, FinalDocumentsAreWrittenOnce)
{
    addPreview(12, now - 1000);
    json state = test::makeStateDocument(12, "T12", 2, now - 900);
    persist(state);
    test::finishStateDocument(state, "SUCCESS", "SUCCESS", now - 100);
    addFinished(1, now - 31 * kDay);  // expires with the final report's retention pass
    const std::int64_t before = currentUnixMs();
    S_Console console = persist(state);
    const auto stored = record(12);
    ASSERT_TRUE(stored.has_value() && stored->isFinal);
    EXPECT_EQ(stored->status, "SUCCESS");
    ASSERT_TRUE(stored->completedAt.has_value());
    EXPECT_GE(*stored->completedAt, before) << "now is one of the candidates";
    EXPECT_EQ(stored->updatedAt, *stored->completedAt);
    EXPECT_EQ(console.out, "[HISTORY] Final report persisted: upgradeNo=12, status=SUCCESS, completedAt=" +
                               std::to_string(*stored->completedAt) +
                               "\n[HISTORY] Retention cleanup deleted 1 finalized record(s), retentionDays=30\n");
    std::string expectedReport;
    std::vector<std::string> changed;
    ASSERT_TRUE(normalizeFinalReport(toJsonText(state), "SUCCESS", *stored->completedAt, expectedReport, changed, error));
    EXPECT_EQ(stored->reportJson, expectedReport);
    EXPECT_FALSE(record(1).has_value());

    console = persist(state);
    EXPECT_EQ(console.out, "[HISTORY] Idempotent final state ignored: upgradeNo=12, status=SUCCESS\n");

    json conflicting = state;
    test::finishStateDocument(conflicting, "FAILED", "FAILED", now - 100);
    console = persist(conflicting);
    EXPECT_EQ(console.err,
              "[ERROR] Conflicting state arrived after final report: upgradeNo=12, persistedStatus=SUCCESS, "
              "incomingStatus=FAILED\n");
    EXPECT_EQ(record(12)->reportJson, expectedReport);
}

TEST_F(HistoryOperations, FinalDocumentDirectlyAfterPreview)
{
    addPreview(13, now - 1000);
    json state = test::makeStateDocument(13, "T13", 2, now - 900);
    test::finishStateDocument(state, "FAILED", "FAILED", now + kDay);
    persist(state);
    const auto stored = record(13);
    ASSERT_TRUE(stored->isFinal);
    EXPECT_EQ(stored->completedAt, now + kDay) << "a later finishedAt wins over now";
    EXPECT_EQ(stored->stateJson, "{}");
    EXPECT_TRUE(json::parse(readResponse()["records"][0]["finalized"].dump()).get<bool>())
        << "the record stays visible";
}

TEST_F(HistoryOperations, PersistenceFailuresAreLogged)
{
    S_Console console = captureConsole([&] { persistPublishedState(repository, 30, "{\"a\":"); });
    EXPECT_EQ(console.err.rfind("[WARN] Upgrade state persistence JSON parse failed: ", 0), 0u) << console.err;

    json state = test::makeStateDocument(77, "T77");
    console = persist(state);
    EXPECT_EQ(console.err,
              "[WARN] Upgrade state persistence skipped because task snapshot does not exist: upgradeNo=77\n");

    addPreview(77, now - 1000, 1);
    state["progress"] = 10;
    console = persist(state);
    EXPECT_EQ(console.err, "[WARN] Upgrade state persistence rejected an invalid state: state.progress is deprecated\n");
    EXPECT_EQ(record(77)->stateJson, "{}");

    state.erase("progress");
    raw.execute("CREATE TRIGGER test_block BEFORE UPDATE ON upgrade_history BEGIN SELECT RAISE(ABORT, 'BLOCKED'); END;");
    console = persist(state);
    EXPECT_EQ(console.err, "[WARN] Upgrade running state persistence failed: Cannot update running state: BLOCKED\n");
    test::finishStateDocument(state, "SUCCESS", "SUCCESS", now);
    console = persist(state);
    EXPECT_EQ(console.err,
              "[WARN] Upgrade final report persistence failed: Cannot finalize upgrade report: BLOCKED\n");

    repository.close();
    console = persist(state);
    EXPECT_EQ(console.err,
              "[WARN] Upgrade state persistence cannot read history: Upgrade history repository is not open\n");
}

TEST_F(HistoryOperations, ReadHistoryResponse)
{
    addPreview(1, now - 3000);
    addFinished(2, now - 500, "FAILED");  // started at now - 1500
    addPreview(3, now - 2000);
    json running = test::makeStateDocument(3, "T3", 2, now - 2000);
    ASSERT_TRUE(repository.updateRunningState({3, now - 1500, "RUNNING", toJsonText(running)}, error));

    const json response = readResponse();
    EXPECT_EQ(response["status"], "READY");
    EXPECT_EQ(response["ready"], true);
    EXPECT_EQ(response["operation"], "UPGRADE_HISTORY_READ");
    EXPECT_EQ(response["sceneGeneration"], 7);
    EXPECT_EQ(response["recordCount"], 3);
    EXPECT_EQ(response["skippedRecordCount"], 0);
    const json& records = response["records"];
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["upgradeNo"], 2);
    EXPECT_EQ(records[1]["upgradeNo"], 3);
    EXPECT_EQ(records[2]["upgradeNo"], 1);
    EXPECT_EQ(records[2]["completedAt"], nullptr);
    EXPECT_EQ(records[2]["report"], nullptr);
    EXPECT_EQ(records[2]["state"], json::object());
    EXPECT_EQ(records[2]["finalized"], false);
    EXPECT_EQ(records[2]["snapshot"], test::makeSnapshotDocument(1, "T1", 2));
    EXPECT_EQ(records[1]["state"], running);
    EXPECT_EQ(records[0]["status"], "FAILED");
    EXPECT_EQ(records[0]["finalized"], true);
    EXPECT_EQ(records[0]["completedAt"], now - 500);
    EXPECT_EQ(records[0]["report"]["finishedAt"], now - 500);
    EXPECT_EQ(records[0].size(), 10u);

    repository.close();
    std::string text;
    captureConsole([&] { EXPECT_FALSE(readHistory(repository, 30, 7, {}, text, error)); });
    EXPECT_EQ(error, "Upgrade history repository is not open");
}

TEST_F(HistoryOperations, IncompatibleRecordsAreHiddenThenRemoved)
{
    addPreview(1, now - 3000);
    addPreview(2, now - 2000);
    json broken = test::makeStateDocument(2, "T2", 2);
    broken["devices"][0]["progress"] = 3;
    ASSERT_TRUE(repository.updateRunningState({2, now, "RUNNING", toJsonText(broken)}, error));

    S_Console console;
    json response = readResponse({true, std::nullopt}, &console);
    EXPECT_EQ(response["recordCount"], 1);
    EXPECT_EQ(response["skippedRecordCount"], 1);
    EXPECT_EQ(console.err, "[WARN] [HISTORY] Incompatible local history will be cleared after the current upgrade "
                           "finishes; affected records are hidden now\n");
    response = readResponse({false, 1u}, &console);
    EXPECT_EQ(response["skippedRecordCount"], 1) << "the prepared task 1 is unfinished";
    EXPECT_TRUE(record(2).has_value());

    response = readResponse({false, 99u}, &console);
    EXPECT_EQ(console.out, "[HISTORY] Removed 1 incompatible local history record(s) during read; valid records "
                           "were retained\n");
    EXPECT_FALSE(record(2).has_value());
    EXPECT_EQ(response["recordCount"], 1);
}

TEST_F(HistoryOperations, LegacyFinalReportsAreNormalizedWhenRead)
{
    addPreview(5, now - 1000);
    json report = test::makeStateDocument(5, "T5", 2, now - 1000);  // still says RUNNING and active
    ASSERT_TRUE(repository.finalizeReport({5, now, now, "STOPPED", toJsonText(report)}, error)) << error;
    S_Console console;
    const json response = readResponse({}, &console);
    EXPECT_EQ(console.err, "[WARN] [HISTORY] Normalized legacy final report: upgradeNo=5, "
                           "fields=status,active,finishedAt\n");
    EXPECT_EQ(response["records"][0]["report"]["status"], "STOPPED");
    EXPECT_EQ(response["records"][0]["report"]["active"], false);
    EXPECT_EQ(response["records"][0]["report"]["finishedAt"], now);
}

TEST_F(HistoryOperations, RetentionRemovesOnlyExpiredFinalRecords)
{
    addFinished(1, now - 31 * kDay);
    addFinished(2, now - 29 * kDay);
    addPreview(3, now - 400 * kDay);
    addFinished(4, now - 400 * kDay);  // named by an unfinished rollout
    repository.setRetentionHold([] { return std::vector<std::uint32_t>{9, 4}; });
    S_Console console;
    const json response = readResponse({}, &console);
    EXPECT_EQ(console.out, "[HISTORY] Retention cleanup deleted 1 finalized record(s), retentionDays=30\n");
    EXPECT_EQ(response["recordCount"], 3);
    EXPECT_FALSE(record(1).has_value());
    EXPECT_TRUE(record(3).has_value());
    EXPECT_TRUE(record(4).has_value());

    repository.close();
    console = captureConsole([&] { cleanupHistoryRetention(repository, 30); });
    EXPECT_EQ(console.err, "[WARN] Upgrade history retention cleanup failed: Upgrade history repository is not open\n");
}

TEST_F(HistoryOperations, ClearHistoryRules)
{
    addFinished(1, now - 1000);
    addPreview(2, now - 500);
    std::string response;
    S_Console console = captureConsole([&] { EXPECT_FALSE(clearHistory(repository, {true, std::nullopt}, response, error)); });
    EXPECT_EQ(error, "An upgrade is active; history cannot be cleared");
    EXPECT_EQ(console.out, "[HISTORY] Clear request received\n");
    EXPECT_EQ(console.err, "[HISTORY] Clear rejected: An upgrade is active; history cannot be cleared\n");
    captureConsole([&] { EXPECT_FALSE(clearHistory(repository, {false, 2u}, response, error)); });
    EXPECT_EQ(error, "A prepared or unfinished upgrade exists; history cannot be cleared");
    EXPECT_TRUE(response.empty());
    captureConsole([&] { EXPECT_FALSE(clearHistory(repository, {false, 1u, true}, response, error)); });
    EXPECT_EQ(error, "A rollout is not finished");

    console = captureConsole([&] { EXPECT_TRUE(clearHistory(repository, {false, 1u}, response, error)) << error; });
    EXPECT_EQ(response, "{\"deletedCount\":2,\"operation\":\"UPGRADE_HISTORY_CLEAR\",\"status\":\"READY\"}");
    EXPECT_EQ(console.out, "[HISTORY] Clear request received\n[HISTORY] Cleared 2 local history record(s)\n");

    repository.close();
    captureConsole([&] { EXPECT_FALSE(clearHistory(repository, {false, 1u}, response, error)); });
    EXPECT_EQ(error, "Upgrade history repository is not open");
    console = captureConsole([&] { EXPECT_FALSE(clearHistory(repository, {}, response, error)); });
    EXPECT_EQ(console.err, "[HISTORY] Clear failed: Upgrade history repository is not open\n");
}

TEST_F(HistoryOperations, StartupRemovesIncompatibleRecords)
{
    addPreview(1, now - 3000);
    addFinished(2, now - 2000);
    addPreview(3, now - 1000);
    raw.execute("UPDATE upgrade_history SET status='LEGACY' WHERE upgrade_no=3;");
    raw.execute("UPDATE upgrade_history SET snapshot_json='{\"targets\":[]}' WHERE upgrade_no=1;");
    S_Console console = captureConsole([&] { EXPECT_TRUE(removeIncompatibleHistoryAtStartup(repository, error)); });
    EXPECT_EQ(console.out,
              "[HISTORY] Incompatible local history detected: upgradeNo=3, reason=record lifecycle fields are "
              "inconsistent. Scheduling this record for removal.\n"
              "[HISTORY] Incompatible local history detected: upgradeNo=1, reason=snapshot targets must be a "
              "non-empty array. Scheduling this record for removal.\n"
              "[HISTORY] Removed 2 incompatible local history record(s); valid records were retained\n");
    EXPECT_TRUE(record(2).has_value());
    EXPECT_FALSE(record(3).has_value());

    addPreview(4, now);
    raw.execute("UPDATE upgrade_history SET status='LEGACY' WHERE upgrade_no=4;"
                "CREATE TRIGGER test_block BEFORE DELETE ON upgrade_history BEGIN SELECT RAISE(ABORT, 'BLOCKED'); END;");
    console = captureConsole([&] { EXPECT_TRUE(removeIncompatibleHistoryAtStartup(repository, error)); });
    EXPECT_NE(console.err.find("[WARN] [HISTORY] Cannot remove incompatible local history during startup; records "
                               "will be hidden when history is read: Cannot delete selected upgrade history: BLOCKED"),
              std::string::npos)
        << console.err;

    repository.close();
    captureConsole([&] { EXPECT_FALSE(removeIncompatibleHistoryAtStartup(repository, error)); });
    EXPECT_EQ(error, "Upgrade history repository is not open");
}

}  // namespace
}  // namespace ota::backend

namespace ota::backend
{
namespace
{

TEST_F(HistoryOperations, CachedReadsMatchFreshReadsAndFollowRewrites)
{
    addFinished(1, now - 1000);
    addPreview(2, now - 500);
    CHistoryRecordCache cache;
    std::string fresh;
    std::string cached;
    captureConsole([&] {
        EXPECT_TRUE(readHistory(repository, cache, 30, 7, {}, cached, error));
        EXPECT_TRUE(readHistory(repository, cache, 30, 7, {}, cached, error));
        EXPECT_TRUE(readHistory(repository, 30, 7, {}, fresh, error));
    });
    EXPECT_EQ(cached, fresh);
    EXPECT_EQ(cached, toJsonText(json::parse(cached))) << "compact, keys in byte order";

    // The same number written again after a clear must not be served from the old entry.
    std::uint32_t deleted = 0;
    ASSERT_TRUE(repository.clearAll(deleted, error));
    addFinished(1, now - 100, "FAILED");
    captureConsole([&] { EXPECT_TRUE(readHistory(repository, cache, 30, 7, {}, cached, error)); });
    EXPECT_EQ(json::parse(cached)["records"][0]["status"], "FAILED");
}

TEST_F(HistoryOperations, StartupCheckFillsTheCacheWithFinalizedRecordsOnly)
{
    addFinished(1, now - 1000);
    addPreview(2, now - 500);
    addFinished(3, now - 100, "FAILED");
    std::vector<S_UpgradeHistoryRecord> records;
    ASSERT_TRUE(repository.listRecords(records, error));
    CHistoryRecordCache cache;
    captureConsole([&] { EXPECT_TRUE(removeIncompatibleHistoryAtStartup(repository, cache, error)); });
    for (const S_UpgradeHistoryRecord& stored : records)
    {
        EXPECT_EQ(cache.contains(stored.upgradeNo, CHistoryRecordCache::fingerprintOf(stored)), stored.isFinal)
            << stored.upgradeNo;
    }

    std::string warmed;
    std::string fresh;
    captureConsole([&] {
        EXPECT_TRUE(readHistory(repository, cache, 30, 7, {}, warmed, error));
        EXPECT_TRUE(readHistory(repository, 30, 7, {}, fresh, error));
    });
    EXPECT_EQ(warmed, fresh);
}

}  // namespace
}  // namespace ota::backend
