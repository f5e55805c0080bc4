// The stored schema is shared with older builds that open the same file: deletions must leave it
// exactly as it is, and a file of either build must serve the other.
#include "history/upgrade_history_repository.h"

#include "history/sqlite_transaction.h"

#include "history_documents.h"
#include "sqlite_test_access.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

namespace ota::backend
{
namespace
{

using test::CRawDatabase;
using test::CTempDirectory;
using test::makeSnapshotWrite;

constexpr std::int64_t kSchemaT0 = 1'700'000'000'000;

// What an older build runs when it opens the file, verbatim.
constexpr const char* kOlderBuildSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS upgrade_history("
    "upgrade_no INTEGER PRIMARY KEY CHECK(upgrade_no>0 AND upgrade_no<=4294967295),"
    "upgrade_id TEXT NOT NULL CHECK(length(upgrade_id)>0),"
    "started_at INTEGER NOT NULL CHECK(started_at>0),"
    "updated_at INTEGER NOT NULL CHECK(updated_at>=started_at),"
    "completed_at INTEGER CHECK(completed_at IS NULL OR completed_at>=started_at),"
    "status TEXT NOT NULL CHECK(length(status)>0),"
    "snapshot_json TEXT NOT NULL CHECK(length(snapshot_json)>0),"
    "state_json TEXT NOT NULL DEFAULT '{}',"
    "report_json TEXT,"
    "is_final INTEGER NOT NULL DEFAULT 0 CHECK(is_final IN (0,1)),"
    "CHECK((is_final=0 AND completed_at IS NULL AND report_json IS NULL) OR "
    "(is_final=1 AND completed_at IS NOT NULL AND report_json IS NOT NULL AND length(report_json)>0)));"
    "CREATE INDEX IF NOT EXISTS idx_upgrade_history_started_at ON upgrade_history(started_at DESC, "
    "upgrade_no DESC);"
    "CREATE TRIGGER IF NOT EXISTS trg_upgrade_history_final_update BEFORE UPDATE ON upgrade_history "
    "WHEN OLD.is_final=1 BEGIN SELECT RAISE(ABORT, 'FINAL_REPORT_IMMUTABLE'); END;"
    "CREATE TRIGGER IF NOT EXISTS trg_upgrade_history_final_delete BEFORE DELETE ON upgrade_history "
    "WHEN OLD.is_final=1 BEGIN SELECT RAISE(ABORT, 'FINAL_REPORT_IMMUTABLE'); END;"
    "CREATE TRIGGER IF NOT EXISTS trg_upgrade_history_started_at_immutable BEFORE UPDATE OF started_at ON "
    "upgrade_history WHEN NEW.started_at<>OLD.started_at BEGIN SELECT RAISE(ABORT, 'STARTED_AT_IMMUTABLE'); "
    "END;"
    "CREATE TRIGGER IF NOT EXISTS trg_upgrade_history_updated_at_monotonic BEFORE UPDATE OF updated_at ON "
    "upgrade_history WHEN NEW.updated_at<OLD.updated_at BEGIN SELECT RAISE(ABORT, "
    "'UPDATED_AT_NOT_MONOTONIC'); END;"
    "CREATE TRIGGER IF NOT EXISTS trg_upgrade_history_completed_at_order BEFORE UPDATE OF completed_at ON "
    "upgrade_history WHEN NEW.completed_at IS NOT NULL AND NEW.completed_at<OLD.updated_at BEGIN "
    "SELECT RAISE(ABORT, 'COMPLETED_AT_BEFORE_UPDATED_AT'); END;"
    "PRAGMA user_version=1;"
    "COMMIT;";

// An older build's retention: the delete trigger dropped and created again in one transaction.
constexpr const char* kOlderBuildRetention =
    "BEGIN IMMEDIATE;DROP TRIGGER IF EXISTS trg_upgrade_history_final_delete;"
    "DELETE FROM upgrade_history WHERE is_final=1;"
    "CREATE TRIGGER IF NOT EXISTS trg_upgrade_history_final_delete BEFORE DELETE ON upgrade_history "
    "WHEN OLD.is_final=1 BEGIN SELECT RAISE(ABORT, 'FINAL_REPORT_IMMUTABLE'); END;COMMIT;";

// Every stored schema object with its text, by name, and the schema version.
std::string schemaText(CRawDatabase& raw)
{
    return raw.scalar(
               "SELECT group_concat(type || ' ' || name || ' ' || tbl_name || ' ' || sql, char(10)) FROM "
               "(SELECT * FROM sqlite_master WHERE sql IS NOT NULL ORDER BY name);") +
           "\nuser_version=" + raw.scalar("PRAGMA user_version;");
}

class HistorySchemaTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(repository.open(path, error)) << error; }

    void addRows(std::uint32_t first, std::uint32_t last, std::int64_t startedAt)
    {
        for (std::uint32_t number = first; number <= last; ++number)
        {
            ASSERT_TRUE(repository.upsertTaskSnapshot(
                makeSnapshotWrite(number, test::taskId(number), startedAt), error))
                << error;
            if (number % 2 == 1)
            {
                ASSERT_TRUE(repository.finalizeReport({number, startedAt + 10, startedAt + 10, "SUCCESS",
                                                       "{\"report\":" + std::to_string(number) + "}"},
                                                      error))
                    << error;
            }
        }
    }

    std::vector<S_UpgradeHistoryRecord> records()
    {
        std::vector<S_UpgradeHistoryRecord> all;
        EXPECT_TRUE(repository.listRecords(all, error)) << error;
        return all;
    }

    CTempDirectory directory;
    std::filesystem::path path = directory / "upgrade-history.db";
    CUpgradeHistoryRepository repository;
    std::string error;
};

bool sameRecords(const std::vector<S_UpgradeHistoryRecord>& left,
                 const std::vector<S_UpgradeHistoryRecord>& right)
{
    return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                      [](const auto& a, const auto& b)
                      {
                          return a.upgradeNo == b.upgradeNo && a.upgradeId == b.upgradeId &&
                                 a.startedAt == b.startedAt && a.updatedAt == b.updatedAt &&
                                 a.completedAt == b.completedAt && a.status == b.status &&
                                 a.snapshotJson == b.snapshotJson && a.stateJson == b.stateJson &&
                                 a.reportJson == b.reportJson && a.isFinal == b.isFinal;
                      });
}

TEST_F(HistorySchemaTest, DeletionsLeaveTheStoredSchemaAsItWas)
{
    CRawDatabase raw(path);
    const std::string schema = schemaText(raw);
    const std::string order = raw.scalar("SELECT group_concat(name) FROM sqlite_master;");
    addRows(1, 6, kSchemaT0);

    std::uint32_t deleted = 0;
    ASSERT_TRUE(repository.deleteExpiredFinalized(kSchemaT0 + 11, deleted, error)) << error;
    EXPECT_EQ(deleted, 3u) << "the finalized rows 1, 3 and 5";
    // The retention's VACUUM counts as a schema change of its own; the deletions below do not.
    const std::string cookie = raw.scalar("PRAGMA schema_version;");
    ASSERT_TRUE(repository.deleteSelected({2, 7, 9, 4}, deleted, error)) << error;
    EXPECT_EQ(deleted, 2u);
    addRows(7, 10, kSchemaT0);
    ASSERT_TRUE(repository.deleteSelected({7, 8}, deleted, error)) << error;
    EXPECT_EQ(deleted, 2u) << "a finalized and an open row, each counted once";
    ASSERT_TRUE(repository.clearAll(deleted, error)) << error;
    EXPECT_EQ(deleted, 3u);

    EXPECT_EQ(schemaText(raw), schema);
    EXPECT_EQ(raw.scalar("PRAGMA schema_version;"), cookie) << "no schema statement ran";
    EXPECT_EQ(raw.scalar("SELECT group_concat(name) FROM sqlite_master;"), order)
        << "no object was created again";
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM upgrade_history;"), "0");

    addRows(11, 11, kSchemaT0);
    EXPECT_EQ(raw.execute("DELETE FROM upgrade_history WHERE upgrade_no=11;"), "FINAL_REPORT_IMMUTABLE");
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET status='X' WHERE upgrade_no=11;"),
              "FINAL_REPORT_IMMUTABLE");
}

TEST_F(HistorySchemaTest, FailedDeletionsRestoreEveryFinalizedRowUnchanged)
{
    addRows(1, 700, kSchemaT0);
    const std::vector<S_UpgradeHistoryRecord> before = records();
    CRawDatabase raw(path);
    // Row 651 (finalized, in the second batch of 500) cannot be deleted.
    ASSERT_EQ(
        raw.execute("CREATE TRIGGER test_block BEFORE DELETE ON upgrade_history WHEN OLD.upgrade_no=651 "
                    "BEGIN SELECT RAISE(ABORT, 'BLOCKED'); END;"),
        "");
    std::vector<std::uint32_t> all;
    for (std::uint32_t number = 1; number <= 700; ++number)
    {
        all.push_back(number);
    }
    std::uint32_t deleted = 0;
    EXPECT_FALSE(repository.deleteSelected(all, deleted, error));
    EXPECT_TRUE(sameRecords(records(), before)) << "finalized rows of the first batch came back as they were";
    EXPECT_FALSE(repository.deleteExpiredFinalized(kSchemaT0 * 2, deleted, error));
    EXPECT_TRUE(sameRecords(records(), before));
    EXPECT_FALSE(repository.clearAll(deleted, error));
    EXPECT_TRUE(sameRecords(records(), before));
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM upgrade_history WHERE is_final=1;"), "350");
}

TEST_F(HistorySchemaTest, TablesOfOtherSubsystemsShareTheConnectionAndItsTransactions)
{
    const auto writeEntry = [](const char* text)
    {
        return [text](CSqliteConnection& connection, std::string& workError)
        {
            CSqliteTransaction transaction(connection);
            if (!transaction.begin(workError) ||
                !connection.execute("CREATE TABLE IF NOT EXISTS test_audit(entry TEXT NOT NULL);", workError))
            {
                return false;
            }
            CSqliteCachedStatement insert =
                connection.statement("INSERT INTO test_audit VALUES(?1);", workError);
            if (!insert || (text != nullptr && !insert->bindText(1, text, workError)) ||
                insert->step() != SQLITE_DONE)
            {
                workError = "entry refused";
                return false;  // rolled back: the table goes too
            }
            return transaction.commit(workError);
        };
    };
    EXPECT_FALSE(repository.runOnConnection(writeEntry(nullptr), error));
    EXPECT_EQ(error, "entry refused");
    ASSERT_TRUE(repository.runOnConnection(writeEntry("cleared history"), error)) << error;
    CRawDatabase raw(path);
    EXPECT_EQ(raw.scalar("SELECT group_concat(entry) FROM test_audit;"), "cleared history");
    addRows(1, 1, kSchemaT0);  // the history's own statements still work beside the other table's

    repository.close();
    EXPECT_FALSE(repository.runOnConnection(writeEntry("late"), error));
    EXPECT_EQ(error, "Upgrade history repository is not open");
}

TEST(HistorySchemaCompatibility, FilesOfOlderBuildsAndOfThisOneServeEachOther)
{
    CTempDirectory directory;
    std::string error;

    // An older build's file, used by this build.
    const std::filesystem::path older = directory / "older.db";
    {
        CRawDatabase raw(older);
        ASSERT_EQ(raw.execute("PRAGMA journal_mode=WAL;"), "");
        ASSERT_EQ(raw.execute(kOlderBuildSchemaScript), "");
        ASSERT_EQ(raw.execute(kOlderBuildRetention), "");  // moves the delete trigger to the end
    }
    std::string olderSchema;
    {
        CRawDatabase raw(older);
        olderSchema = schemaText(raw);
    }
    {
        CUpgradeHistoryRepository repository;
        ASSERT_TRUE(repository.open(older, error)) << error;
        ASSERT_TRUE(repository.upsertTaskSnapshot(makeSnapshotWrite(1, "T1", kSchemaT0), error)) << error;
        ASSERT_TRUE(repository.finalizeReport({1, kSchemaT0 + 1, kSchemaT0 + 1, "SUCCESS", "{}"}, error))
            << error;
        std::uint32_t deleted = 0;
        ASSERT_TRUE(repository.deleteExpiredFinalized(kSchemaT0 + 2, deleted, error)) << error;
        EXPECT_EQ(deleted, 1u);
    }

    // This build's file, used by an older build.
    const std::filesystem::path current = directory / "current.db";
    {
        CUpgradeHistoryRepository repository;
        ASSERT_TRUE(repository.open(current, error)) << error;
        ASSERT_TRUE(repository.upsertTaskSnapshot(makeSnapshotWrite(2, "T2", kSchemaT0), error)) << error;
        ASSERT_TRUE(repository.finalizeReport({2, kSchemaT0 + 1, kSchemaT0 + 1, "SUCCESS", "{}"}, error))
            << error;
    }
    CRawDatabase raw(current);
    EXPECT_EQ(schemaText(raw), olderSchema) << "both builds store the same schema text";
    const std::string cookie = raw.scalar("PRAGMA schema_version;");
    ASSERT_EQ(raw.execute(kOlderBuildSchemaScript), "");
    EXPECT_EQ(raw.scalar("PRAGMA schema_version;"), cookie) << "an older build finds nothing to create";
    EXPECT_EQ(raw.execute("UPDATE upgrade_history SET status='X' WHERE upgrade_no=2;"),
              "FINAL_REPORT_IMMUTABLE");
    ASSERT_EQ(raw.execute(kOlderBuildRetention), "");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM upgrade_history;"), "0");

    CRawDatabase olderAgain(older);
    EXPECT_EQ(schemaText(olderAgain), olderSchema)
        << "this build left the older build's schema as it found it";
}

}  // namespace
}  // namespace ota::backend
