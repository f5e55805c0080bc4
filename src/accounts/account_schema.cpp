#include "accounts/account_schema.h"

#include "history/sqlite_transaction.h"

namespace ota::backend
{

namespace
{

constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS accounts("
    "name TEXT PRIMARY KEY NOT NULL COLLATE NOCASE,"
    "role TEXT NOT NULL,"
    "password_hash TEXT NOT NULL,"
    "enabled INTEGER NOT NULL,"
    "created_at INTEGER NOT NULL,"
    "stamp INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS api_tokens("
    "id TEXT PRIMARY KEY NOT NULL,"
    "label TEXT NOT NULL UNIQUE,"
    "user TEXT NOT NULL REFERENCES accounts(name),"
    "token_hash TEXT NOT NULL,"
    "created_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS accounts_revision("
    "id INTEGER PRIMARY KEY CHECK(id = 1),"
    "value INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO accounts_revision(id, value) VALUES(1, 1);"
    "COMMIT;";

}  // namespace

bool createAccountTables(CSqliteConnection& connection, std::string& error)
{
    return executeSqliteTransactionScript(connection, kSchemaScript, error);
}

std::optional<bool> accountTablesExist(CSqliteConnection& connection, std::string& error)
{
    return sqliteTableExists(connection, "accounts_revision", "Cannot read accounts", error);
}

}  // namespace ota::backend
