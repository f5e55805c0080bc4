#pragma once

#include "history/upgrade_history_record.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ota::backend
{

// The rendered history entries of finalized records. A finalized row can no longer change (the
// database triggers refuse it), so its validation and rendering are done once instead of on every
// history read; each entry is tied to a fingerprint of the whole row, so a row that was deleted
// and written again under the same number is never served from an old entry.
//
// The entries take at most a byte budget, so the backend's memory does not grow with the history:
// beyond it the entries of the lowest numbers (the oldest tasks, the least read) give way, and a
// read renders those records again.
class CHistoryRecordCache
{
public:
    static constexpr std::size_t kDefaultByteBudget = 16 * 1024 * 1024;

    explicit CHistoryRecordCache(std::size_t byteBudget = kDefaultByteBudget);

    static std::size_t fingerprintOf(const S_UpgradeHistoryRecord& record);

    // Appends the cached entry of this exact row to text; false when there is none.
    bool appendEntry(std::uint32_t upgradeNo, std::size_t fingerprint, std::string& text,
                     std::string& normalizedFields) const;
    bool contains(std::uint32_t upgradeNo, std::size_t fingerprint) const;
    void store(std::uint32_t upgradeNo, std::size_t fingerprint, std::string entryJson, std::string normalizedFields);

    // Forgets the entries of rows that no longer exist.
    void retainOnly(const std::vector<S_UpgradeHistoryRecord>& records);

    // The bytes the entries hold now.
    std::size_t byteSize() const;

private:
    struct S_Entry
    {
        std::size_t fingerprint = 0;
        std::string entryJson;
        std::string normalizedFields;  // fields a legacy report needed normalised, for the read's log line
    };

    static std::size_t bytesOf(const S_Entry& entry);

    const std::size_t m_byteBudget;
    mutable std::mutex m_mutex;
    std::map<std::uint32_t, S_Entry> m_entries;  // by upgrade number: the lowest give way first
    std::size_t m_bytes = 0;
};

}  // namespace ota::backend
