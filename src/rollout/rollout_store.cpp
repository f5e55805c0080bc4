#include "rollout/rollout_store.h"

#include "history/sqlite_transaction.h"

#include <sqlite3.h>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;

// Another connection (the upgrade history's) works on the same file; both use the write-ahead log.
constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;";

// AUTOINCREMENT: a number is never used again, so events and pages that named a deleted rollout
// never name another one.
constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS upgrade_rollout("
    "rollout_no INTEGER PRIMARY KEY AUTOINCREMENT CHECK(rollout_no>0 AND rollout_no<=4294967295),"
    "rollout_id TEXT NOT NULL UNIQUE CHECK(length(rollout_id)>0),"
    "status TEXT NOT NULL CHECK(length(status)>0),"
    "created_at INTEGER NOT NULL,"
    "finished_at INTEGER NOT NULL DEFAULT 0,"
    "plan_json TEXT NOT NULL CHECK(length(plan_json)>0),"
    "state_json TEXT NOT NULL CHECK(length(state_json)>0));"
    "COMMIT;";

constexpr const char* kNotOpen = "Rollout store is not open";

}  // namespace

CRolloutStore::~CRolloutStore()
{
    close();
}

bool CRolloutStore::open(const std::filesystem::path& databasePath, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (m_connection.isOpen())
    {
        error = "Rollout store is already open";
        return false;
    }
    // The schema script holds its own transaction; a failure inside it is rolled back.
    return openSqliteStore(m_connection, databasePath, "Cannot open rollout store", kBusyTimeoutMs,
                           kPragmaScript, kSchemaScript, error);
}

void CRolloutStore::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
}

bool CRolloutStore::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection.isOpen();
}

bool CRolloutStore::requireOpen(std::string& error) const
{
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return false;
    }
    return true;
}

bool CRolloutStore::insert(const std::string& rolloutId, const std::string& status, std::int64_t createdAt,
                           const std::string& planJson, const std::string& stateJson,
                           std::uint32_t& rolloutNo, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    rolloutNo = 0;
    if (!requireOpen(error))
    {
        return false;
    }
    CSqliteCachedStatement statement = m_connection.statement(
        "INSERT INTO upgrade_rollout(rollout_id, status, created_at, plan_json, state_json) "
        "VALUES(?1, ?2, ?3, ?4, ?5);",
        error);
    if (!statement || !statement->bindText(1, rolloutId, error) || !statement->bindText(2, status, error) ||
        !statement->bindInt64(3, createdAt, error) || !statement->bindText(4, planJson, error) ||
        !statement->bindText(5, stateJson, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot store rollout", m_connection.handle(), resultCode);
        return false;
    }
    rolloutNo = static_cast<std::uint32_t>(sqlite3_last_insert_rowid(m_connection.handle()));
    return true;
}

bool CRolloutStore::update(std::uint32_t rolloutNo, const std::string& status, std::int64_t finishedAt,
                           const std::string& stateJson, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    CSqliteCachedStatement statement = m_connection.statement(
        "UPDATE upgrade_rollout SET status=?1, finished_at=?2, state_json=?3 WHERE rollout_no=?4;", error);
    if (!statement || !statement->bindText(1, status, error) || !statement->bindInt64(2, finishedAt, error) ||
        !statement->bindText(3, stateJson, error) || !statement->bindInt64(4, rolloutNo, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot update rollout", m_connection.handle(), resultCode);
        return false;
    }
    if (m_connection.changes() != 1)
    {
        error = "Rollout " + std::to_string(rolloutNo) + " is not stored";
        return false;
    }
    return true;
}

bool CRolloutStore::loadAll(std::vector<S_StoredRollout>& rollouts, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    rollouts.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    CSqliteCachedStatement statement = m_connection.statement(
        "SELECT rollout_no, plan_json, state_json FROM upgrade_rollout ORDER BY rollout_no;", error);
    if (!statement)
    {
        return false;
    }
    int resultCode = SQLITE_OK;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        rollouts.push_back(S_StoredRollout{static_cast<std::uint32_t>(statement->columnInt64(0)),
                                           statement->columnText(1), statement->columnText(2)});
    }
    if (resultCode != SQLITE_DONE)
    {
        rollouts.clear();
        error = sqliteFailure("Cannot read rollouts", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

bool CRolloutStore::remove(const std::vector<std::uint32_t>& rolloutNos, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    // Every way out before the commit rolls the transaction back: all of them go, or none.
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    for (const std::uint32_t rolloutNo : rolloutNos)
    {
        CSqliteCachedStatement statement =
            m_connection.statement("DELETE FROM upgrade_rollout WHERE rollout_no=?1;", error);
        if (!statement || !statement->bindInt64(1, rolloutNo, error))
        {
            return false;
        }
        const int resultCode = statement->step();
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot delete rollout", m_connection.handle(), resultCode);
            return false;
        }
    }
    return transaction.commit(error);
}

}  // namespace ota::backend
