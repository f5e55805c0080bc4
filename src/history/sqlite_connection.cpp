#include "history/sqlite_connection.h"

#include <sqlite3.h>

#include <limits>
#include <utility>

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

bool CSqliteStatement::prepare(sqlite3* database, std::string_view sql, std::string& error, bool persistent)
{
    sqlite3_finalize(m_statement);
    m_statement = nullptr;
    m_database = database;
    const int resultCode =
        sqlite3_prepare_v3(database, sql.data(), static_cast<int>(sql.size()),
                           persistent ? SQLITE_PREPARE_PERSISTENT : 0, &m_statement, nullptr);
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

void CSqliteStatement::reset()
{
    if (m_statement == nullptr)
    {
        return;
    }
    // The result repeats the last step's error, which the caller has already seen.
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
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

CSqliteCachedStatement::CSqliteCachedStatement(CSqliteCachedStatement&& other) noexcept
    : m_statement(std::exchange(other.m_statement, nullptr)),
      m_inUse(std::exchange(other.m_inUse, nullptr)),
      m_oneOff(std::move(other.m_oneOff))
{
}

CSqliteCachedStatement& CSqliteCachedStatement::operator=(CSqliteCachedStatement&& other) noexcept
{
    if (this != &other)
    {
        release();
        m_statement = std::exchange(other.m_statement, nullptr);
        m_inUse = std::exchange(other.m_inUse, nullptr);
        m_oneOff = std::move(other.m_oneOff);
    }
    return *this;
}

CSqliteCachedStatement::~CSqliteCachedStatement()
{
    release();
}

void CSqliteCachedStatement::release()
{
    if (m_statement != nullptr)
    {
        m_statement->reset();
    }
    if (m_inUse != nullptr)
    {
        *m_inUse = false;
    }
    m_statement = nullptr;
    m_inUse = nullptr;
    m_oneOff.reset();
}

CSqliteConnection::~CSqliteConnection()
{
    close();
}

bool CSqliteConnection::open(const std::string& path, std::string_view failureContext, int busyTimeoutMs,
                             std::string& error)
{
    return openWithFlags(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, failureContext, busyTimeoutMs,
                         error);
}

bool CSqliteConnection::openReadOnly(const std::string& path, std::string_view failureContext,
                                     int busyTimeoutMs, std::string& error)
{
    return openWithFlags(path, SQLITE_OPEN_READONLY, failureContext, busyTimeoutMs, error);
}

bool CSqliteConnection::openWithFlags(const std::string& path, int flags, std::string_view failureContext,
                                      int busyTimeoutMs, std::string& error)
{
    close();
    sqlite3* database = nullptr;
    const int openResult = sqlite3_open_v2(path.c_str(), &database, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (openResult != SQLITE_OK)
    {
        error = sqliteFailure(failureContext, database, openResult);
        sqlite3_close(database);
        return false;
    }
    sqlite3_extended_result_codes(database, 1);
    sqlite3_busy_timeout(database, busyTimeoutMs);
    m_database = database;
    return true;
}

void CSqliteConnection::close()
{
    m_statements.clear();
    if (m_database != nullptr)
    {
        // Every statement of the cache is finalized now, and a one-off statement lives only
        // within the operation that prepared it; close_v2 copes with a straggler anyway.
        sqlite3_close_v2(m_database);
        m_database = nullptr;
    }
}

bool CSqliteConnection::execute(const char* script, std::string& error)
{
    return executeSqliteScript(m_database, script, error);
}

CSqliteCachedStatement CSqliteConnection::statement(std::string_view sql, std::string& error)
{
    CSqliteCachedStatement borrowed;
    auto found = m_statements.find(sql);
    if (found == m_statements.end())
    {
        auto entry = std::make_unique<S_CachedStatement>();
        if (!entry->statement.prepare(m_database, sql, error, true))
        {
            return borrowed;
        }
        found = m_statements.emplace(std::string(sql), std::move(entry)).first;
    }
    S_CachedStatement& entry = *found->second;
    if (entry.inUse)
    {
        // The same text borrowed twice at once (a query run inside the loop over its own rows):
        // the second borrower gets a statement of its own for this use.
        auto oneOff = std::make_unique<CSqliteStatement>();
        if (!oneOff->prepare(m_database, sql, error))
        {
            return borrowed;
        }
        borrowed.m_statement = oneOff.get();
        borrowed.m_oneOff = std::move(oneOff);
        return borrowed;
    }
    entry.inUse = true;
    borrowed.m_statement = &entry.statement;
    borrowed.m_inUse = &entry.inUse;
    return borrowed;
}

std::int64_t CSqliteConnection::changes() const
{
    return sqlite3_changes64(m_database);
}

bool CSqliteConnection::inTransaction() const
{
    return m_database != nullptr && sqlite3_get_autocommit(m_database) == 0;
}

}  // namespace ota::backend
