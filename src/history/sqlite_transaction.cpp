#include "history/sqlite_transaction.h"

#include "common/console_log.h"
#include "history/sqlite_connection.h"

#include <sqlite3.h>

namespace ota::backend
{

namespace
{

// Never throws: runs in destructors.
void rollBackOpenTransaction(CSqliteConnection& connection) noexcept
{
    // Some failures (a full disk, an I/O error, an interrupt) make SQLite roll back by itself:
    // then no transaction is left, and a ROLLBACK would only fail for want of one.
    if (!connection.inTransaction())
    {
        return;
    }
    try
    {
        std::string error;
        if (!connection.execute("ROLLBACK;", error))
        {
            consoleErr("[WARN] [HISTORY] Cannot roll back a history database transaction: " + error);
        }
    }
    catch (...)
    {
        // A failure to format or write the line must not end the process.
    }
}

}  // namespace

CSqliteTransaction::~CSqliteTransaction()
{
    rollback();
}

bool CSqliteTransaction::begin(std::string& error)
{
    if (!m_connection.execute("BEGIN IMMEDIATE;", error))
    {
        return false;
    }
    m_open = true;
    return true;
}

bool CSqliteTransaction::commit(std::string& error)
{
    if (!m_connection.execute("COMMIT;", error))
    {
        return false;
    }
    m_open = false;
    return true;
}

void CSqliteTransaction::rollback()
{
    if (!m_open)
    {
        return;
    }
    m_open = false;
    rollBackOpenTransaction(m_connection);
}

bool executeSqliteTransactionScript(CSqliteConnection& connection, const char* script, std::string& error)
{
    if (connection.execute(script, error))
    {
        return true;
    }
    rollBackOpenTransaction(connection);
    return false;
}

bool openSqliteStore(CSqliteConnection& connection, const std::filesystem::path& databasePath,
                     std::string_view failureContext, int busyTimeoutMs, const char* pragmaScript,
                     const char* schemaScript, std::string& error)
{
    if (!connection.open(databasePath.string(), failureContext, busyTimeoutMs, error))
    {
        return false;
    }
    if (!connection.execute(pragmaScript, error) ||
        !executeSqliteTransactionScript(connection, schemaScript, error))
    {
        connection.close();
        return false;
    }
    return true;
}

std::optional<bool> sqliteTableExists(CSqliteConnection& connection, std::string_view table,
                                      std::string_view failureContext, std::string& error)
{
    CSqliteCachedStatement exists =
        connection.statement("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1;", error);
    if (!exists || !exists->bindText(1, std::string(table), error))
    {
        return std::nullopt;
    }
    const int resultCode = exists->step();
    if (resultCode != SQLITE_ROW && resultCode != SQLITE_DONE)
    {
        error = sqliteFailure(failureContext, connection.handle(), resultCode);
        return std::nullopt;
    }
    return resultCode == SQLITE_ROW;
}

}  // namespace ota::backend
