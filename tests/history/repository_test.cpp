#include "history/upgrade_history_repository.h"

#include "history_documents.h"
#include "sqlite_test_access.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

using test::CRawDatabase;
using test::CTempDirectory;
using test::makeSnapshotWrite;

constexpr std::int64_t kT0 = 1'700'000'000'000;

class HistoryRepository : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(repository.open(path, error)) << error; }

    // A preview row, optionally taken to its final report.
    void addRow(std::uint32_t upgradeNo, std::int64_t startedAt, bool finalized = false)
    {
        ASSERT_TRUE(repository.upsertTaskSnapshot(makeSnapshotWrite(upgradeNo, test::taskId(upgradeNo),
                                                                    startedAt),
                                                  error))
            << error;
        if (finalized)
        {
            ASSERT_TRUE(repository.finalizeReport({upgradeNo, startedAt + 10, startedAt + 10, "SUCCESS", "{}"}, error))
                << error;
        }
    }

    std::size_t rowCount()
    {
        std::vector<S_UpgradeHistoryRecord> records;
        EXPECT_TRUE(repository.listRecords(records, error)) << error;
        return records.size();
    }

    CTempDirectory directory;
    std::filesystem::path path = directory / "a/b/upgrade-history.db";
    CUpgradeHistoryRepository repository;
    std::string error;
};

TEST_F(HistoryRepository, OpenCreatesDirectoriesSchemaAndVersion)
{
    EXPECT_TRUE(repository.isOpen());
    CRawDatabase raw(path);
    EXPECT_EQ(raw.scalar("PRAGMA user_version;"), "1");
    EXPECT_EQ(raw.scalar("PRAGMA journal_mode;"), "wal");
    EXPECT_EQ(raw.scalar("SELECT group_concat(name, ',') FROM (SELECT name FROM sqlite_master WHERE "
                         "type IN ('index','trigger') AND name NOT LIKE 'sqlite_%' ORDER BY name);"),
              "idx_upgrade_history_started_at,trg_upgrade_history_completed_at_order,"
              "trg_upgrade_history_final_delete,trg_upgrade_history_final_update,"
              "trg_upgrade_history_started_at_immutable,trg_upgrade_history_updated_at_monotonic");
}

TEST_F(HistoryRepository, OpenStatesAndClosedOperations)
{
    EXPECT_FALSE(repository.open(path, error));
    EXPECT_EQ(error, "Upgrade history repository is already open");
    EXPECT_TRUE(repository.isOpen());

    addRow(1, kT0);
    repository.close();
    repository.close();
    EXPECT_FALSE(repository.isOpen());
    std::optional<S_UpgradeHistoryRecord> record;
    std::vector<S_UpgradeHistoryRecord> records;
    std::uint32_t count = 0;
    bool exists = false;
    const std::string closed = "Upgrade history repository is not open";
    EXPECT_FALSE(repository.findRecord(1, record, error));
    EXPECT_EQ(error, closed);
    EXPECT_FALSE(repository.listRecords(records, error));
    EXPECT_EQ(error, closed);
    EXPECT_FALSE(repository.upgradeIdExists("T1", exists, error));
    EXPECT_EQ(error, closed);
    EXPECT_FALSE(repository.clearAll(count, error));
    EXPECT_EQ(error, closed);
    EXPECT_FALSE(repository.updateRunningState({1, kT0, "RUNNING", "{}"}, error));
    EXPECT_EQ(error, closed);

    CUpgradeHistoryRepository other;
    EXPECT_FALSE(other.open("", error));
    EXPECT_EQ(error, "Upgrade history database path must not be empty");
    directory.writeFile("blocker", "x");
    EXPECT_FALSE(other.open(directory / "blocker/sub/history.db", error));
    EXPECT_EQ(error.rfind("Cannot create upgrade history directory: ", 0), 0u) << error;
    EXPECT_FALSE(other.isOpen());

    ASSERT_TRUE(repository.open(path, error)) << error;
    ASSERT_TRUE(repository.findRecord(1, record, error)) << error;
    EXPECT_TRUE(record.has_value()) << "rows survive a reopen";
}

TEST(HistoryRepositoryMemory, MemoryDatabaseCreatesNoFiles)
{
    CTempDirectory directory;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(directory.path());
    CUpgradeHistoryRepository repository;
    std::string error;
    ASSERT_TRUE(repository.open(":memory:", error)) << error;
    EXPECT_TRUE(repository.upsertTaskSnapshot(makeSnapshotWrite(5, "M", kT0), error)) << error;
    std::optional<S_UpgradeHistoryRecord> record;
    EXPECT_TRUE(repository.findRecord(5, record, error) && record.has_value());
    std::uint32_t deleted = 0;
    EXPECT_TRUE(repository.finalizeReport({5, kT0 + 1, kT0 + 1, "FAILED", "{}"}, error)) << error;
    EXPECT_TRUE(repository.deleteExpiredFinalized(kT0 + 2, deleted, error)) << error;
    EXPECT_EQ(deleted, 1u);
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
}

TEST_F(HistoryRepository, UpgradeIdRule)
{
    bool exists = true;
    const std::string rule = "upgradeId must contain 1-32 ASCII letters, digits or underscore";
    for (const std::string& bad : {std::string(33, 'a'), std::string("a-b"), std::string(""), std::string("ä")})
    {
        EXPECT_FALSE(repository.upgradeIdExists(bad, exists, error)) << bad;
        EXPECT_EQ(error, rule);
    }
    const std::string longest(32, 'Z');
    EXPECT_TRUE(repository.upgradeIdExists(longest, exists, error)) << error;
    EXPECT_FALSE(exists);
    ASSERT_TRUE(repository.upsertTaskSnapshot(makeSnapshotWrite(3, longest, kT0), error)) << error;
    EXPECT_TRUE(repository.upgradeIdExists(longest, exists, error));
    EXPECT_TRUE(exists);
}

TEST_F(HistoryRepository, UpsertChecksInOrder)
{
    struct S_Case
    {
        S_TaskSnapshotWrite write;
        std::string message;
    };
    const std::vector<S_Case> cases = {
        {{0, "", 0, 0, "", ""}, "upgradeNo must be greater than zero"},
        {{1, "", 0, 0, "", ""}, "updatedAt must be greater than zero"},
        {{1, "", 0, 5, "", ""}, "status must not be empty"},
        {{1, "a-b", 0, 5, "S", ""}, "upgradeId must contain 1-32 ASCII letters, digits or underscore"},
        {{1, "A", 0, 5, "S", ""}, "Task snapshot startedAt must be greater than zero"},
        {{1, "A", 6, 5, "S", ""}, "Task snapshot updatedAt cannot move backwards before startedAt"},
        {{1, "A", 5, 5, "S", ""}, "snapshotJson must not be empty"},
    };
    for (const S_Case& item : cases)
    {
        EXPECT_FALSE(repository.upsertTaskSnapshot(item.write, error));
        EXPECT_EQ(error, item.message);
    }
    EXPECT_EQ(rowCount(), 0u);
}

TEST_F(HistoryRepository, UpsertKeepsIdentityAndTime)
{
    S_TaskSnapshotWrite write = makeSnapshotWrite(7, "A", kT0);
    ASSERT_TRUE(repository.upsertTaskSnapshot(write, error)) << error;

    write.updatedAt = kT0 + 5;
    write.snapshotJson = "{\"second\":true}";
    ASSERT_TRUE(repository.upsertTaskSnapshot(write, error)) << error;
    std::optional<S_UpgradeHistoryRecord> record;
    ASSERT_TRUE(repository.findRecord(7, record, error));
    EXPECT_EQ(record->updatedAt, kT0 + 5);
    EXPECT_EQ(record->snapshotJson, "{\"second\":true}");

    write.updatedAt = kT0 + 4;
    EXPECT_FALSE(repository.upsertTaskSnapshot(write, error));
    EXPECT_EQ(error, "Task snapshot updatedAt cannot move backwards");
    write.updatedAt = kT0 + 9;
    write.startedAt = kT0 + 1;
    EXPECT_FALSE(repository.upsertTaskSnapshot(write, error));
    EXPECT_EQ(error, "Task snapshot startedAt is immutable for an existing upgradeNo");

    ASSERT_TRUE(repository.upsertTaskSnapshot(makeSnapshotWrite(9, "B", kT0), error));
    EXPECT_FALSE(repository.upsertTaskSnapshot(makeSnapshotWrite(7, "B", kT0), error));
    EXPECT_EQ(error, "upgradeNo is already bound to another upgradeId");
    EXPECT_FALSE(repository.upsertTaskSnapshot(makeSnapshotWrite(8, "B", kT0), error));
    EXPECT_EQ(error, "upgradeId is already bound to another upgradeNo");

    ASSERT_TRUE(repository.finalizeReport({7, kT0 + 20, kT0 + 20, "SUCCESS", "{}"}, error)) << error;
    write = makeSnapshotWrite(7, "A", kT0);
    write.updatedAt = kT0 + 30;
    EXPECT_FALSE(repository.upsertTaskSnapshot(write, error));
    EXPECT_EQ(error, "Finalized upgrade history cannot be modified");
}

TEST_F(HistoryRepository, RunningStateUpdates)
{
    EXPECT_FALSE(repository.updateRunningState({1, kT0, "RUNNING", ""}, error));
    EXPECT_EQ(error, "stateJson must not be empty");
    EXPECT_FALSE(repository.updateRunningState({0, kT0, "RUNNING", "{}"}, error));
    EXPECT_EQ(error, "upgradeNo must be greater than zero");
    EXPECT_FALSE(repository.updateRunningState({1, kT0, "RUNNING", "{}"}, error));
    EXPECT_EQ(error, "Upgrade history record does not exist");

    addRow(1, kT0);
    EXPECT_TRUE(repository.updateRunningState({1, kT0 + 5, "RUNNING", "{\"a\":1}"}, error)) << error;
    EXPECT_TRUE(repository.updateRunningState({1, kT0 + 5, "ABORTING", "{\"a\":2}"}, error)) << "equal times pass";
    EXPECT_FALSE(repository.updateRunningState({1, kT0 + 4, "RUNNING", "{}"}, error));
    EXPECT_EQ(error, "Running state updatedAt cannot move backwards");
    std::optional<S_UpgradeHistoryRecord> record;
    ASSERT_TRUE(repository.findRecord(1, record, error));
    EXPECT_EQ(record->status, "ABORTING");
    EXPECT_EQ(record->stateJson, "{\"a\":2}");
    EXPECT_FALSE(record->isFinal);
    EXPECT_FALSE(record->completedAt.has_value());
    EXPECT_FALSE(record->reportJson.has_value());

    ASSERT_TRUE(repository.finalizeReport({1, kT0 + 6, kT0 + 6, "ABORTED", "{\"r\":1}"}, error)) << error;
    EXPECT_FALSE(repository.updateRunningState({1, kT0 + 7, "RUNNING", "{}"}, error));
    EXPECT_EQ(error, "Finalized upgrade history cannot be modified");
}

TEST_F(HistoryRepository, FinalReportChecks)
{
    addRow(1, kT0);
    ASSERT_TRUE(repository.updateRunningState({1, kT0 + 10, "RUNNING", "{}"}, error));
    EXPECT_FALSE(repository.finalizeReport({1, kT0, 0, "SUCCESS", "{}"}, error));
    EXPECT_EQ(error, "Final report timestamps are invalid");
    EXPECT_FALSE(repository.finalizeReport({1, kT0 + 1, kT0 + 2, "SUCCESS", "{}"}, error));
    EXPECT_EQ(error, "Final report timestamps are invalid");
    EXPECT_FALSE(repository.finalizeReport({1, kT0 + 20, kT0 + 20, "SUCCESS", ""}, error));
    EXPECT_EQ(error, "reportJson must not be empty");
    EXPECT_FALSE(repository.finalizeReport({2, kT0 + 20, kT0 + 20, "SUCCESS", "{}"}, error));
    EXPECT_EQ(error, "Upgrade history record does not exist");
    EXPECT_FALSE(repository.finalizeReport({1, kT0 + 20, kT0 + 9, "SUCCESS", "{}"}, error));
    EXPECT_EQ(error, "Final report completedAt must not be earlier than existing updatedAt");

    ASSERT_TRUE(repository.finalizeReport({1, kT0 + 20, kT0 + 15, "SUCCESS", "{\"r\":1}"}, error)) << error;
    EXPECT_FALSE(repository.finalizeReport({1, kT0 + 30, kT0 + 30, "FAILED", "{}"}, error));
    EXPECT_EQ(error, "Upgrade report has already been finalized");
    std::optional<S_UpgradeHistoryRecord> record;
    ASSERT_TRUE(repository.findRecord(1, record, error));
    EXPECT_TRUE(record->isFinal);
    EXPECT_EQ(record->status, "SUCCESS");
    EXPECT_EQ(record->completedAt, kT0 + 15);
    EXPECT_EQ(record->updatedAt, kT0 + 20);
    EXPECT_EQ(record->reportJson, "{\"r\":1}");

    EXPECT_FALSE(repository.findRecord(0, record, error));
    EXPECT_EQ(error, "upgradeNo must be greater than zero");
    ASSERT_TRUE(repository.findRecord(99, record, error));
    EXPECT_FALSE(record.has_value());
}

TEST_F(HistoryRepository, ListingOrderAndLimit)
{
    addRow(1, kT0 + 100);
    addRow(2, kT0);
    addRow(3, kT0 + 100);
    addRow(4, kT0 + 50);
    std::vector<S_UpgradeHistoryRecord> records;
    ASSERT_TRUE(repository.listRecords(records, error, 0)) << error;
    std::vector<std::uint32_t> order;
    for (const auto& record : records)
    {
        order.push_back(record.upgradeNo);
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{3, 1, 4, 2}));
    ASSERT_TRUE(repository.listRecords(records, error, 2));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].upgradeNo, 1u);
}

TEST_F(HistoryRepository, TriggersRefuseForbiddenChanges)
{
    addRow(1, kT0);
    addRow(2, kT0, true);
    CRawDatabase raw(path);
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET status='X' WHERE upgrade_no=2;"), "FINAL_REPORT_IMMUTABLE");
    EXPECT_EQ(raw.execute("DELETE FROM upgrade_history WHERE upgrade_no=2;"), "FINAL_REPORT_IMMUTABLE");
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET started_at=started_at+1 WHERE upgrade_no=1;"),
              "STARTED_AT_IMMUTABLE");
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET updated_at=updated_at-1 WHERE upgrade_no=1;"),
              "UPDATED_AT_NOT_MONOTONIC");
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET updated_at=updated_at+10 WHERE upgrade_no=1;"), "");
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET completed_at=updated_at-1, is_final=1, report_json='{}' "
                          "WHERE upgrade_no=1;"),
              "COMPLETED_AT_BEFORE_UPDATED_AT");
    EXPECT_NE(raw.execute("UPDATE upgrade_history SET is_final=1 WHERE upgrade_no=1;"), "") << "table rule";
    EXPECT_EQ(raw.execute("DELETE FROM upgrade_history WHERE upgrade_no=1;"), "") << "open rows may be deleted";
}

TEST_F(HistoryRepository, ClearAllDeletesEverything)
{
    std::uint32_t deleted = 99;
    ASSERT_TRUE(repository.clearAll(deleted, error)) << error;
    EXPECT_EQ(deleted, 0u);
    addRow(1, kT0);
    addRow(2, kT0, true);
    ASSERT_TRUE(repository.clearAll(deleted, error)) << error;
    EXPECT_EQ(deleted, 2u);
    EXPECT_EQ(rowCount(), 0u);
    addRow(3, kT0, true);
    CRawDatabase raw(path);
    EXPECT_EQ(raw.execute("DELETE FROM upgrade_history;"), "FINAL_REPORT_IMMUTABLE") << "trigger restored";
}

TEST_F(HistoryRepository, ExpiryRemovesOnlyOldFinalizedRows)
{
    addRow(1, 1000, true);   // completed at 1010
    addRow(2, 5000, true);   // completed at 5010
    addRow(3, 10);           // open, very old
    std::uint32_t deleted = 7;
    ASSERT_TRUE(repository.deleteExpiredFinalized(0, deleted, error)) << error;
    EXPECT_EQ(deleted, 0u);
    ASSERT_TRUE(repository.deleteExpiredFinalized(1010, deleted, error)) << error;
    EXPECT_EQ(deleted, 0u) << "completed_at must be below the cutoff";
    ASSERT_TRUE(repository.deleteExpiredFinalized(1011, deleted, error)) << error;
    EXPECT_EQ(deleted, 1u);
    ASSERT_TRUE(repository.deleteExpiredFinalized(kT0 * 2, deleted, error)) << error;
    EXPECT_EQ(deleted, 1u);
    std::optional<S_UpgradeHistoryRecord> record;
    ASSERT_TRUE(repository.findRecord(3, record, error));
    EXPECT_TRUE(record.has_value());
    addRow(4, kT0, true);
    CRawDatabase raw(path);
    EXPECT_EQ(raw.execute("DELETE FROM upgrade_history WHERE upgrade_no=4;"), "FINAL_REPORT_IMMUTABLE");
}

TEST_F(HistoryRepository, SelectedDeletionSortsAndBatches)
{
    addRow(1, kT0, true);
    addRow(2, kT0);
    addRow(3, kT0);
    std::uint32_t deleted = 0;
    EXPECT_FALSE(repository.deleteSelected({3, 0, 1}, deleted, error));
    EXPECT_EQ(error, "upgradeNumbers must not contain zero");
    EXPECT_EQ(rowCount(), 3u);
    ASSERT_TRUE(repository.deleteSelected({}, deleted, error));
    EXPECT_EQ(deleted, 0u);
    ASSERT_TRUE(repository.deleteSelected({3, 3, 1}, deleted, error)) << error;
    EXPECT_EQ(deleted, 2u);
    EXPECT_EQ(rowCount(), 1u);

    std::vector<std::uint32_t> numbers;
    for (std::uint32_t number = 10; number < 1210; ++number)
    {
        addRow(number, kT0, number % 2 == 0);
        numbers.push_back(number);
    }
    numbers.push_back(99999);  // absent numbers simply count nothing
    ASSERT_TRUE(repository.deleteSelected(numbers, deleted, error)) << error;
    EXPECT_EQ(deleted, 1200u);
    EXPECT_EQ(rowCount(), 1u);
}

TEST_F(HistoryRepository, FailedDeletionsRollBackAndKeepTrigger)
{
    for (std::uint32_t number = 1; number <= 700; ++number)
    {
        addRow(number, kT0, number % 2 == 1);
    }
    CRawDatabase raw(path);
    ASSERT_EQ(raw.execute("CREATE TRIGGER test_block BEFORE DELETE ON upgrade_history WHEN OLD.upgrade_no=650 "
                          "BEGIN SELECT RAISE(ABORT, 'BLOCKED'); END;"),
              "");
    std::vector<std::uint32_t> all;
    for (std::uint32_t number = 1; number <= 700; ++number)
    {
        all.push_back(number);
    }
    std::uint32_t deleted = 5;
    EXPECT_FALSE(repository.deleteSelected(all, deleted, error));
    EXPECT_EQ(error, "Cannot delete selected upgrade history: BLOCKED");
    EXPECT_EQ(deleted, 0u);
    EXPECT_EQ(rowCount(), 700u) << "the first batch of 500 was rolled back too";

    EXPECT_FALSE(repository.clearAll(deleted, error));
    EXPECT_EQ(error, "SQLite schema operation failed: BLOCKED");
    EXPECT_EQ(rowCount(), 700u);

    ASSERT_EQ(raw.execute("DROP TRIGGER test_block; CREATE TRIGGER test_block BEFORE DELETE ON upgrade_history "
                          "WHEN OLD.upgrade_no=651 BEGIN SELECT RAISE(ABORT, 'BLOCKED'); END;"),
              "");
    EXPECT_FALSE(repository.deleteExpiredFinalized(kT0 * 2, deleted, error));
    EXPECT_EQ(error, "Cannot delete expired upgrade history: BLOCKED");
    EXPECT_EQ(rowCount(), 700u);
    EXPECT_EQ(raw.execute("DELETE FROM upgrade_history WHERE upgrade_no=1;"), "FINAL_REPORT_IMMUTABLE");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE name='trg_upgrade_history_final_delete';"), "1");
}

TEST_F(HistoryRepository, TwoRepositoriesShareOneFile)
{
    CUpgradeHistoryRepository second;
    ASSERT_TRUE(second.open(path, error)) << error;
    addRow(1, kT0);
    ASSERT_TRUE(second.upsertTaskSnapshot(makeSnapshotWrite(2, "T2", kT0), error)) << error;
    std::vector<S_UpgradeHistoryRecord> records;
    ASSERT_TRUE(second.listRecords(records, error));
    EXPECT_EQ(records.size(), 2u);
    EXPECT_EQ(rowCount(), 2u);
    EXPECT_FALSE(second.upsertTaskSnapshot(makeSnapshotWrite(3, "T1", kT0), error));
    EXPECT_EQ(error, "upgradeId is already bound to another upgradeNo");
}

TEST_F(HistoryRepository, CheckpointReportsReadersHoldingTheLog)
{
    addRow(1, 1000, true);
    addRow(2, 2000);
    CRawDatabase reader(path);
    ASSERT_EQ(reader.execute("BEGIN; SELECT count(*) FROM upgrade_history;"), "");
    std::uint32_t deleted = 0;
    EXPECT_FALSE(repository.deleteExpiredFinalized(kT0, deleted, error));
    EXPECT_EQ(error, "Cannot checkpoint upgrade history WAL: 1 connection(s) still hold the WAL");
    EXPECT_EQ(deleted, 1u) << "the deletion itself was committed";
    reader.execute("COMMIT;");
}

}  // namespace
}  // namespace ota::backend
