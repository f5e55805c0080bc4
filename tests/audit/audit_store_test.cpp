// The audit store on a real database file: entries, their one completion, pages newest first;
// append only against direct SQL; the retention delete and its id bound; the hash chain, also over
// a trail an older build wrote; and the upgrade history beside it left exactly as it was.
#include "audit/audit_store.h"
#include "audit/audit_chain_check.h"
#include "audit/audit_schema.h"

#include "common/clock.h"
#include "common/digest.h"
#include "history/sqlite_test_access.h"
#include "history/upgrade_history_repository.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

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

    // Entries chained as the store chains them, written in one transaction with the store closed
    // (thousands of synced writes would take minutes).
    void appendEntries(const std::vector<std::int64_t>& times)
    {
        store.close();
        std::string error;
        {
            test::CRawDatabase raw(path);
            std::int64_t id =
                std::stoll(raw.scalar("SELECT seq FROM sqlite_sequence WHERE name='audit_log'"));
            std::string previous = raw.scalar("SELECT head_hash FROM audit_chain");
            CSqliteConnection connection;
            ASSERT_TRUE(connection.open(path.string(), "open", 5000, error) &&
                        connection.execute("BEGIN;", error))
                << error;
            for (const std::int64_t at : times)
            {
                S_AuditChainRecord record;
                record.id = ++id;
                record.at = at;
                record.client = "127.0.0.1:40000";
                record.method = "POST";
                record.route = "/api/v1/devices/reconnect";
                record.status = 202;
                const std::string hash = computeAuditRecordHash(record, previous);
                CSqliteCachedStatement insert = connection.statement(
                    "INSERT INTO audit_log(id, at, client, method, route, status, prev_hash, hash) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8);",
                    error);
                ASSERT_TRUE(insert && insert->bindInt64(1, id, error) && insert->bindInt64(2, at, error) &&
                            insert->bindText(3, record.client, error) &&
                            insert->bindText(4, record.method, error) &&
                            insert->bindText(5, record.route, error) && insert->bindInt64(6, 202, error) &&
                            insert->bindText(7, previous, error) && insert->bindText(8, hash, error))
                    << error;
                ASSERT_EQ(insert->step(), SQLITE_DONE);
                previous = hash;
            }
            ASSERT_TRUE(connection.execute("COMMIT;", error)) << error;
        }
        ASSERT_TRUE(store.open(path, error)) << error;
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
    EXPECT_EQ(page[2].hash.size(), 64u);
    EXPECT_NE(page[2].hash, page[1].hash);

    S_AuditChainReport report;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_EQ(report.entries, 10) << "requests, not records: the completion is not counted";
    EXPECT_TRUE(report.holds()) << report.reason;
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
    EXPECT_EQ(raw.execute("UPDATE audit_chain SET id_bound=" + openId), "AUDIT_RETENTION_INVALID")
        << "the bound never reaches into the newest entries";
    EXPECT_EQ(raw.execute("UPDATE audit_chain SET head_id=0"), "AUDIT_ENTRY_IMMUTABLE");
    EXPECT_EQ(raw.execute("DELETE FROM audit_chain"), "AUDIT_RETENTION_INVALID");
    EXPECT_NE(raw.execute("INSERT INTO audit_chain(singleton, id_bound, anchor_hash, head_id, head_hash) "
                          "VALUES(2, 0, '', 0, '')"),
              "");
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM audit_log"), "3");
    EXPECT_EQ(raw.execute("UPDATE audit_log SET status=503, error_code='X' WHERE id=" + openId), immutable)
        << "an outcome is a record of its own: no record ever changes";
    EXPECT_NE(raw.execute("INSERT INTO audit_log(at, client, method, route, status, kind, completes) "
                          "VALUES(1, '', '', '', 200, 1, " +
                          doneId + ")"),
              "")
        << "an entry is completed once";
}

// Oldest first, up to the first entry that has not expired, and never the newest ten thousand:
// neither a clock set forward nor one set back empties the trail or opens it to deletes.
TEST_F(AuditStoreTest, RetentionDeletesOnlyWhatIsOlderThanItsCutoff)
{
    const std::int64_t now = currentUnixMs();
    const std::int64_t awaiting = begin(now - 120 * kDayMs);
    std::vector<std::int64_t> times(kAuditKeptEntries + 4, now - kDayMs);
    times[0] = times[1] = now - 120 * kDayMs;
    appendEntries(times);
    S_AuditEntry outcome;
    outcome.status = 200;
    std::string error;
    ASSERT_TRUE(store.complete(awaiting, outcome, error)) << error;

    struct S_Pass
    {
        std::int64_t cutoff;
        std::uint32_t deleted;
        const char* why;
    };
    const S_Pass passes[] = {
        {now - 90 * kDayMs, 3, "the three expired entries, the fresh one after them stops it"},
        {now - 90 * kDayMs, 0, "nothing more expired"},
        {now + 3650 * kDayMs, 2, "clock ten years ahead: all expired, the newest ten thousand stay"},
        {now + 3650 * kDayMs, 0, "and stay"},
        {0, 0, "clock set back"},
    };
    for (const S_Pass& pass : passes)
    {
        std::uint32_t deleted = 99;
        ASSERT_TRUE(store.deleteExpired(pass.cutoff, deleted, error)) << error;
        EXPECT_EQ(deleted, pass.deleted) << pass.why;
    }

    test::CRawDatabase raw(path);
    EXPECT_EQ(raw.scalar("SELECT COUNT(*) FROM audit_log WHERE kind=0"), std::to_string(kAuditKeptEntries));
    const std::string oldest = raw.scalar("SELECT MIN(id) FROM audit_log");
    EXPECT_EQ(raw.scalar("SELECT id_bound FROM audit_chain"), oldest);
    EXPECT_EQ(raw.execute("DELETE FROM audit_log WHERE id=" + oldest), "AUDIT_ENTRY_IMMUTABLE");
    for (const int step : {-1, 1})
    {
        EXPECT_EQ(raw.execute("UPDATE audit_chain SET id_bound=id_bound+" + std::to_string(step)),
                  "AUDIT_RETENTION_INVALID")
            << "the bound neither goes back nor into the newest entries: " << step;
    }

    // The oldest record kept links to the stored hash of the last one deleted; the completion of
    // a deleted entry stays behind it and is no break, and no request of its own.
    const std::int64_t next = begin(now);
    EXPECT_GT(next, awaiting + static_cast<std::int64_t>(times.size()) + 1);
    S_AuditChainReport report;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_TRUE(report.holds()) << report.firstBrokenId << ": " << report.reason;
    EXPECT_EQ(report.entries, kAuditKeptEntries + 1);
}

TEST_F(AuditStoreTest, EntriesNameWhoActedAndTheHashCoversThemOnlyWhenNamed)
{
    // An auditor's message for a record naming nobody is the one from before users were recorded;
    // a named record appends the user and how they proved it.
    S_AuditChainRecord record;
    record.id = 7;
    record.at = 1;
    record.client = "c";
    record.method = "POST";
    record.route = "/r";
    record.status = 200;
    const std::string previous(kAuditChainStartHash);
    const std::string message = "1:71:01:11:c4:POST2:/r3:2000:0:1:00:1:01:064:" + previous;
    const auto sha = [](const std::string& text)
    { return toLowerHex(CSha256::digestOf(text.data(), text.size())); };
    EXPECT_EQ(computeAuditRecordHash(record, previous), sha(message));
    record.user = "alice";
    record.authenticatedBy = "password";
    EXPECT_EQ(computeAuditRecordHash(record, previous), sha(message + "5:alice8:password"));

    // Named when begun, named only by the completion (a login), named in a refusal, and nobody.
    const std::int64_t now = currentUnixMs();
    std::string error;
    S_AuditEntry named = entryAt(now);
    named.user = "alice";
    named.authenticatedBy = "api-token:ci";
    std::int64_t namedId = 0;
    ASSERT_TRUE(store.begin(named, namedId, error)) << error;
    S_AuditEntry outcome;
    outcome.status = 202;
    outcome.user = "bob";  // the entry's own name stays the answer
    ASSERT_TRUE(store.complete(namedId, outcome, error)) << error;
    const std::int64_t loginId = begin(now);
    outcome.status = 403;
    outcome.errorCode = "ACCOUNT_LOCKED";
    outcome.user = "carol";
    outcome.authenticatedBy = "";
    ASSERT_TRUE(store.complete(loginId, outcome, error)) << error;
    S_AuditEntry refused = entryAt(now);
    refused.status = 403;
    refused.user = "victor";
    refused.authenticatedBy = "password";
    std::int64_t refusedId = 0;
    ASSERT_TRUE(store.append(refused, refusedId, error)) << error;
    begin(now);

    std::vector<S_AuditEntry> page;
    std::int64_t nextBefore = 0;
    ASSERT_TRUE(store.readPage(10, 0, page, nextBefore, error)) << error;
    ASSERT_EQ(page.size(), 4u);
    const std::pair<std::string, std::string> expected[] = {
        {"", ""}, {"victor", "password"}, {"carol", ""}, {"alice", "api-token:ci"}};
    for (std::size_t index = 0; index < page.size(); ++index)
    {
        EXPECT_EQ(page[index].user, expected[index].first) << index;
        EXPECT_EQ(page[index].authenticatedBy, expected[index].second) << index;
    }
    S_AuditChainReport report;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_TRUE(report.holds()) << report.firstBrokenId << ": " << report.reason;

    store.close();
    test::CRawDatabase raw(path);
    ASSERT_EQ(
        raw.execute("DROP TRIGGER trg_audit_log_update; UPDATE audit_log SET user_name='mallory' WHERE id=" +
                    std::to_string(refusedId)),
        "");
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_EQ(report.firstBrokenId, refusedId) << "the user is hashed: " << report.reason;
}

TEST_F(AuditStoreTest, ATrailFromBeforeUsersWereRecordedVerifiesBeforeAndAfterItIsOpened)
{
    S_AuditEntry outcome;
    outcome.status = 200;
    std::string error;
    ASSERT_TRUE(store.complete(begin(1000), outcome, error)) << error;
    begin(2000);
    store.close();
    {
        test::CRawDatabase raw(path);
        ASSERT_EQ(raw.execute("ALTER TABLE audit_log DROP COLUMN user_name;"
                              "ALTER TABLE audit_log DROP COLUMN authenticated_by;"),
                  "");
    }
    S_AuditChainReport report;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_TRUE(report.holds()) << "as the earlier build left it: " << report.firstBrokenId << ": "
                                << report.reason;
    EXPECT_EQ(report.entries, 2);

    ASSERT_TRUE(store.open(path, error)) << error;
    S_AuditEntry named = entryAt(3000);
    named.user = "alice";
    named.authenticatedBy = "password";
    named.status = 200;
    std::int64_t id = 0;
    ASSERT_TRUE(store.append(named, id, error)) << error;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_TRUE(report.holds()) << "with the columns added: " << report.firstBrokenId << ": "
                                << report.reason;
    EXPECT_EQ(report.entries, 3);
}

// The tables, guards and rows an older build wrote, before the chain existed.
constexpr const char* kOlderBuildTrail =
    "CREATE TABLE audit_log(id INTEGER PRIMARY KEY AUTOINCREMENT, at INTEGER NOT NULL, client TEXT NOT NULL,"
    "method TEXT NOT NULL, route TEXT NOT NULL, status INTEGER NOT NULL CHECK(status>=0 AND status<=999),"
    "error_code TEXT NOT NULL DEFAULT '', request_id TEXT NOT NULL DEFAULT '',"
    "upgrade_no INTEGER NOT NULL DEFAULT 0 CHECK(upgrade_no>=0 AND upgrade_no<=4294967295),"
    "upgrade_id TEXT NOT NULL DEFAULT '',"
    "rollout_no INTEGER NOT NULL DEFAULT 0 CHECK(rollout_no>=0 AND rollout_no<=4294967295));"
    "CREATE TABLE audit_retention(singleton INTEGER PRIMARY KEY CHECK(singleton=1), cutoff INTEGER NOT NULL);"
    "INSERT INTO audit_retention VALUES(1, 1000);"
    "CREATE TRIGGER trg_audit_log_update BEFORE UPDATE ON audit_log WHEN OLD.status<>0 OR NEW.status=0 "
    "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
    "CREATE TRIGGER trg_audit_log_delete BEFORE DELETE ON audit_log "
    "WHEN OLD.at>=(SELECT cutoff FROM audit_retention WHERE singleton=1) "
    "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
    "INSERT INTO audit_log(at, client, method, route, status) VALUES(500, 'c', 'POST', '/old', 200);"
    "INSERT INTO audit_log(at, client, method, route, status, error_code, request_id, upgrade_no) "
    "VALUES(2000, 'c', 'POST', '/api/v1/upgrades/:upgradeNo/abort', 409, 'UPGRADE_ABORT_REJECTED', "
    "'ota-1-1', 7);"
    "INSERT INTO audit_log(at, client, method, route, status) VALUES(3000, 'c', 'POST', "
    "'/api/v1/scene/reload', 0);"
    "DELETE FROM audit_log WHERE id=1;";

TEST_F(AuditStoreTest, AnOlderBuildsTrailIsChainedOnceWhenOpenedAndAnswersAsBefore)
{
    store.close();
    path = directory / "older.db";
    {
        CUpgradeHistoryRepository history;
        std::string error;
        ASSERT_TRUE(history.open(path, error)) << error;
        test::CRawDatabase raw(path);
        ASSERT_EQ(raw.execute(kOlderBuildTrail), "");
    }
    std::string error;
    ASSERT_TRUE(store.open(path, error)) << error;
    S_AuditChainReport report;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_TRUE(report.holds()) << report.firstBrokenId << ": " << report.reason;
    EXPECT_EQ(report.entries, 2);

    S_AuditEntry outcome;
    outcome.status = 200;
    EXPECT_TRUE(store.complete(3, outcome, error)) << "an entry begun by the older build: " << error;
    EXPECT_EQ(begin(4000), 5) << "after the completion, record 4";
    std::vector<S_AuditEntry> page;
    std::int64_t nextBefore = 0;
    ASSERT_TRUE(store.readPage(10, 0, page, nextBefore, error)) << error;
    ASSERT_EQ(page.size(), 3u);
    EXPECT_EQ(page[1].status, 200u);
    EXPECT_EQ(page[2].errorCode, "UPGRADE_ABORT_REJECTED");
    EXPECT_EQ(page[2].requestId, "ota-1-1");
    EXPECT_EQ(page[2].upgradeNo, 7u);

    // Opened again, nothing is chained anew: a row changed behind the store's back stays found.
    store.close();
    test::CRawDatabase raw(path);
    EXPECT_EQ(raw.execute("DELETE FROM audit_log WHERE id=2"), "AUDIT_ENTRY_IMMUTABLE")
        << "the older time-based guard is gone";
    ASSERT_EQ(raw.execute("DROP TRIGGER trg_audit_log_update; UPDATE audit_log SET status=201 WHERE id=2;"),
              "");
    ASSERT_TRUE(store.open(path, error)) << error;
    ASSERT_TRUE(verifyAuditDatabase(path, report, error)) << error;
    EXPECT_EQ(report.firstBrokenId, 2) << report.reason;
    EXPECT_EQ(raw.scalar("PRAGMA user_version"), "1");
    EXPECT_NE(raw.execute("UPDATE audit_log SET status=202 WHERE id=2"), "") << "the guard is back";
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
        ASSERT_EQ(raw.execute("CREATE TABLE audit_chain(singleton INTEGER PRIMARY KEY);"), "");
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
