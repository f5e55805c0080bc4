#pragma once

#include "history/upgrade_history_record.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace ota::backend
{

// The rendered history entries of finalized records. A finalized row can no longer change (the
// database triggers refuse it), so its validation and rendering are done once instead of on every
// history read; each entry is tied to a fingerprint of the whole row, so a row that was deleted
// and written again under the same number is never served from an old entry.
class CHistoryRecordCache
{
public:
    static std::size_t fingerprintOf(const S_UpgradeHistoryRecord& record);

    // Appends the cached entry of this exact row to text; false when there is none.
    bool appendEntry(std::uint32_t upgradeNo, std::size_t fingerprint, std::string& text,
                     std::string& normalizedFields) const;
    bool contains(std::uint32_t upgradeNo, std::size_t fingerprint) const;
    void store(std::uint32_t upgradeNo, std::size_t fingerprint, std::string entryJson, std::string normalizedFields);

    // Forgets the entries of rows that no longer exist.
    void retainOnly(const std::vector<S_UpgradeHistoryRecord>& records);

private:
    struct S_Entry
    {
        std::size_t fingerprint = 0;
        std::string entryJson;
        std::string normalizedFields;  // fields a legacy report needed normalised, for the read's log line
    };

    mutable std::mutex m_mutex;
    std::unordered_map<std::uint32_t, S_Entry> m_entries;
};

}  // namespace ota::backend
