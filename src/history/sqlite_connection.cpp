#include "history/sqlite_connection.h"

#include <sqlite3.h>

#include <limits>

namespace ota::backend
{

std::string sqliteErrorMessage(sqlite3* database, int resultCode)
{
    if (database != nullptr)
    {
        const char* message = sqlite3_errmsg(database);
        if (message != nullptr && *message != '\0')
        {
            return message;
        }
    }
    const char* generic = sqlite3_errstr(resultCode);
    if (generic != nullptr && *generic != '\0')
    {
        return generic;
    }
    return "Unknown SQLite error";
}

std::string sqliteFailure(std::string_view context, sqlite3* database, int resultCode)
{
    std::string text(context);
    text += ": ";
    text += sqliteErrorMessage(database, resultCode);
    return text;
}

bool executeSqliteScript(sqlite3* database, const char* script, std::string& error)
{
    char* message = nullptr;
    const int resultCode = sqlite3_exec(database, script, nullptr, nullptr, &message);
    if (resultCode == SQLITE_OK)
    {
        return true;
    }
    std::string detail;
    if (message != nullptr && *message != '\0')
    {
        detail = message;
    }
    else
    {
        detail = sqliteErrorMessage(database, resultCode);
    }
    sqlite3_free(message);
    error = "SQLite schema operation failed: " + detail;
    return false;
}

CSqliteStatement::~CSqliteStatement()
{
    sqlite3_finalize(m_statement);
}

bool CSqliteStatement::prepare(sqlite3* database, std::string_view sql, std::string& error)
{
    sqlite3_finalize(m_statement);
    m_statement = nullptr;
    m_database = database;
    const int resultCode =
        sqlite3_prepare_v2(database, sql.data(), static_cast<int>(sql.size()), &m_statement, nullptr);
    if (resultCode != SQLITE_OK || m_statement == nullptr)
    {
        error = sqliteFailure("Cannot prepare SQLite statement", database,
                              resultCode == SQLITE_OK ? SQLITE_ERROR : resultCode);
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
        return false;
    }
    return true;
}

bool CSqliteStatement::bindInt64(int index, std::int64_t value, std::string& error)
{
    const int resultCode = sqlite3_bind_int64(m_statement, index, value);
    if (resultCode != SQLITE_OK)
    {
        error = sqliteFailure("Cannot bind SQLite integer", m_database, resultCode);
        return false;
    }
    return true;
}

bool CSqliteStatement::bindText(int index, std::string_view text, std::string& error)
{
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    {
        error = "SQLite text value exceeds the supported length";
        return false;
    }
    const int resultCode =
        sqlite3_bind_text(m_statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (resultCode != SQLITE_OK)
    {
        error = sqliteFailure("Cannot bind SQLite text", m_database, resultCode);
        return false;
    }
    return true;
}

int CSqliteStatement::step()
{
    return sqlite3_step(m_statement);
}

std::int64_t CSqliteStatement::columnInt64(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

bool CSqliteStatement::columnIsNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

std::string CSqliteStatement::columnText(int column) const
{
    const unsigned char* text = sqlite3_column_text(m_statement, column);
    if (text == nullptr)
    {
        return {};
    }
    const int size = sqlite3_column_bytes(m_statement, column);
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

std::optional<std::string> CSqliteStatement::columnOptionalText(int column) const
{
    if (columnIsNull(column))
    {
        return std::nullopt;
    }
    return columnText(column);
}

std::optional<std::int64_t> CSqliteStatement::columnOptionalInt64(int column) const
{
    if (columnIsNull(column))
    {
        return std::nullopt;
    }
    return columnInt64(column);
}

}  // namespace ota::backend
