#include "history/upgrade_history_schema.h"

#include "history/sqlite_connection.h"

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace ota::backend
{

const char* const kHistoryPragmaScript =
    "PRAGMA foreign_keys=ON;PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;";

const char* const kHistorySchemaScript =
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
    "PRAGMA user_version=1;";

namespace
{

constexpr std::int64_t kSupportedSchemaVersion = 1;

struct S_ExpectedColumn
{
    std::string_view name;
    std::string_view type;
    bool notNull;
    bool primaryKey;
};

constexpr std::array<S_ExpectedColumn, 10> kExpectedColumns{{
    {"upgrade_no", "INTEGER", false, true},
    {"upgrade_id", "TEXT", true, false},
    {"started_at", "INTEGER", true, false},
    {"updated_at", "INTEGER", true, false},
    {"completed_at", "INTEGER", false, false},
    {"status", "TEXT", true, false},
    {"snapshot_json", "TEXT", true, false},
    {"state_json", "TEXT", true, false},
    {"report_json", "TEXT", false, false},
    {"is_final", "INTEGER", true, false},
}};

constexpr std::string_view kInspectContext = "Cannot inspect upgrade history database";

std::string upperCase(std::string text)
{
    for (char& character : text)
    {
        if (character >= 'a' && character <= 'z')
        {
            character = static_cast<char>(character - 'a' + 'A');
        }
    }
    return text;
}

bool readSchemaVersion(sqlite3* database, std::int64_t& version, std::string& error)
{
    CSqliteStatement statement;
    if (!statement.prepare(database, "PRAGMA user_version;", error))
    {
        error = sqliteFailure(kInspectContext, database, SQLITE_ERROR);
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure(kInspectContext, database, resultCode);
        return false;
    }
    version = statement.columnInt64(0);
    return true;
}

bool checkIntegrity(sqlite3* database, std::string& error)
{
    CSqliteStatement statement;
    if (!statement.prepare(database, "PRAGMA quick_check(1);", error))
    {
        error = sqliteFailure(kInspectContext, database, SQLITE_ERROR);
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure(kInspectContext, database, resultCode);
        return false;
    }
    const std::string verdict = statement.columnText(0);
    if (verdict != "ok")
    {
        error = "Upgrade history database failed its integrity check: " + verdict;
        return false;
    }
    return true;
}

// Compares the declared columns of an existing upgrade_history table with the layout this
// version writes; the first difference is reported.
bool checkTableLayout(sqlite3* database, std::string& error)
{
    CSqliteStatement statement;
    if (!statement.prepare(database, "PRAGMA table_info(upgrade_history);", error))
    {
        error = sqliteFailure(kInspectContext, database, SQLITE_ERROR);
        return false;
    }
    std::size_t position = 0;
    std::string difference;
    int resultCode = SQLITE_OK;
    while ((resultCode = statement.step()) == SQLITE_ROW)
    {
        const std::string name = statement.columnText(1);
        const std::string type = upperCase(statement.columnText(2));
        const bool notNull = statement.columnInt64(3) != 0;
        const bool primaryKey = statement.columnInt64(5) != 0;
        if (!difference.empty())
        {
            continue;
        }
        if (position >= kExpectedColumns.size())
        {
            difference = "unexpected column " + name;
            continue;
        }
        const S_ExpectedColumn& expected = kExpectedColumns[position++];
        if (name != expected.name)
        {
            difference = "column " + std::to_string(position) + " is " + name + ", expected " +
                         std::string(expected.name);
        }
        else if (type != expected.type || notNull != expected.notNull || primaryKey != expected.primaryKey)
        {
            difference = "column " + name + " has another type or constraint";
        }
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure(kInspectContext, database, resultCode);
        return false;
    }
    if (position == 0 && difference.empty())
    {
        return true;  // no table yet: the schema script creates it
    }
    if (difference.empty() && position < kExpectedColumns.size())
    {
        difference = "missing column " + std::string(kExpectedColumns[position].name);
    }
    if (!difference.empty())
    {
        error = "Upgrade history database holds an incompatible upgrade_history table: " + difference;
        return false;
    }
    return true;
}

}  // namespace

bool inspectExistingHistoryDatabase(sqlite3* database, std::string& error)
{
    std::int64_t version = 0;
    if (!readSchemaVersion(database, version, error) || !checkIntegrity(database, error))
    {
        return false;
    }
    if (version > kSupportedSchemaVersion)
    {
        error = "Upgrade history database schema version " + std::to_string(version) +
                " is newer than the supported version " + std::to_string(kSupportedSchemaVersion);
        return false;
    }
    return checkTableLayout(database, error);
}

}  // namespace ota::backend
