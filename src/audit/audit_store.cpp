#include "audit/audit_store.h"

#include "audit/audit_schema.h"
#include "history/sqlite_transaction.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace ota::backend
{

namespace
{

constexpr const char* kNotOpen = "Audit trail is not open";
constexpr int kBusyTimeoutMs = 5000;

// synchronous applies to this connection only: the upgrade history keeps its own setting.
constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;";

constexpr const char* kInsertSql =
    "INSERT INTO audit_log(id, kind, at, client, method, route, status, error_code, request_id, upgrade_no, "
    "upgrade_id, rollout_no, completes, prev_hash, hash, user_name, authenticated_by) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17);";

// Entries only, each with its completion's outcome and the identifiers the completion filled in.
// One row more than asked tells whether another page follows.
constexpr const char* kReadPageSql =
    "SELECT e.id, e.at, e.client, e.method, e.route, COALESCE(c.status, e.status), "
    "COALESCE(c.error_code, e.error_code), "
    "CASE WHEN e.request_id<>'' THEN e.request_id ELSE COALESCE(c.request_id, '') END, "
    "CASE WHEN e.upgrade_no<>0 THEN e.upgrade_no ELSE COALESCE(c.upgrade_no, 0) END, "
    "CASE WHEN e.upgrade_id<>'' THEN e.upgrade_id ELSE COALESCE(c.upgrade_id, '') END, "
    "CASE WHEN e.rollout_no<>0 THEN e.rollout_no ELSE COALESCE(c.rollout_no, 0) END, e.hash, "
    "CASE WHEN e.user_name<>'' THEN e.user_name ELSE COALESCE(c.user_name, '') END, "
    "CASE WHEN e.user_name<>'' THEN e.authenticated_by ELSE COALESCE(c.authenticated_by, '') END "
    "FROM audit_log e LEFT JOIN audit_log c ON c.kind=1 AND c.completes=e.id "
    "WHERE e.kind=0 AND e.id<?1 ORDER BY e.id DESC LIMIT ?2;";

// What an entry that still awaits its outcome already names.
constexpr const char* kAwaitingEntrySql =
    "SELECT status, request_id, upgrade_no, upgrade_id, rollout_no, user_name FROM audit_log e "
    "WHERE id=?1 AND kind=0 AND NOT EXISTS(SELECT 1 FROM audit_log c WHERE c.kind=1 AND c.completes=?1);";

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
    entry.hash = statement.columnText(11);
    entry.user = statement.columnText(12);
    entry.authenticatedBy = statement.columnText(13);
    return entry;
}

S_AuditChainRecord entryRecord(const S_AuditEntry& entry, unsigned status)
{
    S_AuditChainRecord record;
    record.kind = E_AuditRecordKind::ENTRY;
    record.at = entry.at;
    record.client = entry.client;
    record.method = entry.method;
    record.route = entry.route;
    record.status = status;
    record.errorCode = status == 0 ? "" : entry.errorCode;
    record.requestId = entry.requestId;
    record.upgradeNo = entry.upgradeNo;
    record.upgradeId = entry.upgradeId;
    record.rolloutNo = entry.rolloutNo;
    record.user = entry.user;
    record.authenticatedBy = entry.authenticatedBy;
    return record;
}

// One statement with int64 parameters that returns at most one integer; nullopt when no row.
bool queryOptionalInt64(CSqliteConnection& connection, const char* sql,
                        std::initializer_list<std::int64_t> values, std::optional<std::int64_t>& result,
                        std::string& error)
{
    result.reset();
    CSqliteCachedStatement statement = connection.statement(sql, error);
    if (!statement)
    {
        return false;
    }
    int index = 1;
    for (const std::int64_t value : values)
    {
        if (!statement->bindInt64(index++, value, error))
        {
            return false;
        }
    }
    const int resultCode = statement->step();
    if (resultCode == SQLITE_ROW)
    {
        result = statement->columnInt64(0);
        return true;
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read audit trail", connection.handle(), resultCode);
        return false;
    }
    return true;
}

bool runStatement(CSqliteConnection& connection, CSqliteCachedStatement& statement, const char* context,
                  std::string& error)
{
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure(context, connection.handle(), resultCode);
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
    if (!m_connection.execute(kPragmaScript, error) || !prepareAuditSchema(m_connection, error) ||
        !loadChainEnd(error))
    {
        m_connection.close();
        return false;
    }
    m_path = databasePath;
    return true;
}

void CAuditStore::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
    m_path.clear();
    m_chainEndKnown = false;
}

bool CAuditStore::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection.isOpen();
}

std::filesystem::path CAuditStore::databasePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
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

bool CAuditStore::loadChainEnd(std::string& error)
{
    std::optional<S_AuditChainState> state;
    if (!readAuditChainState(m_connection, state, error))
    {
        return false;
    }
    if (!state)
    {
        error = "Audit trail has no chain state";
        return false;
    }
    // Ids are never reused, not even those of records deleted at the end (sqlite_sequence keeps
    // the largest ever given).
    std::optional<std::int64_t> largest;
    if (!queryOptionalInt64(
            m_connection,
            "SELECT MAX(COALESCE((SELECT seq FROM sqlite_sequence WHERE name='audit_log'), 0), "
            "COALESCE((SELECT MAX(id) FROM audit_log), 0));",
            {}, largest, error))
    {
        return false;
    }
    m_nextId = std::max(largest.value_or(0), state->headId) + 1;
    m_lastHash = state->headHash;
    m_chainEndKnown = true;
    return true;
}

bool CAuditStore::insert(S_AuditChainRecord& record, std::int64_t& id, std::string& error)
{
    if (!m_chainEndKnown && !loadChainEnd(error))
    {
        return false;
    }
    record.id = m_nextId;
    std::string hash = computeAuditRecordHash(record, m_lastHash);
    CSqliteCachedStatement statement = m_connection.statement(kInsertSql, error);
    if (!statement || !statement->bindInt64(1, record.id, error) ||
        !statement->bindInt64(2, static_cast<std::int64_t>(record.kind), error) ||
        !statement->bindInt64(3, record.at, error) || !statement->bindText(4, record.client, error) ||
        !statement->bindText(5, record.method, error) || !statement->bindText(6, record.route, error) ||
        !statement->bindInt64(7, record.status, error) || !statement->bindText(8, record.errorCode, error) ||
        !statement->bindText(9, record.requestId, error) ||
        !statement->bindInt64(10, record.upgradeNo, error) ||
        !statement->bindText(11, record.upgradeId, error) ||
        !statement->bindInt64(12, record.rolloutNo, error) ||
        !statement->bindInt64(13, record.completes, error) || !statement->bindText(14, m_lastHash, error) ||
        !statement->bindText(15, hash, error) || !statement->bindText(16, record.user, error) ||
        !statement->bindText(17, record.authenticatedBy, error))
    {
        return false;
    }
    if (!runStatement(m_connection, statement, "Cannot write audit entry", error))
    {
        // Another writer may have moved the chain on: read its end again before the next write.
        m_chainEndKnown = false;
        return false;
    }
    id = record.id;
    ++m_nextId;
    m_lastHash = std::move(hash);
    return true;
}

bool CAuditStore::begin(const S_AuditEntry& entry, std::int64_t& id, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    id = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    S_AuditChainRecord record = entryRecord(entry, 0);
    return insert(record, id, error);
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
    if (!requireOpen(error))
    {
        return false;
    }
    S_AuditChainRecord record = entryRecord(entry, entry.status);
    return insert(record, id, error);
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
    S_AuditChainRecord record;
    record.kind = E_AuditRecordKind::COMPLETION;
    record.at = outcome.at;
    record.status = outcome.status;
    record.errorCode = outcome.errorCode;
    record.completes = id;
    {
        CSqliteCachedStatement entry = m_connection.statement(kAwaitingEntrySql, error);
        if (!entry || !entry->bindInt64(1, id, error))
        {
            return false;
        }
        const int resultCode = entry->step();
        if (resultCode != SQLITE_ROW && resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot complete audit entry", m_connection.handle(), resultCode);
            return false;
        }
        if (resultCode == SQLITE_DONE || entry->columnInt64(0) != 0)
        {
            error = "Audit entry " + std::to_string(id) + " does not await its outcome";
            return false;
        }
        // Only what the entry did not name yet: the entry's own identifiers stay the answer.
        record.requestId = entry->columnText(1).empty() ? outcome.requestId : "";
        record.upgradeNo = entry->columnInt64(2) == 0 ? outcome.upgradeNo : 0;
        record.upgradeId = entry->columnText(3).empty() ? outcome.upgradeId : "";
        record.rolloutNo = entry->columnInt64(4) == 0 ? outcome.rolloutNo : 0;
        if (entry->columnText(5).empty())
        {
            record.user = outcome.user;
            record.authenticatedBy = outcome.authenticatedBy;
        }
    }
    std::int64_t completionId = 0;
    return insert(record, completionId, error);
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
    std::optional<S_AuditChainState> state;
    if (!readAuditChainState(m_connection, state, error))
    {
        return false;
    }
    const std::int64_t currentBound = state ? state->idBound : 0;
    // Nothing expired, nothing written: the common case reads one entry, the oldest kept.
    std::optional<std::int64_t> oldestAt;
    if (!queryOptionalInt64(m_connection,
                            "SELECT at FROM audit_log WHERE kind=0 AND id>=?1 ORDER BY id LIMIT 1;",
                            {currentBound}, oldestAt, error))
    {
        return false;
    }
    if (!oldestAt || *oldestAt >= cutoff)
    {
        return true;
    }
    // Oldest first: up to the first entry that has not expired, and never into the newest
    // kAuditKeptEntries, whatever the clock says.
    std::optional<std::int64_t> firstFresh;
    std::optional<std::int64_t> oldestKept;
    if (!queryOptionalInt64(
            m_connection, "SELECT id FROM audit_log WHERE kind=0 AND id>=?1 AND at>=?2 ORDER BY id LIMIT 1;",
            {currentBound, cutoff}, firstFresh, error) ||
        !queryOptionalInt64(m_connection,
                            "SELECT id FROM audit_log WHERE kind=0 ORDER BY id DESC LIMIT 1 OFFSET ?1;",
                            {kAuditKeptEntries - 1}, oldestKept, error))
    {
        return false;
    }
    if (!oldestKept)
    {
        return true;
    }
    const std::int64_t bound = firstFresh ? std::min(*firstFresh, *oldestKept) : *oldestKept;
    if (bound <= currentBound)
    {
        return true;
    }
    return raiseBoundAndDelete(bound, deletedCount, error);
}

bool CAuditStore::raiseBoundAndDelete(std::int64_t bound, std::uint32_t& deletedCount, std::string& error)
{
    // Every way out before the commit rolls the transaction back.
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    std::optional<std::int64_t> entries;
    if (!queryOptionalInt64(m_connection, "SELECT COUNT(*) FROM audit_log WHERE kind=0 AND id<?1;", {bound},
                            entries, error))
    {
        return false;
    }
    // The bound first (the delete trigger reads it), with the hash of the last record deleted, the
    // previous hash of the first record kept; when nothing is left below, the anchor stays.
    CSqliteCachedStatement raise = m_connection.statement(
        "UPDATE audit_chain SET id_bound=?1, anchor_hash=COALESCE((SELECT hash FROM audit_log WHERE id<?1 "
        "ORDER BY id DESC LIMIT 1), anchor_hash) WHERE singleton=1;",
        error);
    if (!raise || !raise->bindInt64(1, bound, error) ||
        !runStatement(m_connection, raise, "Cannot raise audit retention bound", error))
    {
        return false;
    }
    CSqliteCachedStatement remove = m_connection.statement("DELETE FROM audit_log WHERE id<?1;", error);
    if (!remove || !remove->bindInt64(1, bound, error) ||
        !runStatement(m_connection, remove, "Cannot delete expired audit entries", error) ||
        !transaction.commit(error))
    {
        return false;
    }
    deletedCount = static_cast<std::uint32_t>(
        std::min<std::int64_t>(entries.value_or(0), std::numeric_limits<std::uint32_t>::max()));
    return true;
}

}  // namespace ota::backend
