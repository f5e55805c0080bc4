#pragma once

// The SQLite layer of the history database, for every table kept in that file: error texts, the
// prepared statement, the connection with its statement cache. The transaction type is in
// history/sqlite_transaction.h.
//
// Lifetimes: a CSqliteConnection owns its handle and every statement cached on it; close()
// finalizes the cached statements, then closes the handle. A CSqliteCachedStatement points into
// its connection's cache and must end before the connection is closed (in practice it is a local
// of the operation that took it). A CSqliteStatement prepared directly owns its statement and
// finalizes it when it goes.
//
// Threads: nothing here locks. The owner of a connection serialises every use of it and of its
// statements (the history repository holds its mutex for each operation).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

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

    // persistent: the statement is kept for many uses (SQLite then allocates it for the long term).
    bool prepare(sqlite3* database, std::string_view sql, std::string& error, bool persistent = false);
    bool bindInt64(int index, std::int64_t value, std::string& error);
    // UTF-8, copied by SQLite.
    bool bindText(int index, std::string_view text, std::string& error);

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    // Ends the current run (releasing the read or write it holds) and drops every bound value, so
    // that a kept statement holds neither a lock nor a copy of a document between uses.
    void reset();

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

// A statement borrowed from a connection's cache for one use: it is reset and unbound when the
// borrow ends. Empty when the statement could not be prepared.
class CSqliteCachedStatement
{
public:
    CSqliteCachedStatement() = default;
    CSqliteCachedStatement(CSqliteCachedStatement&& other) noexcept;
    CSqliteCachedStatement& operator=(CSqliteCachedStatement&& other) noexcept;
    CSqliteCachedStatement(const CSqliteCachedStatement&) = delete;
    CSqliteCachedStatement& operator=(const CSqliteCachedStatement&) = delete;
    ~CSqliteCachedStatement();

    explicit operator bool() const { return m_statement != nullptr; }
    CSqliteStatement& operator*() const { return *m_statement; }
    CSqliteStatement* operator->() const { return m_statement; }

private:
    friend class CSqliteConnection;
    void release();

    CSqliteStatement* m_statement = nullptr;
    bool* m_inUse = nullptr;                     // the cache entry's flag; null for a one-off
    std::unique_ptr<CSqliteStatement> m_oneOff;  // the cached one was already borrowed
};

// One SQLite connection with the statements it runs again and again prepared once: a statement is
// prepared at its first use and kept until close(). Tables of other subsystems kept in the same
// file use the same type: a statement text is its key, so each table's statements live beside
// the others' without coordination.
class CSqliteConnection
{
public:
    CSqliteConnection() = default;
    ~CSqliteConnection();
    CSqliteConnection(const CSqliteConnection&) = delete;
    CSqliteConnection& operator=(const CSqliteConnection&) = delete;

    // Opens the file for reading and writing (created when missing) with the connection in
    // serialized mode, extended result codes on and the busy timeout set. Failure:
    // failureContext + ": " + the SQLite message; nothing stays open.
    bool open(const std::string& path, std::string_view failureContext, int busyTimeoutMs,
              std::string& error);
    // The same for reading only: the file must exist, and nothing is ever written to it.
    bool openReadOnly(const std::string& path, std::string_view failureContext, int busyTimeoutMs,
                      std::string& error);
    // Finalizes every cached statement, then closes the handle. No effect when closed.
    void close();
    bool isOpen() const { return m_database != nullptr; }
    sqlite3* handle() const { return m_database; }

    // Several statements without parameters in one call (executeSqliteScript).
    bool execute(const char* script, std::string& error);

    // The statement of this SQL text from the cache, prepared at its first use. The text is the
    // key: pass constant texts only (values go into bound parameters), or the cache grows with
    // every distinct text. Empty with the preparation's error when it cannot be prepared.
    CSqliteCachedStatement statement(std::string_view sql, std::string& error);
    std::size_t cachedStatementCount() const { return m_statements.size(); }

    // Rows changed by the last INSERT, UPDATE or DELETE that completed.
    std::int64_t changes() const;
    // True while an explicit transaction is open (SQLite may end one by itself after an error).
    bool inTransaction() const;

private:
    bool openWithFlags(const std::string& path, int flags, std::string_view failureContext, int busyTimeoutMs,
                       std::string& error);

    struct S_CachedStatement
    {
        CSqliteStatement statement;
        bool inUse = false;
    };
    struct S_TextHash
    {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };

    sqlite3* m_database = nullptr;
    std::unordered_map<std::string, std::unique_ptr<S_CachedStatement>, S_TextHash, std::equal_to<>>
        m_statements;
};

}  // namespace ota::backend
