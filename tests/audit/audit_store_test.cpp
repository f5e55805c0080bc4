// The audit store on a real database file: entries, their one completion, pages newest first;
// append only against direct SQL; the retention delete; and the upgrade history beside it left
// exactly as it was.
#include "audit/audit_store.h"

#include "common/clock.h"
#include "history/sqlite_test_access.h"
#include "history/upgrade_history_repository.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

namespace ota::backend
{
namespace
{

constexpr std::int64_t kDayMs = 86400000;

S_AuditEntry entryAt(std::int64_t at, const std::string& route = "/api/v1/upgrades/start")
{
    S_AuditEntry entry;
    entry.at = at;
    entry.client = "127.0.0.1:40000";
    entry.method = "POST";
    entry.route = route;
    return entry;
}

class AuditStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(store.open(path, error)) << error;
    }

    std::int64_t begin(std::int64_t at)
    {
        std::int64_t id = 0;
        std::string error;
        EXPECT_TRUE(store.begin(entryAt(at), id, error)) << error;
        return id;
    }

    test::CTempDirectory directory;
    std::filesystem::path path = directory / "upgrade-history.db";
    CAuditStore store;
};

TEST_F(AuditStoreTest, EntriesAreCompletedOnceAndReadNewestFirstInPages)
{
    const std::int64_t now = currentUnixMs();
    const std::int64_t first = begin(now);
    S_AuditEntry outcome;
    outcome.status = 202;
    outcome.requestId = "ota-1-1";
    outcome.upgradeNo = 17;
    outcome.upgradeId = "site_1";
    std::string error;
    ASSERT_TRUE(store.complete(first, outcome, error)) << error;
    EXPECT_FALSE(store.complete(first, outcome, error)) << "an outcome is written once";
    EXPECT_EQ(error, "Audit entry " + std::to_string(first) + " does not await its outcome");
    outcome.status = 0;
    EXPECT_FALSE(store.complete(begin(now), outcome, error)) << "an outcome needs a status";

    std::int64_t refused = 0;
    S_AuditEntry whole = entryAt(now, "/api/v1/session");
    whole.status = 401;
    whole.errorCode = "UNAUTHORIZED";
    ASSERT_TRUE(store.append(whole, refused, error)) << error;
    whole.status = 0;
    std::int64_t ignored = 0;
    EXPECT_FALSE(store.append(whole, ignored, error));
    for (int index = 0; index < 7; ++index)
    {
        begin(now + index);
    }

    std::vector<S_AuditEntry> page;
    std::int64_t nextBefore = 0;
    ASSERT_TRUE(store.readPage(4, 0, page, nextBefore, error)) << error;
    ASSERT_EQ(page.size(), 4u);
    EXPECT_GT(page[0].id, page[1].id);
    EXPECT_EQ(nextBefore, page.back().id);
    std::vector<std::int64_t> ids;
    std::int64_t before = 0;
    do
    {
        ASSERT_TRUE(store.readPage(4, before, page, nextBefore, error)) << error;
        for (const S_AuditEntry& entry : page)
        {
            ids.push_back(entry.id);
        }
        before = nextBefore;
    } while (before != 0);
    ASSERT_EQ(ids.size(), 10u);
    EXPECT_TRUE(std::is_sorted(ids.rbegin(), ids.rend()));
    EXPECT_EQ(ids.back(), first);

    ASSERT_TRUE(store.readPage(1000, refused + 1, page, nextBefore, error));
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(nextBefore, 0);
    EXPECT_EQ(page[0].status, 401u);
    EXPECT_EQ(page[0].errorCode, "UNAUTHORIZED");
    EXPECT_EQ(page[2].status, 202u);
    EXPECT_EQ(page[2].upgradeNo, 17u);
    EXPECT_EQ(page[2].upgradeId, "site_1");
    EXPECT_EQ(page[2].requestId, "ota-1-1");
    EXPECT_EQ(page[1].status, 0u) << "no outcome: status 0";
}

TEST_F(AuditStoreTest, DirectSqlCanNeitherRewriteNorDeleteTheTrail)
{
    const std::int64_t now = currentUnixMs();
    const std::int64_t done = begin(now - 200 * kDayMs);
    const std::int64_t open = begin(now);
    S_AuditEntry outcome;
    outcome.status = 200;
    std::string error;
    ASSERT_TRUE(store.complete(done, outcome, error)) << error;

    test::CRawDatabase raw(path);
    const std::string immutable = "AUDIT_ENTRY_IMMUTABLE";
    const std::string doneId = std::to_string(done);
    const std::string openId = std::to_string(open);
    EXPECT_EQ(raw.execute("UPDATE audit_log SET status=500 WHERE id=" + doneId), immutable);
    EXPECT_EQ(raw.execute("UPDATE audit_log SET error_code='X' WHERE id=" + doneId), immutable);
    EXPECT_EQ(raw.execute("UPDATE audit_log SET client='10.0.0.1:1', status=200 WHERE id=" + openId),
              immutable);
    EXPECT_EQ(raw.execute("UPDATE audit_log SET at=1, status=200 WHERE id=" + openId), immutable);
    EXPECT_EQ(raw.execute("UPDATE audit_log SET status=0 WHERE id=" + openId), immutable);
    EXPECT_EQ(raw.execute("DELETE FROM audit_log WHERE id=" + openId), immutable);
    EXPECT_EQ(raw.execute("DELETE FROM audit_log WHERE id=" + doneId), immutable)
        << "older than any retention, but not deleted by it";
    EXPECT_EQ(raw.execute("DELETE FROM audit_log"), immutable);
    EXPECT_EQ(raw.execute("UPDATE audit_retention SET cutoff=" + std::to_string(now)),
              "AUDIT_RETENTION_INVALID")
        << "the cutoff never comes within a day of now";
    EXPECT_EQ(raw.execute("DELETE FROM audit_retention"), "AUDIT_RETENTION_INVALID");
    EXPECT_NE(raw.execute("INSERT INTO audit_retention(singleton, cutoff) VALUES(2, 0)"), "");
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM audit_log"), "2");
    EXPECT_EQ(raw.execute("UPDATE audit_log SET status=503, error_code='X' WHERE id=" + openId), "")
        << "the one completion of an open entry";
    EXPECT_EQ(raw.execute("UPDATE audit_log SET status=504 WHERE id=" + openId), immutable);
}

TEST_F(AuditStoreTest, RetentionDeletesOnlyWhatIsOlderThanItsCutoff)
{
    const std::int64_t now = currentUnixMs();
    begin(now - 120 * kDayMs);
    begin(now - 91 * kDayMs);
    const std::int64_t recent = begin(now - 30 * kDayMs);
    std::uint32_t deleted = 0;
    std::string error;
    ASSERT_TRUE(store.deleteExpired(now - 90 * kDayMs, deleted, error)) << error;
    EXPECT_EQ(deleted, 2u);
    ASSERT_TRUE(store.deleteExpired(now - 90 * kDayMs, deleted, error)) << error;
    EXPECT_EQ(deleted, 0u);
    EXPECT_FALSE(store.deleteExpired(now, deleted, error)) << "not even the store can empty the recent trail";
    EXPECT_NE(error.find("AUDIT_RETENTION_INVALID"), std::string::npos) << error;

    std::vector<S_AuditEntry> page;
    std::int64_t nextBefore = 0;
    ASSERT_TRUE(store.readPage(100, 0, page, nextBefore, error));
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].id, recent);
    EXPECT_GT(begin(now), recent) << "ids keep growing after deletions";
}

TEST_F(AuditStoreTest, TheUpgradeHistoryBesideItIsLeftExactlyAsItWas)
{
    CUpgradeHistoryRepository history;
    std::string error;
    ASSERT_TRUE(history.open(path, error)) << error;
    ASSERT_TRUE(
        history.upsertTaskSnapshot({7, "task_7", 1000, 1000, "PREVIEW_READY", R"({"targets":[]})"}, error))
        << error;
    begin(currentUnixMs());
    std::uint32_t cleared = 0;
    ASSERT_TRUE(history.clearAll(cleared, error)) << error;
    EXPECT_EQ(cleared, 1u);
    history.close();
    store.close();

    test::CRawDatabase raw(path);
    EXPECT_EQ(raw.scalar("PRAGMA user_version"), "1");
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM audit_log"), "1") << "history clear leaves the trail";
    EXPECT_EQ(raw.scalar("SELECT group_concat(name, ',') FROM pragma_table_info('upgrade_history')"),
              "upgrade_no,upgrade_id,started_at,updated_at,completed_at,status,snapshot_json,state_json,"
              "report_json,"
              "is_final");

    // The repository's start-up check (what an older build runs) accepts the file with the trail in it.
    CUpgradeHistoryRepository again;
    ASSERT_TRUE(again.open(path, error)) << error;
    ASSERT_TRUE(store.open(path, error)) << error;
}

TEST_F(AuditStoreTest, ASchemaThatFailsHalfWayLeavesNothingBehindAndTheFileUnlocked)
{
    // A table of the same name but another shape: the script stops after creating audit_log.
    const std::filesystem::path otherPath = directory / "other.db";
    {
        test::CRawDatabase raw(otherPath);
        ASSERT_EQ(raw.execute("CREATE TABLE audit_retention(singleton INTEGER PRIMARY KEY);"), "");
    }
    CAuditStore other;
    std::string error;
    EXPECT_FALSE(other.open(otherPath, error));
    EXPECT_NE(error.find("SQLite schema operation failed: "), std::string::npos) << error;
    EXPECT_FALSE(other.isOpen());

    test::CRawDatabase raw(otherPath);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE name='audit_log'"), "0");
    EXPECT_EQ(raw.execute("PRAGMA busy_timeout=0;BEGIN IMMEDIATE;"), "") << "the write lock was released";
    EXPECT_EQ(raw.execute("ROLLBACK;"), "");
}

}  // namespace
}  // namespace ota::backend
