#include "history/sqlite_transaction.h"
#include "history/sqlite_connection.h"

#include "sqlite_test_access.h"
#include "support/temp_directory.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <functional>
#include <stdexcept>

namespace ota::backend
{
namespace
{

using test::CRawDatabase;
using test::CTempDirectory;

class SqliteConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(connection.open(path.string(), "Cannot open", 5000, error)) << error;
        // A parent with a deferred reference: only COMMIT checks it, so a commit can fail while
        // the transaction stays open.
        ASSERT_TRUE(
            connection.execute("PRAGMA journal_mode=WAL;PRAGMA foreign_keys=ON;"
                               "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT NOT NULL);"
                               "CREATE TABLE child(id INTEGER PRIMARY KEY, parent INTEGER REFERENCES t(id) "
                               "DEFERRABLE INITIALLY DEFERRED);",
                               error))
            << error;
    }

    bool insert(int id, std::string& insertError)
    {
        CSqliteCachedStatement statement =
            connection.statement("INSERT INTO t(id, v) VALUES(?1, 'x');", insertError);
        if (!statement || !statement->bindInt64(1, id, insertError))
        {
            return false;
        }
        const int resultCode = statement->step();
        if (resultCode != SQLITE_DONE)
        {
            insertError = sqliteFailure("Cannot insert", connection.handle(), resultCode);
            return false;
        }
        return true;
    }

    std::string rowCount() { return raw.scalar("SELECT count(*) FROM t;"); }

    // True when another connection can take the write lock at once (no busy wait).
    bool writeLockIsFree()
    {
        CRawDatabase other(path);
        const bool free = other.execute("PRAGMA busy_timeout=0;BEGIN IMMEDIATE;") == "";
        other.execute("ROLLBACK;");
        return free;
    }

    CTempDirectory directory;
    std::filesystem::path path = directory / "test.db";
    CSqliteConnection connection;
    CRawDatabase raw{path};
    std::string error;
};

enum class E_WayOut
{
    AFTER_BEGIN,
    AFTER_WRITE,
    AFTER_FAILED_STATEMENT,
    EXCEPTION,
    FAILED_COMMIT,
    COMMIT,
};

// Writes a row inside a transaction and leaves the way it is told; COMMIT only at the end.
bool writeAndLeave(CSqliteConnection& connection, E_WayOut wayOut, std::string& error,
                   const std::function<bool(int, std::string&)>& insert)
{
    CSqliteTransaction transaction(connection);
    if (!transaction.begin(error) || wayOut == E_WayOut::AFTER_BEGIN)
    {
        return false;
    }
    if (!insert(1, error) || wayOut == E_WayOut::AFTER_WRITE)
    {
        return false;
    }
    if (wayOut == E_WayOut::AFTER_FAILED_STATEMENT && !insert(1, error))
    {
        return false;  // the duplicate key failed the statement; the transaction is still open
    }
    if (wayOut == E_WayOut::EXCEPTION)
    {
        throw std::runtime_error("leaving by exception");
    }
    if (wayOut == E_WayOut::FAILED_COMMIT && !connection.execute("INSERT INTO child VALUES(1, 99);", error))
    {
        return false;
    }
    return transaction.commit(error);
}

TEST_F(SqliteConnectionTest, EveryWayOutWithoutACommitRollsBackAndReleasesTheLock)
{
    const auto insertRow = [this](int id, std::string& insertError) { return insert(id, insertError); };
    for (const E_WayOut wayOut :
         {E_WayOut::AFTER_BEGIN, E_WayOut::AFTER_WRITE, E_WayOut::AFTER_FAILED_STATEMENT, E_WayOut::EXCEPTION,
          E_WayOut::FAILED_COMMIT})
    {
        SCOPED_TRACE(static_cast<int>(wayOut));
        error.clear();
        bool committed = true;
        try
        {
            committed = writeAndLeave(connection, wayOut, error, insertRow);
        }
        catch (const std::runtime_error&)
        {
            committed = false;
        }
        EXPECT_FALSE(committed);
        if (wayOut == E_WayOut::AFTER_FAILED_STATEMENT)
        {
            EXPECT_NE(error.find("UNIQUE constraint failed"), std::string::npos) << error;
        }
        if (wayOut == E_WayOut::FAILED_COMMIT)
        {
            EXPECT_NE(error.find("FOREIGN KEY constraint failed"), std::string::npos) << error;
        }
        EXPECT_FALSE(connection.inTransaction());
        EXPECT_EQ(rowCount(), "0");
        EXPECT_TRUE(writeLockIsFree());
    }

    error.clear();
    EXPECT_TRUE(writeAndLeave(connection, E_WayOut::COMMIT, error, insertRow)) << error;
    EXPECT_FALSE(connection.inTransaction());
    EXPECT_EQ(rowCount(), "1") << "a commit keeps the row";
    EXPECT_TRUE(writeLockIsFree());
}

TEST_F(SqliteConnectionTest, AScriptHoldingItsOwnTransactionIsRolledBackWhereItFails)
{
    // The failing statement stops the script between its BEGIN and its COMMIT.
    EXPECT_FALSE(executeSqliteTransactionScript(connection,
                                                "BEGIN IMMEDIATE;"
                                                "CREATE TABLE extra(id INTEGER PRIMARY KEY);"
                                                "INSERT INTO t(id, v) VALUES(1, 'x');"
                                                "INSERT INTO t(id, v) VALUES(1, 'x');"
                                                "COMMIT;",
                                                error));
    EXPECT_NE(error.find("UNIQUE constraint failed"), std::string::npos) << error;
    EXPECT_FALSE(connection.inTransaction());
    EXPECT_TRUE(writeLockIsFree());
    EXPECT_EQ(rowCount(), "0");
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE name='extra';"), "0");

    error.clear();
    EXPECT_TRUE(executeSqliteTransactionScript(
        connection, "BEGIN IMMEDIATE;CREATE TABLE extra(id INTEGER PRIMARY KEY);COMMIT;", error))
        << error;
    EXPECT_FALSE(connection.inTransaction());
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE name='extra';"), "1");
}

int denyRollback(void*, int action, const char* first, const char*, const char*, const char*)
{
    return action == SQLITE_TRANSACTION && first != nullptr && std::string(first) == "ROLLBACK" ? SQLITE_DENY
                                                                                                : SQLITE_OK;
}

TEST_F(SqliteConnectionTest, AFailedRollbackIsLoggedAndATransactionSqliteEndedIsLeftAlone)
{
    ::testing::internal::CaptureStderr();
    {
        CSqliteTransaction transaction(connection);
        ASSERT_TRUE(transaction.begin(error)) << error;
        ASSERT_TRUE(insert(1, error)) << error;
        sqlite3_set_authorizer(connection.handle(), denyRollback, nullptr);
    }
    const std::string logged = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(logged.find("[WARN] [HISTORY] Cannot roll back a history database transaction: "),
              std::string::npos)
        << logged;
    EXPECT_NE(logged.find("not authorized"), std::string::npos) << logged;
    EXPECT_TRUE(connection.inTransaction()) << "the failed rollback left the transaction open";
    sqlite3_set_authorizer(connection.handle(), nullptr, nullptr);
    ASSERT_TRUE(connection.execute("ROLLBACK;", error)) << error;

    // Ended behind the object's back: nothing to roll back, nothing to report.
    ::testing::internal::CaptureStderr();
    {
        CSqliteTransaction transaction(connection);
        ASSERT_TRUE(transaction.begin(error)) << error;
        ASSERT_TRUE(insert(2, error)) << error;
        ASSERT_TRUE(connection.execute("COMMIT;", error)) << error;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(rowCount(), "1");
}

TEST_F(SqliteConnectionTest, ACachedStatementHoldsNoSnapshotAndNoValueBetweenUses)
{
    ASSERT_TRUE(insert(1, error) && insert(2, error)) << error;
    {
        CSqliteCachedStatement statement = connection.statement("SELECT id FROM t ORDER BY id;", error);
        ASSERT_TRUE(statement) << error;
        ASSERT_EQ(statement->step(), SQLITE_ROW);  // a read left in the middle
    }
    // A reader in the middle of a read would keep the log from being truncated.
    EXPECT_EQ(raw.scalar("PRAGMA wal_checkpoint(TRUNCATE);"), "0");
    for (sqlite3_stmt* kept = sqlite3_next_stmt(connection.handle(), nullptr); kept != nullptr;
         kept = sqlite3_next_stmt(connection.handle(), kept))
    {
        EXPECT_EQ(sqlite3_stmt_busy(kept), 0) << sqlite3_sql(kept);
    }

    {
        CSqliteCachedStatement statement = connection.statement("SELECT ?1;", error);
        ASSERT_TRUE(statement && statement->bindText(1, "a large document", error)) << error;
        ASSERT_EQ(statement->step(), SQLITE_ROW);
        EXPECT_EQ(statement->columnText(0), "a large document");
    }
    {
        CSqliteCachedStatement statement = connection.statement("SELECT ?1;", error);
        ASSERT_TRUE(statement) << error;
        ASSERT_EQ(statement->step(), SQLITE_ROW);
        EXPECT_TRUE(statement->columnIsNull(0)) << "the value bound in the last use was dropped";
    }
    EXPECT_EQ(connection.cachedStatementCount(), 3u);
}

TEST_F(SqliteConnectionTest, TheSameTextBorrowedTwiceAtOnceRunsTwice)
{
    ASSERT_TRUE(insert(1, error) && insert(2, error) && insert(3, error)) << error;
    const char* sql = "SELECT id FROM t ORDER BY id;";
    int pairs = 0;
    CSqliteCachedStatement outer = connection.statement(sql, error);
    ASSERT_TRUE(outer) << error;
    const std::size_t cached = connection.cachedStatementCount();
    while (outer->step() == SQLITE_ROW)
    {
        CSqliteCachedStatement inner = connection.statement(sql, error);
        ASSERT_TRUE(inner) << error;
        while (inner->step() == SQLITE_ROW)
        {
            ++pairs;
        }
    }
    EXPECT_EQ(pairs, 9);
    EXPECT_EQ(connection.cachedStatementCount(), cached) << "the second borrower's statement was not kept";
}

TEST_F(SqliteConnectionTest, CachedStatementsFollowSchemaChangesOfOtherConnections)
{
    ASSERT_TRUE(insert(1, error) && insert(2, error)) << error;
    const char* sql = "DELETE FROM t WHERE id=?1;";
    {
        CSqliteCachedStatement statement = connection.statement(sql, error);
        ASSERT_TRUE(statement && statement->bindInt64(1, 1, error)) << error;
        ASSERT_EQ(statement->step(), SQLITE_DONE);
    }
    // Another process (an older build, say) adds a trigger: the kept statement must obey it.
    ASSERT_EQ(raw.execute("CREATE TRIGGER keep_two BEFORE DELETE ON t WHEN OLD.id=2 BEGIN "
                          "SELECT RAISE(ABORT, 'KEEP_TWO'); END;"),
              "");
    CSqliteCachedStatement statement = connection.statement(sql, error);
    ASSERT_TRUE(statement && statement->bindInt64(1, 2, error)) << error;
    const int resultCode = statement->step();
    EXPECT_NE(resultCode, SQLITE_DONE);
    EXPECT_EQ(sqliteErrorMessage(connection.handle(), resultCode), "KEEP_TWO");
    EXPECT_EQ(rowCount(), "1");
}

}  // namespace
}  // namespace ota::backend
