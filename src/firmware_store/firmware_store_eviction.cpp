// The store's bound: its total size, the eviction that keeps it within maxBytes, and the files
// left without a row that an open removes.
#include "firmware_store/firmware_store.h"

#include "history/sqlite_transaction.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace ota::backend
{

std::optional<std::uint64_t> CFirmwareStore::storedBytes(std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return std::nullopt;
    }
    CSqliteCachedStatement statement =
        m_connection.statement("SELECT COALESCE(SUM(size), 0) FROM firmware_store_entries;", error);
    if (!statement)
    {
        return std::nullopt;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_ROW)
    {
        error = sqliteFailure("Cannot read firmware store size", m_connection.handle(), resultCode);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(statement->columnInt64(0));
}

bool CFirmwareStore::makeRoom(const FirmwareDigest& incoming, std::uint64_t size,
                              const std::vector<FirmwareDigest>& needed,
                              std::optional<E_FirmwareStoreRefusal>& refusal, std::string& error)
{
    struct S_Candidate
    {
        std::string hex;
        std::uint64_t size = 0;
    };
    const std::string incomingHex = toLowerHex(incoming);
    std::set<std::string> neededHex;
    for (const FirmwareDigest& digest : needed)
    {
        neededHex.insert(toLowerHex(digest));
    }
    std::uint64_t stored = 0;
    std::uint64_t kept = 0;               // the bytes of needed entries
    std::vector<S_Candidate> candidates;  // least recently used first
    {
        CSqliteCachedStatement statement = m_connection.statement(
            "SELECT sha256, size FROM firmware_store_entries ORDER BY last_used_at, added_at, rowid;", error);
        if (!statement)
        {
            return false;
        }
        int resultCode = SQLITE_ROW;
        while ((resultCode = statement->step()) == SQLITE_ROW)
        {
            S_Candidate candidate{statement->columnText(0), static_cast<std::uint64_t>(std::max<std::int64_t>(
                                                                statement->columnInt64(1), 0))};
            if (candidate.hex == incomingHex)
            {
                continue;  // its row stays and is counted once, by size
            }
            stored += candidate.size;
            if (neededHex.count(candidate.hex) != 0)
            {
                kept += candidate.size;
            }
            else
            {
                candidates.push_back(std::move(candidate));
            }
        }
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot read firmware store entries", m_connection.handle(), resultCode);
            return false;
        }
    }
    const std::uint64_t maxBytes = m_options.maxBytes;
    if (size > maxBytes || kept > maxBytes - size)
    {
        refusal = E_FirmwareStoreRefusal::FULL;
        error = "Firmware store is full: " + std::to_string(size) + " bytes do not fit in " +
                std::to_string(maxBytes) + " bytes with " + std::to_string(kept) +
                " bytes of entries still needed";
        return false;
    }
    std::vector<std::string> evicted;
    for (const S_Candidate& candidate : candidates)
    {
        if (stored <= maxBytes - size)
        {
            break;
        }
        evicted.push_back(candidate.hex);
        stored -= candidate.size;
    }
    if (evicted.empty())
    {
        return true;
    }
    return deleteEntries(evicted, error);
}

bool CFirmwareStore::deleteEntries(const std::vector<std::string>& hexDigests, std::string& error)
{
    // Rows first: a crash before the files are removed leaves files without rows, which the next
    // open removes, never a row naming a missing file.
    CSqliteTransaction transaction(m_connection);
    if (!transaction.begin(error))
    {
        return false;
    }
    for (const std::string& hex : hexDigests)
    {
        CSqliteCachedStatement statement =
            m_connection.statement("DELETE FROM firmware_store_entries WHERE sha256=?1;", error);
        if (!statement || !statement->bindText(1, hex, error))
        {
            return false;
        }
        const int resultCode = statement->step();
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot evict firmware store entry", m_connection.handle(), resultCode);
            return false;
        }
    }
    if (!transaction.commit(error))
    {
        return false;
    }
    // The rows are gone for good: a removal lost to a crash only leaves a file the next open
    // removes, so the directory need not be synced.
    for (const std::string& hex : hexDigests)
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_options.directory / "sha256" / hex, ignored);
    }
    return true;
}

void CFirmwareStore::removeEntriesWithoutRow()
{
    std::error_code code;
    for (const std::filesystem::directory_entry& item :
         std::filesystem::directory_iterator(m_options.directory / "sha256", code))
    {
        std::string error;
        CSqliteCachedStatement statement =
            m_connection.statement("SELECT 1 FROM firmware_store_entries WHERE sha256=?1;", error);
        if (!statement || !statement->bindText(1, item.path().filename().string(), error))
        {
            return;
        }
        const int resultCode = statement->step();
        if (resultCode == SQLITE_DONE)
        {
            std::error_code ignored;
            std::filesystem::remove_all(item.path(), ignored);
        }
        else if (resultCode != SQLITE_ROW)
        {
            return;  // nothing is removed on a doubt
        }
    }
}

}  // namespace ota::backend
