#include "history/published_state_writer.h"

#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_text.h"
#include "history/history_contracts.h"

#include <algorithm>
#include <exception>
#include <optional>

namespace ota::backend
{

namespace
{

std::string statusText(const S_ExecutionState& state)
{
    return upgradeTaskStatusName(state.status);
}

// True when the state, made into a report as the stored one was, is that report.
bool matchesStoredReport(const S_UpgradeHistoryRecord& record, const S_ExecutionState& state)
{
    const std::string status = statusText(state);
    return record.isFinal && record.status == status && record.completedAt.has_value() &&
           record.reportJson.has_value() &&
           renderFinalReport(state, status, *record.completedAt) == *record.reportJson;
}

void reportWriteFailure(CStateWriteFailureLog& failureLog, std::uint32_t upgradeNo, const std::string& status,
                        const std::string& line)
{
    if (failureLog.failed(upgradeNo, status))
    {
        consoleErr(line);
    }
}

}  // namespace

void CPublishedStateWriter::forget()
{
    m_persisted.reset();
    m_persistedJson.clear();
    m_persistedUpdatedAt = 0;
}

bool CPublishedStateWriter::holdsLastPersisted(const S_UpgradeHistoryRecord& record) const
{
    return m_persisted && m_persisted->task->upgradeNo == record.upgradeNo && !record.isFinal &&
           record.stateJson == m_persistedJson && record.status == statusText(*m_persisted);
}

bool CPublishedStateWriter::holdsBack(const std::string& stateJson) const
{
    if (stateJson.size() < kLargeRunningDocument)
    {
        return false;
    }
    return m_clock() < m_persistedAt + timeAtRate(stateJson.size(), kRunningRowBytesPerSecond);
}

void CPublishedStateWriter::persist(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                                    const ExecutionStatePtr& state, const std::string& stateJson,
                                    CStateWriteFailureLog& failureLog)
{
    try
    {
        persistState(repository, retentionDays, state, stateJson, failureLog);
    }
    catch (const std::exception& exception)
    {
        forget();
        consoleErr(std::string("[WARN] Upgrade state persistence failed: ") + exception.what());
    }
    catch (...)
    {
        forget();
        consoleErr("[WARN] Upgrade state persistence failed: unknown exception");
    }
}

bool CPublishedStateWriter::updateRunningState(CUpgradeHistoryRepository& repository,
                                               const ExecutionStatePtr& state, const std::string& stateJson,
                                               std::int64_t storedUpdatedAt,
                                               CStateWriteFailureLog& failureLog)
{
    const std::uint32_t upgradeNo = state->task->upgradeNo;
    const std::string status = statusText(*state);
    // updated_at never decreases, even when the wall clock steps back.
    const std::int64_t updatedAt = std::max(currentUnixMs(), storedUpdatedAt);
    std::string error;
    if (!repository.updateRunningState(S_RunningStateWrite{upgradeNo, updatedAt, status, stateJson}, error))
    {
        forget();
        reportWriteFailure(failureLog, upgradeNo, status,
                           "[WARN] Upgrade running state persistence failed: " + error);
        return false;
    }
    failureLog.succeeded();
    m_persisted = state;
    m_persistedJson = stateJson;
    m_persistedUpdatedAt = updatedAt;
    m_persistedAt = m_clock();
    return true;
}

void CPublishedStateWriter::persistState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                                         const ExecutionStatePtr& state, const std::string& stateJson,
                                         CStateWriteFailureLog& failureLog)
{
    const std::uint32_t upgradeNo = state->task->upgradeNo;
    const std::string status = statusText(*state);
    // The running task's next state: the row holds what this writer wrote last. One that is not
    // written (unchanged, or held back) needs no checks either: most states of a large task.
    const bool nextOfRunning =
        m_persisted && m_persisted->task->upgradeNo == upgradeNo && !isFinalTaskStatus(state->status);
    if (nextOfRunning && status == statusText(*m_persisted) &&
        (stateJson == m_persistedJson || holdsBack(stateJson)))
    {
        return;
    }
    // A state that breaks the contract would turn the whole record incompatible (and so removed at
    // the next start); it is dropped instead and the record keeps its last good state.
    std::string reason;
    if (!validateExecutionState(*state, reason))
    {
        consoleErr("[WARN] Upgrade state persistence rejected an invalid state: " + reason);
        return;
    }
    const std::string number = std::to_string(upgradeNo);
    if (nextOfRunning)
    {
        if (!checkStateMonotonic(*state, *m_persisted, reason))
        {
            consoleErr("[WARN] Stale upgrade state ignored: upgradeNo=" + number + ", reason=" + reason);
            return;
        }
        updateRunningState(repository, state, stateJson, m_persistedUpdatedAt, failureLog);
        return;
    }

    const std::optional<S_UpgradeHistoryRecord> record =
        readRowForState(repository, upgradeNo, status, &failureLog);
    if (!record.has_value())
    {
        return;
    }
    if (record->isFinal)
    {
        forget();
        if (isFinalTaskStatus(state->status) && matchesStoredReport(*record, *state))
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
        bool fresh = true;
        if (holdsLastPersisted(*record))
        {
            fresh = checkStateMonotonic(*state, *m_persisted, reason);
        }
        else
        {
            // The stored state is not one of this writer's (an earlier run of the service wrote
            // it): it comes from disk and is compared as a document. An unreadable stored state
            // cannot be compared; the new valid document replaces it.
            nlohmann::json stored;
            nlohmann::json incoming;
            std::string parseError;
            fresh = !parseJsonText(record->stateJson, stored, parseError) ||
                    !parseJsonText(stateJson, incoming, parseError) ||
                    checkStateMonotonic(incoming, stored, reason);
        }
        if (!fresh)
        {
            consoleErr("[WARN] Stale upgrade state ignored: upgradeNo=" + number + ", reason=" + reason);
            return;
        }
        if (record->status == status && record->stateJson == stateJson)
        {
            return;
        }
    }
    if (isFinalTaskStatus(state->status))
    {
        forget();
        persistFinalReport(repository, retentionDays, *record, *state, failureLog);
        return;
    }
    updateRunningState(repository, state, stateJson, record->updatedAt, failureLog);
}

void CPublishedStateWriter::persistFinalReport(CUpgradeHistoryRepository& repository,
                                               std::uint16_t retentionDays,
                                               const S_UpgradeHistoryRecord& record,
                                               const S_ExecutionState& state,
                                               CStateWriteFailureLog& failureLog)
{
    const std::string status = statusText(state);
    ota::backend::persistFinalReport(
        repository, retentionDays, record, status, state.startedAt, state.finishedAt,
        [&](std::int64_t completedAt, std::string& report, std::string&)
        {
            report = renderFinalReport(state, status, completedAt);
            return true;
        },
        [&](const S_UpgradeHistoryRecord& stored) { return matchesStoredReport(stored, state); },
        &failureLog);
}

}  // namespace ota::backend
