#include "history/upgrade_actor_store.h"

#include "history/sqlite_transaction.h"

#include <sqlite3.h>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;";

constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS upgrade_actor("
    "upgrade_no INTEGER PRIMARY KEY CHECK(upgrade_no>0 AND upgrade_no<=4294967295),"
    "previewed_by TEXT NOT NULL DEFAULT '',"
    "approved_by TEXT NOT NULL DEFAULT '',"
    "started_by TEXT NOT NULL DEFAULT '',"
    "aborted_by TEXT NOT NULL DEFAULT '');"
    "COMMIT;";

// Constant texts (the statement cache is keyed by them): one per role.
const char* noteStatementOf(E_UpgradeActorRole role)
{
    switch (role)
    {
        case E_UpgradeActorRole::PREVIEWED:
            // A preview starts the task's row afresh.
            return "INSERT OR REPLACE INTO upgrade_actor(upgrade_no, previewed_by) VALUES(?1, ?2);";
        case E_UpgradeActorRole::APPROVED:
            return "INSERT INTO upgrade_actor(upgrade_no, approved_by) VALUES(?1, ?2) "
                   "ON CONFLICT(upgrade_no) DO UPDATE SET approved_by=excluded.approved_by;";
        case E_UpgradeActorRole::STARTED:
            return "INSERT INTO upgrade_actor(upgrade_no, started_by) VALUES(?1, ?2) "
                   "ON CONFLICT(upgrade_no) DO UPDATE SET started_by=excluded.started_by;";
        case E_UpgradeActorRole::ABORTED:
            break;
    }
    return "INSERT INTO upgrade_actor(upgrade_no, aborted_by) VALUES(?1, ?2) "
           "ON CONFLICT(upgrade_no) DO UPDATE SET aborted_by=excluded.aborted_by;";
}

}  // namespace

CUpgradeActorStore::~CUpgradeActorStore()
{
    close();
}

bool CUpgradeActorStore::open(const std::filesystem::path& databasePath, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    return openSqliteStore(m_connection, databasePath, "Cannot open upgrade actor store", kBusyTimeoutMs,
                           kPragmaScript, kSchemaScript, error);
}

void CUpgradeActorStore::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
}

bool CUpgradeActorStore::note(std::uint32_t upgradeNo, E_UpgradeActorRole role, const std::string& name,
                              std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    CSqliteCachedStatement statement = m_connection.statement(noteStatementOf(role), error);
    if (!statement || !statement->bindInt64(1, upgradeNo, error) || !statement->bindText(2, name, error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot store upgrade actor", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

bool CUpgradeActorStore::readAll(std::map<std::uint32_t, S_UpgradeActors>& actors, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    actors.clear();
    CSqliteCachedStatement statement = m_connection.statement(
        "SELECT upgrade_no, previewed_by, approved_by, started_by, aborted_by FROM upgrade_actor;", error);
    if (!statement)
    {
        return false;
    }
    int resultCode = SQLITE_OK;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        actors[static_cast<std::uint32_t>(statement->columnInt64(0))] =
            S_UpgradeActors{statement->columnText(1), statement->columnText(2), statement->columnText(3),
                            statement->columnText(4)};
    }
    if (resultCode != SQLITE_DONE)
    {
        actors.clear();
        error = sqliteFailure("Cannot read upgrade actors", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

bool CUpgradeActorStore::prune(std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    CSqliteCachedStatement statement = m_connection.statement(
        "DELETE FROM upgrade_actor WHERE upgrade_no NOT IN (SELECT upgrade_no FROM upgrade_history);", error);
    if (!statement)
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot prune upgrade actors", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

}  // namespace ota::backend
