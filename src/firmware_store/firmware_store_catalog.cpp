// What the operator sees and changes of the store: the entries page by page, their labels, and
// the removal of an entry nobody needs.
#include "firmware_store/firmware_store.h"

#include "common/digest.h"

#include <sqlite3.h>

#include <algorithm>
#include <set>

namespace ota::backend
{

bool CFirmwareStore::addLabels(const FirmwareDigest& sha256, const std::vector<S_FirmwareStoreLabel>& labels,
                               std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return false;
    }
    std::optional<S_FirmwareStoreEntry> entry = loadEntry(sha256, error);
    if (!entry)
    {
        return false;
    }
    bool changed = false;
    for (const S_FirmwareStoreLabel& label : labels)
    {
        if (std::find(entry->labels.begin(), entry->labels.end(), label) == entry->labels.end())
        {
            entry->labels.push_back(label);
            changed = true;
        }
    }
    if (!changed)
    {
        return true;
    }
    CSqliteCachedStatement statement =
        m_connection.statement("UPDATE firmware_store_entries SET labels_json=?1 WHERE sha256=?2;", error);
    if (!statement || !statement->bindText(1, firmwareStoreLabelsText(entry->labels), error) ||
        !statement->bindText(2, toLowerHex(sha256), error))
    {
        return false;
    }
    const int resultCode = statement->step();
    if (resultCode != SQLITE_DONE)
    {
        error = sqliteFailure("Cannot label firmware store entry", m_connection.handle(), resultCode);
        return false;
    }
    return true;
}

std::optional<std::vector<S_FirmwareStoreEntry>> CFirmwareStore::list(std::size_t limit, std::int64_t before,
                                                                      std::int64_t& nextBefore,
                                                                      std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    nextBefore = 0;
    if (!requireOpen(error))
    {
        return std::nullopt;
    }
    // The rowid is the order of addition (a row is never re-inserted while it exists), so it is
    // both the newest-first order and a position that stays put while entries come and go.
    struct S_Row
    {
        std::int64_t rowid = 0;
        FirmwareDigest sha256{};
    };
    std::vector<S_Row> rows;
    {
        CSqliteCachedStatement statement = m_connection.statement(
            "SELECT rowid, sha256 FROM firmware_store_entries WHERE ?1<=0 OR rowid<?1 "
            "ORDER BY rowid DESC LIMIT ?2;",
            error);
        if (!statement || !statement->bindInt64(1, before, error) ||
            !statement->bindInt64(2, static_cast<std::int64_t>(limit) + 1, error))
        {
            return std::nullopt;
        }
        int resultCode = SQLITE_ROW;
        while ((resultCode = statement->step()) == SQLITE_ROW)
        {
            S_Row row;
            row.rowid = statement->columnInt64(0);
            const std::optional<FirmwareDigest> digest = parseFirmwareDigest(statement->columnText(1));
            if (!digest)
            {
                error = "Firmware store entry is damaged: " + statement->columnText(1);
                return std::nullopt;
            }
            row.sha256 = *digest;
            rows.push_back(row);
        }
        if (resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot read firmware store entries", m_connection.handle(), resultCode);
            return std::nullopt;
        }
    }
    if (rows.size() > limit)
    {
        rows.resize(limit);
        nextBefore = rows.empty() ? 0 : rows.back().rowid;
    }
    std::vector<S_FirmwareStoreEntry> entries;
    for (const S_Row& row : rows)
    {
        std::optional<S_FirmwareStoreEntry> entry = loadEntry(row.sha256, error);
        if (!entry)
        {
            if (!error.empty())
            {
                return std::nullopt;
            }
            continue;
        }
        entries.push_back(std::move(*entry));
    }
    return entries;
}

E_FirmwareStoreRemoval CFirmwareStore::remove(const FirmwareDigest& sha256, std::string& error)
{
    // The callback takes the locks of the services it asks, so it runs before the store's own.
    FirmwareNeededDigests neededDigests;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        neededDigests = m_neededDigests;
    }
    const std::vector<FirmwareDigest> needed =
        neededDigests ? neededDigests() : std::vector<FirmwareDigest>{};

    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return E_FirmwareStoreRemoval::FAILED;
    }
    const std::optional<S_FirmwareStoreEntry> entry = loadEntry(sha256, error);
    if (!entry)
    {
        return error.empty() ? E_FirmwareStoreRemoval::NOT_STORED : E_FirmwareStoreRemoval::FAILED;
    }
    if (std::find(needed.begin(), needed.end(), sha256) != needed.end() || m_admitting.count(sha256) != 0)
    {
        return E_FirmwareStoreRemoval::NEEDED;
    }
    return deleteEntries({toLowerHex(sha256)}, error) ? E_FirmwareStoreRemoval::REMOVED
                                                      : E_FirmwareStoreRemoval::FAILED;
}

std::optional<S_FirmwareStoreEntry> CFirmwareStore::findLabelled(const S_FirmwareStoreLabel& label,
                                                                 std::string& error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    error.clear();
    if (!requireOpen(error))
    {
        return std::nullopt;
    }
    // Labels are few and kept as one text per entry: the newest entry whose list holds the label.
    std::optional<FirmwareDigest> found;
    {
        CSqliteCachedStatement statement = m_connection.statement(
            "SELECT sha256, labels_json FROM firmware_store_entries ORDER BY rowid DESC;", error);
        if (!statement)
        {
            return std::nullopt;
        }
        int resultCode = SQLITE_ROW;
        while ((resultCode = statement->step()) == SQLITE_ROW)
        {
            std::vector<S_FirmwareStoreLabel> labels;
            if (!parseFirmwareStoreLabels(statement->columnText(1), labels) ||
                std::find(labels.begin(), labels.end(), label) == labels.end())
            {
                continue;
            }
            found = parseFirmwareDigest(statement->columnText(0));
            if (found)
            {
                break;
            }
        }
        if (!found && resultCode != SQLITE_DONE)
        {
            error = sqliteFailure("Cannot read firmware store entries", m_connection.handle(), resultCode);
            return std::nullopt;
        }
    }
    if (!found)
    {
        return std::nullopt;
    }
    return loadEntry(*found, error);
}

}  // namespace ota::backend
