#pragma once

#include "history/history_operations.h"
#include "history/upgrade_history_repository.h"
#include "upgrade/execution_state.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace ota::backend
{

// The state observer's work on typed states: records one published execution state of the running
// task in its history row (the running state, or once the final report) with the same decisions,
// texts and log lines as persistPublishedState on the document, but without parsing any JSON. The
// last state this writer persisted is kept typed in memory: the monotonic check of the next one
// compares typed states, and while that state is what the row holds, the row is not read before
// it is updated. The row is read where the decision needs it (a task's first state, a final
// report, after a failed write); a stored document is parsed only when it is not the one this
// writer wrote (it came from disk). The final report is the typed state rendered with the final
// status, active false and the completion time. Never throws. One thread at a time (the
// application's state recorder, under its state-recording mutex).
//
// A running state is written whole into the row, and through the WAL into the database file, at
// every publication: a 1,000-device document (about 0.7 MB) published a few times a second would
// write gigabytes over one task. A large running document (kLargeRunningDocument or more) is
// therefore written at most once per its size / kRunningRowBytesPerSecond since the last written
// one; a state in between is held back and the row keeps the last written, which a later
// publication replaces. A change of status is written at once, the final report always; the row
// holds the same texts as before, only fewer intermediate ones.
class CPublishedStateWriter
{
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::size_t kLargeRunningDocument = 256 * 1024;
    static constexpr std::size_t kRunningRowBytesPerSecond = 256 * 1024;

    // clock: times the large documents' writes (tests give their own).
    explicit CPublishedStateWriter(Clock clock = [] { return std::chrono::steady_clock::now(); })
        : m_clock(std::move(clock))
    {
    }

    // stateJson is the document rendered from state, as it was broadcast.
    void persist(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                 const ExecutionStatePtr& state, const std::string& stateJson,
                 CStateWriteFailureLog& failureLog);

private:
    void persistState(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                      const ExecutionStatePtr& state, const std::string& stateJson,
                      CStateWriteFailureLog& failureLog);
    void persistFinalReport(CUpgradeHistoryRepository& repository, std::uint16_t retentionDays,
                            const S_UpgradeHistoryRecord& record, const S_ExecutionState& state,
                            CStateWriteFailureLog& failureLog);
    bool updateRunningState(CUpgradeHistoryRepository& repository, const ExecutionStatePtr& state,
                            const std::string& stateJson, std::int64_t storedUpdatedAt,
                            CStateWriteFailureLog& failureLog);
    // Whether the row's stored state is the one this writer persisted last.
    bool holdsLastPersisted(const S_UpgradeHistoryRecord& record) const;
    // A large running document that follows the last written one too soon.
    bool holdsBack(const std::string& stateJson) const;
    void forget();

    Clock m_clock;
    std::chrono::steady_clock::time_point m_persistedAt{};

    // The last state written by updateRunningState: its task, document, status and updated_at.
    ExecutionStatePtr m_persisted;
    std::string m_persistedJson;
    std::int64_t m_persistedUpdatedAt = 0;
};

}  // namespace ota::backend
