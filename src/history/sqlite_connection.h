#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace ota::backend
{

// The connection's last error message, else the generic text of the result code.
std::string sqliteErrorMessage(sqlite3* database, int resultCode);

// Context + ": " + the SQLite message.
std::string sqliteFailure(std::string_view context, sqlite3* database, int resultCode);

// Runs several statements in one call; failures read "SQLite schema operation failed: " + message.
bool executeSqliteScript(sqlite3* database, const char* script, std::string& error);

// One prepared statement, finalized when the object goes away, whatever path the caller takes.
class CSqliteStatement
{
public:
    CSqliteStatement() = default;
    ~CSqliteStatement();
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    bool prepare(sqlite3* database, std::string_view sql, std::string& error);
    bool bindInt64(int index, std::int64_t value, std::string& error);
    // UTF-8, copied by SQLite.
    bool bindText(int index, std::string_view text, std::string& error);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();

    std::int64_t columnInt64(int column) const;
    bool columnIsNull(int column) const;
    // NULL reads as empty.
    std::string columnText(int column) const;
    std::optional<std::string> columnOptionalText(int column) const;
    std::optional<std::int64_t> columnOptionalInt64(int column) const;

private:
    sqlite3* m_database = nullptr;
    sqlite3_stmt* m_statement = nullptr;
};

}  // namespace ota::backend
