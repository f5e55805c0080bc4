#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ota::backend
{

class CSqliteConnection;

// One immediate write transaction that is committed only when the code says so: every other way
// out of its scope (an early return after a failed step, an exception, a failed commit) rolls it
// back. The rollback's own failure is logged ("[WARN] [HISTORY] Cannot roll back ..."), because the
// connection may then still hold the transaction and with it the database's write lock.
//
//     CSqliteTransaction transaction(connection);
//     if (!transaction.begin(error) || !writeThis(error) || !writeThat(error))
//     {
//         return false;  // rolled back here
//     }
//     return transaction.commit(error);
//
// Lifetime: within one operation on the connection, which must stay open until the transaction
// object ends. Transactions do not nest (SQLite has one per connection).
class CSqliteTransaction
{
public:
    explicit CSqliteTransaction(CSqliteConnection& connection) noexcept : m_connection(connection) {}
    ~CSqliteTransaction();
    CSqliteTransaction(const CSqliteTransaction&) = delete;
    CSqliteTransaction& operator=(const CSqliteTransaction&) = delete;

    // "BEGIN IMMEDIATE;": takes the write lock now (waiting up to the busy timeout), so that no
    // statement inside fails later on a lock held by another connection.
    bool begin(std::string& error);
    // "COMMIT;". A failed commit leaves the transaction to the rollback at the end of the scope.
    bool commit(std::string& error);
    // Rolls back now (an explicit early end; the destructor then has nothing left to do).
    void rollback();

private:
    CSqliteConnection& m_connection;
    bool m_open = false;
};

// Runs a script that begins and commits its own transaction (a schema created in one piece, its
// BEGIN and COMMIT inside the text). When a statement inside fails, SQLite stops there with the
// transaction still open: it is rolled back here, as CSqliteTransaction would, so that the
// connection does not keep the write lock (or half a schema) after the failure.
bool executeSqliteTransactionScript(CSqliteConnection& connection, const char* script, std::string& error);

// Opens a store's connection to the database file and makes its schema: the connection's pragmas,
// then the schema script in its own transaction. On a failure the connection is closed again.
bool openSqliteStore(CSqliteConnection& connection, const std::filesystem::path& databasePath,
                     std::string_view failureContext, int busyTimeoutMs, const char* pragmaScript,
                     const char* schemaScript, std::string& error);

// Whether the database holds a table of that name (stores that make their tables with their first
// row ask at open); none with error on a failure, whose message starts with failureContext.
std::optional<bool> sqliteTableExists(CSqliteConnection& connection, std::string_view table,
                                      std::string_view failureContext, std::string& error);

}  // namespace ota::backend
