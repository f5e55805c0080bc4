#include "audit/audit_store.h"

#include "history/sqlite_transaction.h"

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

// One row more than asked tells whether another page follows.
constexpr const char* kReadPageSql =
    "SELECT id, at, client, method, route, status, error_code, request_id, upgrade_no, upgrade_id, "
    "rollout_no FROM audit_log WHERE id<?1 ORDER BY id DESC LIMIT ?2;";

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

// One write statement of the retention delete, its only parameter the cutoff.
bool runWithCutoff(CSqliteConnection& connection, const char* sql, std::int64_t cutoff,
                   const char* failureContext, std::string& error)
{
    CSqliteCachedStatement statement = connection.statement(sql, error);
    if (!statement || !statement->bindInt64(1, cutoff, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure(failureContext, connection.handle(), resultCode);
        return false;
    }
    return true;
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
    if (m_connection.isOpen())
    {
        error = "Audit trail is already open";
        return false;
    }
    const std::string pathText = databasePath.string();
    if (!m_connection.open(pathText, "Cannot open audit trail database", kBusyTimeoutMs, error))
    {
        return false;
    }
    if (sqlite3_db_readonly(m_connection.handle(), "main") == 1)
    {
        error = "Cannot open audit trail database: the database file is read-only: " + pathText;
        m_connection.close();
        return false;
    }
    // The schema script holds its own transaction; a failure inside it is rolled back.
    if (!m_connection.execute(kPragmaScript, error) ||
        !executeSqliteTransactionScript(m_connection, kSchemaScript, error))
    {
        m_connection.close();
        return false;
    }
    return true;
}

void CAuditStore::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
}

bool CAuditStore::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection.isOpen();
}

bool CAuditStore::requireOpen(std::string& error) const
{
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return false;
    }
    return true;
}

bool CAuditStore::insert(const S_AuditEntry& entry, unsigned status, std::int64_t& id, std::string& error)
{
    CSqliteCachedStatement statement = m_connection.statement(
        "INSERT INTO audit_log(at, client, method, route, status, error_code, request_id, "
        "upgrade_no, upgrade_id, rollout_no) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10);",
        error);
    if (!statement || !statement->bindInt64(1, entry.at, error) ||
        !statement->bindText(2, entry.client, error) || !statement->bindText(3, entry.method, error) ||
        !statement->bindText(4, entry.route, error) || !statement->bindInt64(5, status, error) ||
        !statement->bindText(6, status == 0 ? "" : entry.errorCode, error) ||
        !statement->bindText(7, entry.requestId, error) || !statement->bindInt64(8, entry.upgradeNo, error) ||
        !statement->bindText(9, entry.upgradeId, error) || !statement->bindInt64(10, entry.rolloutNo, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot write audit entry", m_connection.handle(), resultCode);
        return false;
    }
    id = sqlite3_last_insert_rowid(m_connection.handle());
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
    CSqliteCachedStatement statement = m_connection.statement(
        "UPDATE audit_log SET status=?2, error_code=?3, "
        "request_id=CASE WHEN request_id='' THEN ?4 ELSE request_id END, "
        "upgrade_no=CASE WHEN upgrade_no=0 THEN ?5 ELSE upgrade_no END, "
        "upgrade_id=CASE WHEN upgrade_id='' THEN ?6 ELSE upgrade_id END, "
        "rollout_no=CASE WHEN rollout_no=0 THEN ?7 ELSE rollout_no END "
        "WHERE id=?1 AND status=0;",
        error);
    if (!statement || !statement->bindInt64(1, id, error) ||
        !statement->bindInt64(2, outcome.status, error) ||
        !statement->bindText(3, outcome.errorCode, error) ||
        !statement->bindText(4, outcome.requestId, error) ||
        !statement->bindInt64(5, outcome.upgradeNo, error) ||
        !statement->bindText(6, outcome.upgradeId, error) ||
        !statement->bindInt64(7, outcome.rolloutNo, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot complete audit entry", m_connection.handle(), resultCode);
        return false;
    }
    if (m_connection.changes() != 1)
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
    CSqliteCachedStatement statement = m_connection.statement(kReadPageSql, error);
    if (!statement ||
        !statement->bindInt64(1, before > 0 ? before : std::numeric_limits<std::int64_t>::max(), error) ||
        !statement->bindInt64(2, static_cast<std::int64_t>(limit) + 1, error))
    {
        return false;
    }
    int resultCode = SQLITE_OK;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        entries.push_back(readEntry(*statement));
    }
    if (resultCode != SQLITE_DONE)
    {
        entries.clear();
        error = sqliteFailure("Cannot read audit trail", m_connection.handle(), resultCode);
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
    {
        // Nothing expired, nothing written: a read-only pass for the common case. The probe and its
        // read end here, before the write transaction begins.
        CSqliteCachedStatement probe =
            m_connection.statement("SELECT EXISTS(SELECT 1 FROM audit_log WHERE at<?1);", error);
        if (!probe || !probe->bindInt64(1, cutoff, error))
        {
            return false;
        }
        const int probeResult = probe->step();
        if (probeResult != SQLITE_ROW)
        {
            error = sqliteFailure("Cannot inspect expired audit entries", m_connection.handle(), probeResult);
            return false;
        }
        if (probe->columnInt64(0) == 0)
        {
            return true;
        }
    }
    // Every way out before the commit rolls the transaction back.
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error) ||
        !runWithCutoff(m_connection, "UPDATE audit_retention SET cutoff=?1 WHERE singleton=1 AND cutoff<?1;",
                       cutoff, "Cannot raise audit retention cutoff", error) ||
        !runWithCutoff(m_connection, "DELETE FROM audit_log WHERE at<?1;", cutoff,
                       "Cannot delete expired audit entries", error))
    {
        return false;
    }
    const std::int64_t count = m_connection.changes();
    if (!transaction.commit(error))
    {
        return false;
    }
    deletedCount =
        static_cast<std::uint32_t>(std::min<std::int64_t>(count, std::numeric_limits<std::uint32_t>::max()));
    return true;
}

}  // namespace ota::backend
