#include "history/history_record_cache.h"

#include <functional>
#include <string_view>
#include <unordered_set>

namespace ota::backend
{

namespace
{

void combine(std::size_t& seed, std::size_t value)
{
    seed ^= value + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

CHistoryRecordCache::CHistoryRecordCache(std::size_t byteBudget) : m_byteBudget(byteBudget) {}

std::size_t CHistoryRecordCache::bytesOf(const S_Entry& entry)
{
    return entry.entryJson.size() + entry.normalizedFields.size();
}

std::size_t CHistoryRecordCache::byteSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

std::size_t CHistoryRecordCache::fingerprintOf(const S_UpgradeHistoryRecord& record)
{
    const std::hash<std::string_view> text;
    const std::hash<std::int64_t> number;
    std::size_t seed = record.upgradeNo;
    combine(seed, text(record.upgradeId));
    combine(seed, number(record.startedAt));
    combine(seed, number(record.updatedAt));
    combine(seed, number(record.completedAt.value_or(-1)));
    combine(seed, text(record.status));
    combine(seed, text(record.snapshotJson));
    combine(seed, text(record.stateJson));
    combine(seed, record.reportJson.has_value() ? text(*record.reportJson) : 0);
    combine(seed, record.isFinal ? 1 : 0);
    return seed;
}

bool CHistoryRecordCache::appendEntry(std::uint32_t upgradeNo, std::size_t fingerprint, std::string& text,
                                      std::string& normalizedFields) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(upgradeNo);
    if (found == m_entries.end() || found->second.fingerprint != fingerprint)
    {
        return false;
    }
    text += found->second.entryJson;
    normalizedFields = found->second.normalizedFields;
    return true;
}

bool CHistoryRecordCache::contains(std::uint32_t upgradeNo, std::size_t fingerprint) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_entries.find(upgradeNo);
    return found != m_entries.end() && found->second.fingerprint == fingerprint;
}

void CHistoryRecordCache::store(std::uint32_t upgradeNo, std::size_t fingerprint, std::string entryJson,
                                std::string normalizedFields)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    S_Entry& entry = m_entries[upgradeNo];
    m_bytes -= bytesOf(entry);
    entry = S_Entry{fingerprint, std::move(entryJson), std::move(normalizedFields)};
    m_bytes += bytesOf(entry);
    while (m_bytes > m_byteBudget && !m_entries.empty())
    {
        m_bytes -= bytesOf(m_entries.begin()->second);
        m_entries.erase(m_entries.begin());
    }
}

void CHistoryRecordCache::retainOnly(const std::vector<S_UpgradeHistoryRecord>& records)
{
    std::unordered_set<std::uint32_t> present;
    for (const S_UpgradeHistoryRecord& record : records)
    {
        present.insert(record.upgradeNo);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto entry = m_entries.begin(); entry != m_entries.end();)
    {
        if (present.count(entry->first) != 0)
        {
            ++entry;
            continue;
        }
        m_bytes -= bytesOf(entry->second);
        entry = m_entries.erase(entry);
    }
}

}  // namespace ota::backend
