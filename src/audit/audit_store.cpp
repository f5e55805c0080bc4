#include "audit/audit_store.h"

#include "history/sqlite_connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

namespace ota::backend
{

namespace
{

constexpr const char* kNotOpen = "Audit trail is not open";
constexpr int kBusyTimeoutMs = 5000;

// synchronous applies to this connection only: the upgrade history keeps its own setting.
constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;";

// The audit tables and the triggers that keep them append only. The delete trigger lets through
// only entries older than the stored cutoff; the cutoff rises only, and never to within a day of
// now (the shortest retention), so no statement can empty the recent trail.
constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS audit_log("
    "id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "at INTEGER NOT NULL,"
    "client TEXT NOT NULL,"
    "method TEXT NOT NULL,"
    "route TEXT NOT NULL,"
    "status INTEGER NOT NULL CHECK(status>=0 AND status<=999),"
    "error_code TEXT NOT NULL DEFAULT '',"
    "request_id TEXT NOT NULL DEFAULT '',"
    "upgrade_no INTEGER NOT NULL DEFAULT 0 CHECK(upgrade_no>=0 AND upgrade_no<=4294967295),"
    "upgrade_id TEXT NOT NULL DEFAULT '',"
    "rollout_no INTEGER NOT NULL DEFAULT 0 CHECK(rollout_no>=0 AND rollout_no<=4294967295));"
    "CREATE TABLE IF NOT EXISTS audit_retention("
    "singleton INTEGER PRIMARY KEY CHECK(singleton=1),"
    "cutoff INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO audit_retention(singleton, cutoff) VALUES(1, 0);"
    "CREATE TRIGGER IF NOT EXISTS trg_audit_log_update BEFORE UPDATE ON audit_log "
    "WHEN OLD.status<>0 OR NEW.status=0 OR NEW.id IS NOT OLD.id OR NEW.at IS NOT OLD.at "
    "OR NEW.client IS NOT OLD.client OR NEW.method IS NOT OLD.method OR NEW.route IS NOT OLD.route "
    "OR (OLD.error_code<>'' AND NEW.error_code IS NOT OLD.error_code) "
    "OR (OLD.request_id<>'' AND NEW.request_id IS NOT OLD.request_id) "
    "OR (OLD.upgrade_no<>0 AND NEW.upgrade_no IS NOT OLD.upgrade_no) "
    "OR (OLD.upgrade_id<>'' AND NEW.upgrade_id IS NOT OLD.upgrade_id) "
    "OR (OLD.rollout_no<>0 AND NEW.rollout_no IS NOT OLD.rollout_no) "
    "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
    "CREATE TRIGGER IF NOT EXISTS trg_audit_log_delete BEFORE DELETE ON audit_log "
    "WHEN OLD.at>=(SELECT cutoff FROM audit_retention WHERE singleton=1) "
    "BEGIN SELECT RAISE(ABORT, 'AUDIT_ENTRY_IMMUTABLE'); END;"
    "CREATE TRIGGER IF NOT EXISTS trg_audit_retention_update BEFORE UPDATE ON audit_retention "
    "WHEN NEW.singleton IS NOT OLD.singleton OR NEW.cutoff<OLD.cutoff "
    "OR NEW.cutoff>CAST((julianday('now')-2440587.5)*86400000 AS INTEGER)-86400000 "
    "BEGIN SELECT RAISE(ABORT, 'AUDIT_RETENTION_INVALID'); END;"
    "CREATE TRIGGER IF NOT EXISTS trg_audit_retention_delete BEFORE DELETE ON audit_retention "
    "BEGIN SELECT RAISE(ABORT, 'AUDIT_RETENTION_INVALID'); END;"
    "COMMIT;";

constexpr const char* kEntryColumns =
    "id, at, client, method, route, status, error_code, request_id, upgrade_no, upgrade_id, rollout_no";

S_AuditEntry readEntry(const CSqliteStatement& statement)
{
    S_AuditEntry entry;
    entry.id = statement.columnInt64(0);
    entry.at = statement.columnInt64(1);
    entry.client = statement.columnText(2);
    entry.method = statement.columnText(3);
    entry.route = statement.columnText(4);
    entry.status = static_cast<unsigned>(statement.columnInt64(5));
    entry.errorCode = statement.columnText(6);
    entry.requestId = statement.columnText(7);
    entry.upgradeNo = static_cast<std::uint32_t>(statement.columnInt64(8));
    entry.upgradeId = statement.columnText(9);
    entry.rolloutNo = static_cast<std::uint32_t>(statement.columnInt64(10));
    return entry;
}

}  // namespace

CAuditStore::~CAuditStore()
{
    close();
}

bool CAuditStore::open(const std::filesystem::path& databasePath, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (m_database != nullptr)
    {
        error = "Audit trail is already open";
        return false;
    }
    sqlite3* database = nullptr;
    const std::string pathText = databasePath.string();
    const int openResult =
        sqlite3_open_v2(pathText.c_str(), &database,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (openResult != SQLITE_OK)
    {
        error = sqliteFailure("Cannot open audit trail database", database, openResult);
        sqlite3_close(database);
        return false;
    }
    sqlite3_extended_result_codes(database, 1);
    sqlite3_busy_timeout(database, kBusyTimeoutMs);
    if (sqlite3_db_readonly(database, "main") == 1)
    {
        error = "Cannot open audit trail database: the database file is read-only: " + pathText;
        sqlite3_close(database);
        return false;
    }
    if (!executeSqliteScript(database, kPragmaScript, error))
    {
        sqlite3_close(database);
        return false;
    }
    if (!executeSqliteScript(database, kSchemaScript, error))
    {
        sqlite3_exec(database, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(database);
        return false;
    }
    m_database = database;
    return true;
}

void CAuditStore::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_database != nullptr)
    {
        sqlite3_close_v2(m_database);
        m_database = nullptr;
    }
}

bool CAuditStore::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_database != nullptr;
}

bool CAuditStore::requireOpen(std::string& error) const
{
    if (m_database == nullptr)
    {
        error = kNotOpen;
        return false;
    }
    return true;
}

bool CAuditStore::insert(const S_AuditEntry& entry, unsigned status, std::int64_t& id, std::string& error)
{
    CSqliteStatement statement;
    if (!statement.prepare(
            m_database,
            "INSERT INTO audit_log(at, client, method, route, status, error_code, request_id, "
            "upgrade_no, upgrade_id, rollout_no) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10);",
            error) ||
        !statement.bindInt64(1, entry.at, error) || !statement.bindText(2, entry.client, error) ||
        !statement.bindText(3, entry.method, error) || !statement.bindText(4, entry.route, error) ||
        !statement.bindInt64(5, status, error) ||
        !statement.bindText(6, status == 0 ? "" : entry.errorCode, error) ||
        !statement.bindText(7, entry.requestId, error) || !statement.bindInt64(8, entry.upgradeNo, error) ||
        !statement.bindText(9, entry.upgradeId, error) || !statement.bindInt64(10, entry.rolloutNo, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot write audit entry", m_database, resultCode);
        return false;
    }
    id = sqlite3_last_insert_rowid(m_database);
    return true;
}

bool CAuditStore::begin(const S_AuditEntry& entry, std::int64_t& id, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    id = 0;
    return requireOpen(error) && insert(entry, 0, id, error);
}

bool CAuditStore::append(const S_AuditEntry& entry, std::int64_t& id, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    id = 0;
    if (entry.status == 0)
    {
        error = "A whole audit entry needs its outcome";
        return false;
    }
    return requireOpen(error) && insert(entry, entry.status, id, error);
}

bool CAuditStore::complete(std::int64_t id, const S_AuditEntry& outcome, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    if (outcome.status == 0)
    {
        error = "An audit entry's outcome needs a status";
        return false;
    }
    CSqliteStatement statement;
    if (!statement.prepare(m_database,
                           "UPDATE audit_log SET status=?2, error_code=?3, "
                           "request_id=CASE WHEN request_id='' THEN ?4 ELSE request_id END, "
                           "upgrade_no=CASE WHEN upgrade_no=0 THEN ?5 ELSE upgrade_no END, "
                           "upgrade_id=CASE WHEN upgrade_id='' THEN ?6 ELSE upgrade_id END, "
                           "rollout_no=CASE WHEN rollout_no=0 THEN ?7 ELSE rollout_no END "
                           "WHERE id=?1 AND status=0;",
                           error) ||
        !statement.bindInt64(1, id, error) || !statement.bindInt64(2, outcome.status, error) ||
        !statement.bindText(3, outcome.errorCode, error) ||
        !statement.bindText(4, outcome.requestId, error) ||
        !statement.bindInt64(5, outcome.upgradeNo, error) ||
        !statement.bindText(6, outcome.upgradeId, error) || !statement.bindInt64(7, outcome.rolloutNo, error))
    {
        return false;
    }
    const int resultCode = statement.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot complete audit entry", m_database, resultCode);
        return false;
    }
    if (sqlite3_changes64(m_database) != 1)
    {
        error = "Audit entry " + std::to_string(id) + " does not await its outcome";
        return false;
    }
    return true;
}

bool CAuditStore::readPage(std::uint32_t limit, std::int64_t before, std::vector<S_AuditEntry>& entries,
                           std::int64_t& nextBefore, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    entries.clear();
    nextBefore = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    CSqliteStatement statement;
    // One row more than asked tells whether another page follows.
    if (!statement.prepare(
            m_database,
            std::string("SELECT ") + kEntryColumns + " FROM audit_log WHERE id<?1 ORDER BY id DESC LIMIT ?2;",
            error) ||
        !statement.bindInt64(1, before > 0 ? before : std::numeric_limits<std::int64_t>::max(), error) ||
        !statement.bindInt64(2, static_cast<std::int64_t>(limit) + 1, error))
    {
        return false;
    }
    int resultCode = SQLITE_OK;
    while ((resultCode = statement.step()) == SQLITE_ROW)
    {
        entries.push_back(readEntry(statement));
    }
    if (resultCode != SQLITE_DONE)
    {
        entries.clear();
        error = sqliteFailure("Cannot read audit trail", m_database, resultCode);
        return false;
    }
    if (entries.size() > limit)
    {
        entries.resize(limit);
        nextBefore = entries.empty() ? 0 : entries.back().id;
    }
    return true;
}

bool CAuditStore::deleteExpired(std::int64_t cutoff, std::uint32_t& deletedCount, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    deletedCount = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    // Nothing expired, nothing written: a read-only pass for the common case.
    CSqliteStatement probe;
    if (!probe.prepare(m_database, "SELECT EXISTS(SELECT 1 FROM audit_log WHERE at<?1);", error) ||
        !probe.bindInt64(1, cutoff, error))
    {
        return false;
    }
    const int probeResult = probe.step();
    if (probeResult != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot inspect expired audit entries", m_database, probeResult);
        return false;
    }
    if (probe.columnInt64(0) == 0)
    {
        return true;
    }
    if (!executeSqliteScript(m_database, "BEGIN IMMEDIATE;", error))
    {
        return false;
    }
    const auto rollback = [this] { sqlite3_exec(m_database, "ROLLBACK;", nullptr, nullptr, nullptr); };
    CSqliteStatement raise;
    CSqliteStatement remove;
    if (!raise.prepare(m_database, "UPDATE audit_retention SET cutoff=?1 WHERE singleton=1 AND cutoff<?1;",
                       error) ||
        !raise.bindInt64(1, cutoff, error))
    {
        rollback();
        return false;
    }
    int resultCode = raise.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot raise audit retention cutoff", m_database, resultCode);
        rollback();
        return false;
    }
    if (!remove.prepare(m_database, "DELETE FROM audit_log WHERE at<?1;", error) ||
        !remove.bindInt64(1, cutoff, error))
    {
        rollback();
        return false;
    }
    resultCode = remove.step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot delete expired audit entries", m_database, resultCode);
        rollback();
        return false;
    }
    const sqlite3_int64 count = sqlite3_changes64(m_database);
    if (!executeSqliteScript(m_database, "COMMIT;", error))
    {
        rollback();
        return false;
    }
    deletedCount =
        static_cast<std::uint32_t>(std::min<sqlite3_int64>(count, std::numeric_limits<std::uint32_t>::max()));
    return true;
}

}  // namespace ota::backend
