#include "baseline/baseline_store.h"

#include "history/sqlite_transaction.h"

#include <sqlite3.h>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kNotOpen = "Baselines are not open";
constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;";
constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS baseline("
    "baseline_no INTEGER PRIMARY KEY NOT NULL,"
    "created_at INTEGER NOT NULL,"
    "note TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS baseline_component("
    "baseline_no INTEGER NOT NULL,"
    "position INTEGER NOT NULL,"
    "node_id TEXT NOT NULL,"
    "component_type_id TEXT NOT NULL,"
    "component_index INTEGER NOT NULL,"
    "version TEXT NOT NULL,"
    "PRIMARY KEY(baseline_no, position));"
    "COMMIT;";
constexpr const char* kNextNumberSql = "SELECT COALESCE(MAX(baseline_no), 0) + 1 FROM baseline;";
constexpr const char* kInsertSql = "INSERT INTO baseline(baseline_no, created_at, note) VALUES(?1, ?2, ?3);";
constexpr const char* kInsertComponentSql =
    "INSERT INTO baseline_component(baseline_no, position, node_id, component_type_id, component_index, "
    "version) VALUES(?1, ?2, ?3, ?4, ?5, ?6);";
constexpr const char* kLatestSql =
    "SELECT baseline_no, created_at, note FROM baseline WHERE ?1 = ?1 ORDER BY baseline_no DESC LIMIT 1;";
constexpr const char* kFindSql = "SELECT baseline_no, created_at, note FROM baseline WHERE baseline_no = ?1;";
constexpr const char* kComponentsSql =
    "SELECT node_id, component_type_id, component_index, version FROM baseline_component "
    "WHERE baseline_no = ?1 ORDER BY position;";
constexpr const char* kListSql =
    "SELECT b.baseline_no, b.created_at, b.note,"
    " (SELECT COUNT(*) FROM baseline_component c WHERE c.baseline_no = b.baseline_no) "
    "FROM baseline b WHERE ?1 = 0 OR b.baseline_no < ?1 ORDER BY b.baseline_no DESC LIMIT ?2;";

bool stepDone(CSqliteConnection& connection, CSqliteCachedStatement& statement, std::string& error)
{
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot store baseline", connection.handle(), resultCode);
        return false;
    }
    return true;
}

}  // namespace

bool CBaselineStore::open(const std::filesystem::path& databasePath, std::string& error)
{
    error.clear();
    if (m_connection.isOpen())
    {
        error = "Baselines are already open";
        return false;
    }
    if (!m_connection.open(databasePath.string(), "Cannot open baselines", kBusyTimeoutMs, error) ||
        !m_connection.execute(kPragmaScript, error))
    {
        m_connection.close();
        return false;
    }
    const std::optional<bool> exists =
        sqliteTableExists(m_connection, "baseline", "Cannot read baselines", error);
    if (!exists)
    {
        m_connection.close();
        return false;
    }
    m_tablesReady = *exists;
    return true;
}

void CBaselineStore::close()
{
    m_connection.close();
    m_tablesReady = false;
}

bool CBaselineStore::insert(S_BaselineDocument& document, std::string& error)
{
    error.clear();
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return false;
    }
    if (!m_tablesReady)
    {
        if (!executeSqliteTransactionScript(m_connection, kSchemaScript, error))
        {
            return false;
        }
        m_tablesReady = true;
    }
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    std::int64_t number = 0;
    {
        CSqliteCachedStatement next = m_connection.statement(kNextNumberSql, error);
        if (!next)
        {
            return false;
        }
        const int resultCode = next->step();
        if (resultCode != SQLITE_ROW)
        {
            error = sqliteFailure("Cannot store baseline", m_connection.handle(), resultCode);
            return false;
        }
        number = next->columnInt64(0);
    }
    {
        CSqliteCachedStatement statement = m_connection.statement(kInsertSql, error);
        if (!statement || !statement->bindInt64(1, number, error) ||
            !statement->bindInt64(2, document.createdAt, error) ||
            !statement->bindText(3, document.note, error) || !stepDone(m_connection, statement, error))
        {
            return false;
        }
    }
    for (std::size_t position = 0; position < document.components.size(); ++position)
    {
        const S_BaselineComponent& component = document.components[position];
        CSqliteCachedStatement statement = m_connection.statement(kInsertComponentSql, error);
        if (!statement || !statement->bindInt64(1, number, error) ||
            !statement->bindInt64(2, static_cast<std::int64_t>(position), error) ||
            !statement->bindText(3, component.nodeId, error) ||
            !statement->bindText(4, component.componentTypeId, error) ||
            !statement->bindInt64(5, component.componentIndex, error) ||
            !statement->bindText(6, component.version, error) || !stepDone(m_connection, statement, error))
        {
            return false;
        }
    }
    if (!transaction.commit(error))
    {
        return false;
    }
    document.baselineNo = static_cast<std::uint32_t>(number);
    return true;
}

bool CBaselineStore::readComponents(S_BaselineDocument& document, std::string& error)
{
    CSqliteCachedStatement statement = m_connection.statement(kComponentsSql, error);
    if (!statement || !statement->bindInt64(1, document.baselineNo, error))
    {
        return false;
    }
    int resultCode = SQLITE_ROW;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        document.components.push_back(S_BaselineComponent{
            statement->columnText(0), statement->columnText(1),
            static_cast<std::uint16_t>(statement->columnInt64(2)), statement->columnText(3)});
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read baseline", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

bool CBaselineStore::readOne(const char* sql, std::int64_t parameter,
                             std::optional<S_BaselineDocument>& document, std::string& error)
{
    document.reset();
    error.clear();
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return false;
    }
    if (!m_tablesReady)
    {
        return true;
    }
    S_BaselineDocument read;
    {
        CSqliteCachedStatement statement = m_connection.statement(sql, error);
        if (!statement || !statement->bindInt64(1, parameter, error))
        {
            return false;
        }
        const int resultCode = statement->step();
        if (resultCode == SQLITE_DONE)
        {
            return true;
        }
        if (resultCode != SQLITE_ROW)
        {
            error = sqliteFailure("Cannot read baseline", m_connection.handle(), resultCode);
            return false;
        }
        read.baselineNo = static_cast<std::uint32_t>(statement->columnInt64(0));
        read.createdAt = statement->columnInt64(1);
        read.note = statement->columnText(2);
    }
    if (!readComponents(read, error))
    {
        return false;
    }
    document = std::move(read);
    return true;
}

bool CBaselineStore::latest(std::optional<S_BaselineDocument>& document, std::string& error)
{
    return readOne(kLatestSql, 0, document, error);
}

bool CBaselineStore::find(std::uint32_t baselineNo, std::optional<S_BaselineDocument>& document,
                          std::string& error)
{
    return readOne(kFindSql, baselineNo, document, error);
}

std::optional<std::vector<S_BaselineListEntry>> CBaselineStore::list(std::uint32_t limit, std::int64_t before,
                                                                     std::int64_t& nextBefore,
                                                                     std::string& error)
{
    nextBefore = 0;
    error.clear();
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return std::nullopt;
    }
    std::vector<S_BaselineListEntry> entries;
    if (!m_tablesReady)
    {
        return entries;
    }
    CSqliteCachedStatement statement = m_connection.statement(kListSql, error);
    // One more than asked: whether a next page exists.
    if (!statement || !statement->bindInt64(1, before, error) ||
        !statement->bindInt64(2, static_cast<std::int64_t>(limit) + 1, error))
    {
        return std::nullopt;
    }
    int resultCode = SQLITE_ROW;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        entries.push_back(S_BaselineListEntry{static_cast<std::uint32_t>(statement->columnInt64(0)),
                                              statement->columnInt64(1), statement->columnText(2),
                                              static_cast<std::uint64_t>(statement->columnInt64(3))});
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read baselines", m_connection.handle(), resultCode);
        return std::nullopt;
    }
    if (entries.size() > limit)
    {
        entries.resize(limit);
        nextBefore = entries.empty() ? 0 : entries.back().baselineNo;
    }
    return entries;
}

}  // namespace ota::backend
