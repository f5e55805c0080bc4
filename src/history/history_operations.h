#pragma once

#include "history/history_record_cache.h"
#include "history/upgrade_history_repository.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ota::backend
{

// What the history operations need to know about the upgrade services: whether a task is running,
// the number of the previewed task snapshot, if there is one, and whether a rollout that is not
// finished (paused or halted between its tasks) may still resume from the rows it names.
struct S_HistoryTaskActivity
{
    bool taskActive = false;
    std::optional<std::uint32_t> preparedUpgradeNo;
    bool rolloutUnfinished = false;
};

// Failed history writes of the published states, reported once per task and record status. While
// the database cannot be written (its disk full, its file system read-only) every published
// document fails alike, up to ten a second during a transfer: the first failure of a status is
// logged, the repeats are only counted, and the next write that succeeds logs how many were lost.
class CStateWriteFailureLog
{
public:
    // True when the failure is the first of its task and status and so is to be logged.
    bool failed(std::uint32_t upgradeNo, const std::string& status);
    // A write succeeded: ends the run of failures, logging how many writes it lost.
    void succeeded();
    // Every failed write since the log was made; may be read from any thread.
    std::uint64_t totalFailures() const { return m_totalFailures.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> m_totalFailures{0};
    std::uint32_t m_upgradeNo = 0;
    std::string m_status;
    std::uint64_t m_failedWrites = 0;
};

// The final report of a task into its row, once: completedAt is the latest of the state's finish (now
// when it has none), now, its start and the row's last update; makeReport gives the report for it.
// When the write fails and the row turns out final already, sameReport tells an idempotent race
// from a conflict (each logged); any other failure is logged as a failed write.
using FinalReportMaker =
    std::function<bool(std::int64_t completedAt, std::string& report, std::string& error)>;
using StoredReportMatch = std::function<bool(const S_UpgradeHistoryRecord& stored)>;
void persistFinalReport(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                        const S_UpgradeHistoryRecord& record, const std::string& status,
                        std::int64_t startedAt, std::int64_t finishedAt, const FinalReportMaker& makeReport,
                        const StoredReportMatch& sameReport, CStateWriteFailureLog* failureLog);

// The history row a published state of the task is written to, read first; none once the failed
// read (logged once per task and status through the failure log, when there is one) or the missing
// row was logged.
std::optional<S_UpgradeHistoryRecord> readRowForState(CUpgradeHistoryRepository& repository,
                                                      std::uint32_t upgradeNo, const std::string& status,
                                                      CStateWriteFailureLog* failureLog);

// The state observer's work: records one published execution state (running state or, once, the
// final report). Never throws; every failure is logged and the document dropped. With a failure
// log, repeated failures of one task and status are logged once.
void persistPublishedState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                           const std::string& stateJson);
void persistPublishedState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                           const std::string& stateJson, CStateWriteFailureLog& failureLog);

// Start-up check: removes every record that breaks the record contract. Only a failure to list
// the records is returned; a failed deletion is logged and the records stay hidden. The form with
// a cache also renders every valid finalized record into it, so the first history read after
// start-up does not parse the whole history again.
bool removeIncompatibleHistoryAtStartup(CUpgradeHistoryRepository& repository, std::string& error);
bool removeIncompatibleHistoryAtStartup(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                                        std::string& error);

// GET /api/v1/upgrades/history. Incompatible records are hidden, and deleted when no running or
// prepared task is affected. The application keeps one cache for the life of the repository, so
// finalized records are validated and rendered once; the form without a cache does it every time.
bool readHistory(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                 std::uint16_t retentionDays, std::uint64_t sceneGeneration,
                 const S_HistoryTaskActivity& activity, std::string& responseJson, std::string& error);
bool readHistory(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                 std::uint64_t sceneGeneration, const S_HistoryTaskActivity& activity,
                 std::string& responseJson, std::string& error);

// One page of the history: the records numbered below `before` (0: the newest), at most `limit`.
struct S_HistoryPage
{
    std::uint32_t limit = 100;
    std::uint32_t before = 0;
};

// GET /api/v1/upgrades/history with a page query (or, page null, without one): the same answer for
// the page's records, plus "nextBefore", the number to ask the next page with (0 at the end).
// Only the page's rows are read, so its cost does not grow with the history.
bool readHistoryPage(CUpgradeHistoryRepository& repository, CHistoryRecordCache& cache,
                     std::uint16_t retentionDays, std::uint64_t sceneGeneration,
                     const S_HistoryTaskActivity& activity, const S_HistoryPage* page,
                     std::string& responseJson, std::string& error);

// POST /api/v1/upgrades/history/clear. Refused while a task is active, a prepared task is unfinished
// or a rollout is not finished.
bool clearHistory(CUpgradeHistoryRepository& repository, const S_HistoryTaskActivity& activity,
                  std::string& responseJson, std::string& error);

// Deletes finalized records completed more than retentionDays ago. Never throws.
void cleanupHistoryRetention(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays);

}  // namespace ota::backend
