#include "site_holds/site_holds.h"

#include "common/clock.h"
#include "common/console_log.h"
#include "history/sqlite_transaction.h"
#include "site_holds/site_hold_rules.h"

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <system_error>

namespace ota::backend
{

namespace
{

constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kNotOpen = "Site holds are not open";
// A hold is a safety statement of the plant: it must survive a power loss once answered.
constexpr const char* kPragmaScript = "PRAGMA journal_mode=WAL;PRAGMA synchronous=FULL;";
constexpr const char* kSchemaScript =
    "BEGIN IMMEDIATE;"
    "CREATE TABLE IF NOT EXISTS site_hold("
    "source TEXT PRIMARY KEY NOT NULL,"
    "reason TEXT NOT NULL,"
    "placed_at INTEGER NOT NULL,"
    "expires_at INTEGER NOT NULL);"
    "COMMIT;";
constexpr const char* kSelectSql = "SELECT source, reason, placed_at, expires_at FROM site_hold;";
constexpr const char* kUpsertSql =
    "INSERT INTO site_hold(source, reason, placed_at, expires_at) VALUES(?1, ?2, ?3, ?4) "
    "ON CONFLICT(source) DO UPDATE SET reason=excluded.reason, expires_at=excluded.expires_at;";
constexpr const char* kDeleteSql = "DELETE FROM site_hold WHERE source=?1;";
// The first line of the hold file is all that is read of it.
constexpr std::streamsize kMaxHoldFileBytes = 4096;

bool runWrite(CSqliteConnection& connection, CSqliteCachedStatement& statement, std::string& error)
{
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot store site hold", connection.handle(), resultCode);
        return false;
    }
    return true;
}

bool deleteRow(CSqliteConnection& connection, const std::string& source, std::string& error)
{
    CSqliteCachedStatement statement = connection.statement(kDeleteSql, error);
    return statement && statement->bindText(1, source, error) && runWrite(connection, statement, error);
}

bool isLapsed(const S_SiteHold& hold, std::int64_t at)
{
    return hold.expiresAt != 0 && hold.expiresAt <= at;
}

}  // namespace

CSiteHolds::CSiteHolds(Clock clock) : m_clock(std::move(clock)) {}

CSiteHolds::~CSiteHolds()
{
    close();
}

std::int64_t CSiteHolds::now() const
{
    return m_clock ? m_clock() : currentUnixMs();
}

bool CSiteHolds::open(const std::filesystem::path& databasePath, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (m_connection.isOpen())
    {
        error = "Site holds are already open";
        return false;
    }
    if (!m_connection.open(databasePath.string(), "Cannot open site holds", kBusyTimeoutMs, error))
    {
        return false;
    }
    if (!m_connection.execute(kPragmaScript, error))
    {
        m_connection.close();
        return false;
    }
    // The table is made with the first hold: a site that never holds keeps its file as it was.
    const std::optional<bool> exists =
        sqliteTableExists(m_connection, "site_hold", "Cannot read site holds", error);
    if (!exists)
    {
        m_connection.close();
        return false;
    }
    m_tableReady = *exists;
    if (!m_tableReady)
    {
        m_holds.clear();
        return true;
    }
    CSqliteCachedStatement statement = m_connection.statement(kSelectSql, error);
    if (!statement)
    {
        m_connection.close();
        return false;
    }
    std::vector<S_SiteHold> holds;
    int resultCode = SQLITE_ROW;
    while ((resultCode = statement->step()) == SQLITE_ROW)
    {
        holds.push_back(S_SiteHold{statement->columnText(0), statement->columnText(1),
                                   statement->columnInt64(2), statement->columnInt64(3)});
    }
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot read site holds", m_connection.handle(), resultCode);
        statement = CSqliteCachedStatement();
        m_connection.close();
        return false;
    }
    m_holds = std::move(holds);
    return true;
}

void CSiteHolds::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.close();
    m_holds.clear();
    m_tableReady = false;
}

void CSiteHolds::setHoldFile(std::filesystem::path holdFile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdFile = std::move(holdFile);
}

void CSiteHolds::setObserver(Observer observer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

bool CSiteHolds::place(const std::string& source, const std::string& reason, std::uint32_t ttlSeconds,
                       std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return false;
    }
    if (!m_tableReady)
    {
        if (!executeSqliteTransactionScript(m_connection, kSchemaScript, error))
        {
            return false;
        }
        m_tableReady = true;
    }
    const std::int64_t at = now();
    lapseLocked(at);
    const auto found = std::find_if(m_holds.begin(), m_holds.end(),
                                    [&](const S_SiteHold& hold) { return hold.source == source; });
    S_SiteHold hold{source, reason, found == m_holds.end() ? at : found->placedAt,
                    ttlSeconds == 0 ? 0 : at + static_cast<std::int64_t>(ttlSeconds) * 1000};
    CSqliteCachedStatement statement = m_connection.statement(kUpsertSql, error);
    if (!statement || !statement->bindText(1, hold.source, error) ||
        !statement->bindText(2, hold.reason, error) || !statement->bindInt64(3, hold.placedAt, error) ||
        !statement->bindInt64(4, hold.expiresAt, error) || !runWrite(m_connection, statement, error))
    {
        return false;
    }
    if (found == m_holds.end())
    {
        m_holds.push_back(std::move(hold));
    }
    else
    {
        *found = std::move(hold);
    }
    notifyLocked();
    return true;
}

E_SiteHoldRelease CSiteHolds::release(const std::string& source, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!m_connection.isOpen())
    {
        error = kNotOpen;
        return E_SiteHoldRelease::FAILED;
    }
    const bool lapsed = lapseLocked(now());
    const auto found = std::find_if(m_holds.begin(), m_holds.end(),
                                    [&](const S_SiteHold& hold) { return hold.source == source; });
    if (found == m_holds.end())
    {
        if (lapsed)
        {
            notifyLocked();
        }
        error = "No hold of source " + source + " is in place";
        return E_SiteHoldRelease::NOT_FOUND;
    }
    if (!deleteRow(m_connection, source, error))
    {
        if (lapsed)
        {
            notifyLocked();
        }
        return E_SiteHoldRelease::FAILED;
    }
    m_holds.erase(found);
    notifyLocked();
    return E_SiteHoldRelease::RELEASED;
}

void CSiteHolds::tick()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::int64_t at = now();
    const bool lapsed = lapseLocked(at);
    const bool fileChanged = readHoldFileLocked(at);
    if (lapsed || fileChanged)
    {
        notifyLocked();
    }
}

bool CSiteHolds::lapseLocked(std::int64_t at)
{
    bool any = false;
    for (auto hold = m_holds.begin(); hold != m_holds.end();)
    {
        if (!isLapsed(*hold, at))
        {
            ++hold;
            continue;
        }
        // A row that cannot be deleted lapses again at the next start-up.
        std::string error;
        if (m_connection.isOpen() && !deleteRow(m_connection, hold->source, error))
        {
            consoleErr("[WARN] [HOLD] Lapsed hold of " + hold->source + " cannot be removed: " + error);
        }
        consoleOut("[HOLD] Hold of " + hold->source + " lapsed");
        hold = m_holds.erase(hold);
        any = true;
    }
    return any;
}

bool CSiteHolds::readHoldFileLocked(std::int64_t at)
{
    std::optional<std::string> reason;
    if (!m_holdFile.empty())
    {
        std::error_code code;
        if (std::filesystem::exists(m_holdFile, code))
        {
            std::string text(static_cast<std::size_t>(kMaxHoldFileBytes), '\0');
            std::ifstream stream(m_holdFile, std::ios::binary);
            stream.read(text.data(), kMaxHoldFileBytes);
            text.resize(static_cast<std::size_t>(std::max<std::streamsize>(stream.gcount(), 0)));
            // Present but unreadable still holds: the file's existence is the signal.
            reason = std::string(holdReasonOfFileText(text));
        }
        else if (code && m_fileHold)
        {
            // Cannot tell (a folder not searchable, say): the hold stays as it was.
            return false;
        }
    }
    if (!reason)
    {
        const bool had = m_fileHold.has_value();
        m_fileHold.reset();
        return had;
    }
    if (m_fileHold && m_fileHold->reason == *reason)
    {
        return false;
    }
    const std::int64_t placedAt = m_fileHold ? m_fileHold->placedAt : at;
    m_fileHold = S_SiteHold{std::string(kFileHoldSource), std::move(*reason), placedAt, 0};
    return true;
}

std::vector<S_SiteHold> CSiteHolds::listLocked() const
{
    std::vector<S_SiteHold> holds = m_holds;
    if (m_fileHold)
    {
        holds.push_back(*m_fileHold);
    }
    std::sort(holds.begin(), holds.end(),
              [](const S_SiteHold& left, const S_SiteHold& right) {
                  return left.placedAt != right.placedAt ? left.placedAt < right.placedAt
                                                         : left.source < right.source;
              });
    return holds;
}

void CSiteHolds::notifyLocked() const
{
    if (m_observer)
    {
        m_observer(listLocked());
    }
}

std::vector<S_SiteHold> CSiteHolds::list() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return listLocked();
}

bool CSiteHolds::held() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_holds.empty() || m_fileHold.has_value();
}

}  // namespace ota::backend
