#include "history/history_operations.h"

#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "history/final_report.h"
#include "history/history_contracts.h"
#include "history/state_vocabulary.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace ota::backend
{

namespace
{

using nlohmann::json;

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

std::int64_t readTime(const json& state, const char* key)
{
    const json& value = state[key];
    if (value.is_number_unsigned())
    {
        const std::uint64_t time = value.get<std::uint64_t>();
        return time > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(time);
    }
    return value.get<std::int64_t>();
}

std::string joinFields(const std::vector<std::string>& fields)
{
    std::string text;
    for (const std::string& field : fields)
    {
        if (!text.empty())
        {
            text += ",";
        }
        text += field;
    }
    return text;
}

// True when the incoming document, normalised as the stored report was, is that report.
bool matchesStoredReport(const S_UpgradeHistoryRecord& record, const std::string& stateJson,
                         const std::string& status)
{
    if (!record.isFinal || record.status != status || !record.completedAt.has_value() ||
        !record.reportJson.has_value())
    {
        return false;
    }
    std::string normalized;
    std::vector<std::string> changed;
    std::string error;
    return normalizeFinalReport(stateJson, status, *record.completedAt, normalized, changed, error) &&
           normalized == *record.reportJson;
}

// Logs a failed write unless it repeats the failure of the same task and status.
void reportWriteFailure(CStateWriteFailureLog* failureLog, std::uint32_t upgradeNo, const std::string& status,
                        const std::string& line)
{
    if (failureLog == nullptr || failureLog->failed(upgradeNo, status))
    {
        consoleErr(line);
    }
}

}  // namespace

std::optional<S_UpgradeHistoryRecord> readRowForState(CUpgradeHistoryRepository& repository,
                                                      std::uint32_t upgradeNo, const std::string& status,
                                                      CStateWriteFailureLog* failureLog)
{
    std::optional<S_UpgradeHistoryRecord> record;
    std::string error;
    if (!repository.findRecord(upgradeNo, record, error))
    {
        reportWriteFailure(failureLog, upgradeNo, status,
                           "[WARN] Upgrade state persistence cannot read history: " + error);
        return std::nullopt;
    }
    if (!record.has_value())
    {
        consoleErr(
            "[WARN] Upgrade state persistence skipped because task snapshot does not exist: upgradeNo=" +
            std::to_string(upgradeNo));
    }
    return record;
}

namespace
{

void persistState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                  const std::string& stateJson, CStateWriteFailureLog* failureLog)
{
    json state;
    std::string error;
    if (!parseJsonText(stateJson, state, error))
    {
        consoleErr("[WARN] Upgrade state persistence JSON parse failed: " + error);
        return;
    }
    // A document that breaks the contract would turn the whole record incompatible (and so
    // removed at the next start); it is dropped instead and the record keeps its last good state.
    std::string reason;
    if (!validateExecutionStateDocument(state, reason))
    {
        consoleErr("[WARN] Upgrade state persistence rejected an invalid state: " + reason);
        return;
    }
    const auto upgradeNo = state["upgradeNo"].get<std::uint32_t>();
    const std::string status = state["status"].get<std::string>();
    const std::int64_t startedAt = readTime(state, "startedAt");
    const std::int64_t finishedAt = readTime(state, "finishedAt");
    const std::string number = std::to_string(upgradeNo);

    const std::optional<S_UpgradeHistoryRecord> record =
        readRowForState(repository, upgradeNo, status, failureLog);
    if (!record.has_value())
    {
        return;
    }
    if (record->isFinal)
    {
        if (isFinalStatus(status) && matchesStoredReport(*record, stateJson, status))
        {
            consoleOut("[HISTORY] Idempotent final state ignored: upgradeNo=" + number +
                       ", status=" + status);
        }
        else
        {
            consoleErr("[ERROR] Conflicting state arrived after final report: upgradeNo=" + number +
                       ", persistedStatus=" + record->status + ", incomingStatus=" + status);
        }
        return;
    }
    if (record->stateJson != "{}")
    {
        json persisted;
        std::string persistedError;
        // An unreadable stored state cannot be compared; the new valid document replaces it.
        if (parseJsonText(record->stateJson, persisted, persistedError) &&
            !checkStateMonotonic(state, persisted, reason))
        {
            consoleErr("[WARN] Stale upgrade state ignored: upgradeNo=" + number + ", reason=" + reason);
            return;
        }
        if (record->status == status && record->stateJson == stateJson)
        {
            return;
        }
    }
    if (isFinalStatus(status))
    {
        persistFinalReport(
            repository, retentionDays, *record, status, startedAt, finishedAt,
            [&](std::int64_t completedAt, std::string& report, std::string& reportError)
            {
                std::vector<std::string> changed;
                return normalizeFinalReport(stateJson, status, completedAt, report, changed, reportError);
            },
            [&](const S_UpgradeHistoryRecord& stored)
            { return matchesStoredReport(stored, stateJson, status); },
            failureLog);
        return;
    }
    // updated_at never decreases, even when the wall clock steps back.
    const std::int64_t updatedAt = std::max(currentUnixMs(), record->updatedAt);
    if (!repository.updateRunningState(S_RunningStateWrite{upgradeNo, updatedAt, status, stateJson}, error))
    {
        reportWriteFailure(failureLog, upgradeNo, status,
                           "[WARN] Upgrade running state persistence failed: " + error);
    }
    else if (failureLog != nullptr)
    {
        failureLog->succeeded();
    }
}

void persistPublishedStateWith(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                               const std::string& stateJson, CStateWriteFailureLog* failureLog)
{
    try
    {
        persistState(repository, retentionDays, stateJson, failureLog);
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] Upgrade state persistence failed: ") + exception.what());
    }
    catch (...)
    {
        consoleErr("[WARN] Upgrade state persistence failed: unknown exception");
    }
}

// One history entry of the read response, from the validated documents; false with a reason when
// the record cannot be shown.
bool buildRecordJson(const S_UpgradeHistoryRecord& record, S_ParsedHistoryRecord& parsed, json& entry,
                     std::string& normalizedFields, std::string& reason)
{
    normalizedFields.clear();
    json report = nullptr;
    if (record.isFinal)
    {
        if (!record.completedAt.has_value() || !parsed.report.is_object())
        {
            reason = "finalized record is missing completedAt or reportJson";
            return false;
        }
        if (*record.completedAt <= 0 || record.status.empty())
        {
            reason = "final report cannot be normalized";
            return false;
        }
        std::vector<std::string> changed;
        normalizeFinalReportDocument(parsed.report, record.status, *record.completedAt, changed);
        normalizedFields = joinFields(changed);
        report = std::move(parsed.report);
    }
    entry = json::object();
    entry["upgradeNo"] = record.upgradeNo;
    entry["upgradeId"] = record.upgradeId;
    entry["startedAt"] = record.startedAt;
    entry["updatedAt"] = record.updatedAt;
    entry["completedAt"] = record.completedAt.has_value() ? json(*record.completedAt) : json(nullptr);
    entry["status"] = record.status;
    entry["finalized"] = record.isFinal;
    entry["snapshot"] = std::move(parsed.snapshot);
    entry["state"] = std::move(parsed.state);
    entry["report"] = std::move(report);
    return true;
}

// Incompatible records may be deleted only when no running or prepared task can be affected.
void removeIncompatibleDuringRead(CUpgradeHistoryRepository& repository,
                                  const S_HistoryTaskActivity& activity,
                                  const std::vector<std::uint32_t>& incompatible)
{
    bool mayDelete = !activity.taskActive;
    if (mayDelete && activity.preparedUpgradeNo.has_value())
    {
        std::optional<S_UpgradeHistoryRecord> prepared;
        std::string error;
        if (!repository.findRecord(*activity.preparedUpgradeNo, prepared, error))
        {
            consoleErr(
                "[WARN] [HISTORY] Cannot inspect the current history record; incompatible records will be "
                "hidden without deletion: " +
                error);
            return;
        }
        mayDelete = !prepared.has_value() || prepared->isFinal;
    }
    if (!mayDelete)
    {
        consoleErr(
            "[WARN] [HISTORY] Incompatible local history will be cleared after the current upgrade "
            "finishes; affected records are hidden now");
        return;
    }
    std::uint32_t deleted = 0;
    std::string error;
    if (repository.deleteSelected(incompatible, deleted, error))
    {
        consoleOut("[HISTORY] Removed " + std::to_string(deleted) +
                   " incompatible local history record(s) during read; valid records were retained");
    }
    else
    {
        consoleErr(
            "[WARN] [HISTORY] Cannot remove incompatible history during read; the affected records will be "
            "hidden from this response: " +
            error);
    }
}

void logNormalizedReport(std::uint32_t upgradeNo, const std::string& normalizedFields)
{
    if (!normalizedFields.empty())
    {
        consoleErr("[WARN] [HISTORY] Normalized legacy final report: upgradeNo=" + std::to_string(upgradeNo) +
                   ", fields=" + normalizedFields);
    }
}

// Renders a valid finalized record into the cache; the start-up check has parsed it already, and
// the first history read would otherwise parse every stored document a second time.
void warmCacheEntry(CHistoryRecordCache& cache, const S_UpgradeHistoryRecord& record,
                    S_ParsedHistoryRecord& parsed)
{
    json entry;
    std::string normalizedFields;
    std::string reason;
    std::string entryText;
    std::string serializeError;
    if (buildRecordJson(record, parsed, entry, normalizedFields, reason) &&
        tryToJsonText(entry, entryText, serializeError))
    {
        cache.store(record.upgradeNo, CHistoryRecordCache::fingerprintOf(record), std::move(entryText),
                    std::move(normalizedFields));
    }
}

struct S_ReadCandidate
{
    const S_UpgradeHistoryRecord* record = nullptr;
    std::size_t fingerprint = 0;
    bool cached = false;
    S_ParsedHistoryRecord parsed;
};

// The whole history (page null) or one page of it.
bool readHistoryRecords(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                        std::uint16_t retentionDays, std::uint64_t sceneGeneration,
                        const S_HistoryTaskActivity& activity, const S_HistoryPage* page,
                        std::string& responseJson, std::string& error)
{
    cleanupHistoryRetention(repository, retentionDays);
    std::vector<S_UpgradeHistoryRecord> records;
    std::uint32_t nextBefore = 0;
    if (page != nullptr)
    {
        // One row more than the page tells whether another page follows.
        if (!repository.listRecordsBefore(page->before, page->limit + 1, records, error))
        {
            return false;
        }
        if (records.size() > page->limit)
        {
            records.resize(page->limit);
            nextBefore = records.back().upgradeNo;
        }
    }
    else
    {
        if (!repository.listRecords(records, error))
        {
            return false;
        }
        cache.retainOnly(records);
    }
    std::vector<S_ReadCandidate> compatible;
    std::vector<std::uint32_t> incompatible;
    std::string reason;
    for (const S_UpgradeHistoryRecord& record : records)
    {
        S_ReadCandidate candidate;
        candidate.record = &record;
        candidate.fingerprint = CHistoryRecordCache::fingerprintOf(record);
        candidate.cached = record.isFinal && cache.contains(record.upgradeNo, candidate.fingerprint);
        if (candidate.cached || validateHistoryRecord(record, reason, candidate.parsed))
        {
            compatible.push_back(std::move(candidate));
        }
        else
        {
            incompatible.push_back(record.upgradeNo);
        }
    }
    if (!incompatible.empty())
    {
        removeIncompatibleDuringRead(repository, activity, incompatible);
    }

    // The response is assembled as text, keys in byte order, so finished entries are reused as rendered.
    std::string entries;
    std::size_t shown = 0;
    std::size_t skipped = incompatible.size();
    std::string normalizedFields;
    for (S_ReadCandidate& candidate : compatible)
    {
        const S_UpgradeHistoryRecord& record = *candidate.record;
        if (shown != 0)
        {
            entries += ',';
        }
        if (candidate.cached &&
            cache.appendEntry(record.upgradeNo, candidate.fingerprint, entries, normalizedFields))
        {
            logNormalizedReport(record.upgradeNo, normalizedFields);
            ++shown;
            continue;
        }
        json entry;
        std::string entryText;
        // A cached entry that went away meanwhile is validated like any other record.
        const bool usable = !candidate.cached || validateHistoryRecord(record, reason, candidate.parsed);
        if (!usable || !buildRecordJson(record, candidate.parsed, entry, normalizedFields, reason))
        {
            if (shown != 0)
            {
                entries.pop_back();
            }
            ++skipped;
            consoleErr("[WARN] [HISTORY] Hidden incompatible history record: upgradeNo=" +
                       std::to_string(record.upgradeNo) + ", reason=" + reason);
            continue;
        }
        std::string serializeError;
        if (!tryToJsonText(entry, entryText, serializeError))
        {
            error = "Cannot serialize upgrade history JSON: " + serializeError;
            return false;
        }
        logNormalizedReport(record.upgradeNo, normalizedFields);
        entries += entryText;
        ++shown;
        if (record.isFinal)
        {
            cache.store(record.upgradeNo, candidate.fingerprint, std::move(entryText), normalizedFields);
        }
    }
    responseJson.reserve(entries.size() + 200);
    responseJson = "{";
    if (page != nullptr)
    {
        responseJson += "\"nextBefore\":" + std::to_string(nextBefore) + ",";
    }
    responseJson += "\"operation\":\"UPGRADE_HISTORY_READ\",\"ready\":true,\"recordCount\":";
    responseJson += std::to_string(shown);
    responseJson += ",\"records\":[";
    responseJson += entries;
    responseJson += "],\"sceneGeneration\":";
    responseJson += std::to_string(sceneGeneration);
    responseJson += ",\"skippedRecordCount\":";
    responseJson += std::to_string(skipped);
    responseJson += ",\"status\":\"READY\"}";
    return true;
}

}  // namespace

void persistFinalReport(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                        const S_UpgradeHistoryRecord& record, const std::string& status,
                        std::int64_t startedAt, std::int64_t finishedAt, const FinalReportMaker& makeReport,
                        const StoredReportMatch& sameReport, CStateWriteFailureLog* failureLog)
{
    const std::string number = std::to_string(record.upgradeNo);
    const std::int64_t now = currentUnixMs();
    const std::int64_t completedAt =
        std::max({finishedAt > 0 ? finishedAt : now, now, startedAt, record.updatedAt});
    std::string report;
    std::string error;
    if (!makeReport(completedAt, report, error))
    {
        consoleErr("[WARN] Upgrade final report normalization failed: upgradeNo=" + number +
                   ", reason=" + error);
        return;
    }
    if (repository.finalizeReport(
            S_FinalReportWrite{record.upgradeNo, completedAt, completedAt, status, report}, error))
    {
        if (failureLog != nullptr)
        {
            failureLog->succeeded();
        }
        consoleOut("[HISTORY] Final report persisted: upgradeNo=" + number + ", status=" + status +
                   ", completedAt=" + std::to_string(completedAt));
        cleanupHistoryRetention(repository, retentionDays);
        return;
    }
    // Whether another final report got there first is read from the row, not from the error text.
    std::optional<S_UpgradeHistoryRecord> current;
    std::string readError;
    if (!repository.findRecord(record.upgradeNo, current, readError) || !current.has_value() ||
        !current->isFinal)
    {
        reportWriteFailure(failureLog, record.upgradeNo, status,
                           "[WARN] Upgrade final report persistence failed: " + error);
        return;
    }
    if (sameReport(*current))
    {
        consoleOut("[HISTORY] Idempotent final state ignored after write race: upgradeNo=" + number +
                   ", status=" + status);
    }
    else
    {
        consoleErr("[ERROR] Final report conflict detected: upgradeNo=" + number +
                   ", persistedStatus=" + current->status + ", incomingStatus=" + status);
    }
}

bool CStateWriteFailureLog::failed(std::uint32_t upgradeNo, const std::string& status)
{
    m_totalFailures.fetch_add(1, std::memory_order_relaxed);
    if (m_failedWrites > 0 && m_upgradeNo == upgradeNo && m_status == status)
    {
        ++m_failedWrites;
        return false;
    }
    m_upgradeNo = upgradeNo;
    m_status = status;
    m_failedWrites = 1;
    return true;
}

void CStateWriteFailureLog::succeeded()
{
    if (m_failedWrites == 0)
    {
        return;
    }
    consoleOut("[HISTORY] Upgrade state persistence recovered: upgradeNo=" + std::to_string(m_upgradeNo) +
               ", status=" + m_status + ", failedWrites=" + std::to_string(m_failedWrites));
    m_failedWrites = 0;
}

void persistPublishedState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                           const std::string& stateJson)
{
    persistPublishedStateWith(repository, retentionDays, stateJson, nullptr);
}

void persistPublishedState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                           const std::string& stateJson, CStateWriteFailureLog& failureLog)
{
    persistPublishedStateWith(repository, retentionDays, stateJson, &failureLog);
}

bool removeIncompatibleHistoryAtStartup(CUpgradeHistoryRepository& repository, std::string& error)
{
    CHistoryRecordCache unused;
    return removeIncompatibleHistoryAtStartup(repository, unused, error);
}

bool removeIncompatibleHistoryAtStartup(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                                        std::string& error)
{
    error.clear();
    std::vector<std::uint32_t> incompatible;
    std::string reason;
    // A page at a time: the check's memory does not grow with the history.
    const bool walked = repository.forEachRecord(
        [&](const S_UpgradeHistoryRecord& record)
        {
            S_ParsedHistoryRecord parsed;
            if (validateHistoryRecord(record, reason, parsed))
            {
                if (record.isFinal)
                {
                    warmCacheEntry(cache, record, parsed);
                }
            }
            else
            {
                consoleOut("[HISTORY] Incompatible local history detected: upgradeNo=" +
                           std::to_string(record.upgradeNo) + ", reason=" + reason +
                           ". Scheduling this record for removal.");
                incompatible.push_back(record.upgradeNo);
            }
            return true;
        },
        error);
    if (!walked)
    {
        return false;
    }
    if (incompatible.empty())
    {
        return true;
    }
    std::uint32_t deleted = 0;
    std::string deleteError;
    if (repository.deleteSelected(incompatible, deleted, deleteError))
    {
        consoleOut("[HISTORY] Removed " + std::to_string(deleted) +
                   " incompatible local history record(s); valid records were retained");
    }
    else
    {
        consoleErr(
            "[WARN] [HISTORY] Cannot remove incompatible local history during startup; records will be "
            "hidden when history is read: " +
            deleteError);
    }
    return true;
}

bool readHistory(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                 std::uint64_t sceneGeneration, const S_HistoryTaskActivity& activity,
                 std::string& responseJson, std::string& error)
{
    CHistoryRecordCache cache;
    return readHistory(repository, cache, retentionDays, sceneGeneration, activity, responseJson, error);
}

bool readHistory(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                 std::uint16_t retentionDays, std::uint64_t sceneGeneration,
                 const S_HistoryTaskActivity& activity, std::string& responseJson, std::string& error)
{
    return readHistoryPage(repository, cache, retentionDays, sceneGeneration, activity, nullptr, responseJson,
                           error);
}

bool readHistoryPage(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                     std::uint16_t retentionDays, std::uint64_t sceneGeneration,
                     const S_HistoryTaskActivity& activity, const S_HistoryPage* page,
                     std::string& responseJson, std::string& error)
{
    responseJson.clear();
    error.clear();
    try
    {
        if (readHistoryRecords(repository, cache, retentionDays, sceneGeneration, activity, page,
                               responseJson, error))
        {
            return true;
        }
        responseJson.clear();
        return false;
    }
    catch (const std::exception& exception)
    {
        responseJson.clear();
        error = std::string("Cannot read upgrade history: ") + exception.what();
        return false;
    }
}

bool clearHistory(CUpgradeHistoryRepository& repository, const S_HistoryTaskActivity& activity,
                  std::string& responseJson, std::string& error)
{
    responseJson.clear();
    error.clear();
    consoleOut("[HISTORY] Clear request received");
    if (activity.taskActive)
    {
        error = "An upgrade is active; history cannot be cleared";
    }
    else if (activity.preparedUpgradeNo.has_value())
    {
        std::optional<S_UpgradeHistoryRecord> prepared;
        if (repository.findRecord(*activity.preparedUpgradeNo, prepared, error) && prepared.has_value() &&
            !prepared->isFinal)
        {
            error = "A prepared or unfinished upgrade exists; history cannot be cleared";
        }
    }
    if (error.empty() && activity.rolloutUnfinished)
    {
        error = "A rollout is not finished";
    }
    if (!error.empty())
    {
        consoleErr("[HISTORY] Clear rejected: " + error);
        return false;
    }
    std::uint32_t deleted = 0;
    if (!repository.clearAll(deleted, error))
    {
        consoleErr("[HISTORY] Clear failed: " + error);
        return false;
    }
    json response = json::object();
    response["status"] = "READY";
    response["operation"] = "UPGRADE_HISTORY_CLEAR";
    response["deletedCount"] = deleted;
    responseJson = toJsonText(response);
    consoleOut("[HISTORY] Cleared " + std::to_string(deleted) + " local history record(s)");
    return true;
}

void cleanupHistoryRetention(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays)
{
    try
    {
        const std::int64_t cutoff =
            currentUnixMs() - static_cast<std::int64_t>(retentionDays) * kMillisecondsPerDay;
        std::uint32_t deleted = 0;
        std::string error;
        const bool succeeded = repository.deleteExpiredFinalized(cutoff, deleted, error);
        if (deleted > 0)
        {
            consoleOut("[HISTORY] Retention cleanup deleted " + std::to_string(deleted) +
                       " finalized record(s), retentionDays=" + std::to_string(retentionDays));
        }
        if (!succeeded)
        {
            consoleErr("[WARN] Upgrade history retention cleanup failed: " + error);
        }
    }
    catch (const std::exception& exception)
    {
        consoleErr(std::string("[WARN] Upgrade history retention cleanup failed: ") + exception.what());
    }
    catch (...)
    {
        consoleErr("[WARN] Upgrade history retention cleanup failed");
    }
}

}  // namespace ota::backend
