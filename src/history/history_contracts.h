#pragma once

#include "history/upgrade_history_record.h"
#include "upgrade/execution_state.h"

#include <nlohmann/json.hpp>

#include <string>

namespace ota::backend
{

// The three documents of a record as validated; report stays null for an unfinished record.
struct S_ParsedHistoryRecord
{
    nlohmann::json snapshot;
    nlohmann::json state;
    nlohmann::json report;
};

// The rules a stored history record must satisfy to be shown. The first broken rule gives the reason.
// The second form hands back the parsed documents, so a reader parses each text only once.
bool validateHistoryRecord(const S_UpgradeHistoryRecord& record, std::string& reason);
bool validateHistoryRecord(const S_UpgradeHistoryRecord& record, std::string& reason, S_ParsedHistoryRecord& parsed);

// The execution state (and final report) contract; reasons start with the JSON path of the
// offending value, e.g. "state.devices[3].targets[0].state must not be empty".
bool validateExecutionState(const std::string& stateJson, std::string& reason);
bool validateExecutionStateDocument(const nlohmann::json& state, std::string& reason);

// True when newState does not move anything of persistedState backwards.
bool checkStateMonotonic(const nlohmann::json& newState, const nlohmann::json& persistedState, std::string& reason);
// The same rules on typed states (the running task's last persisted state, kept in memory).
bool checkStateMonotonic(const S_ExecutionState& newState, const S_ExecutionState& persistedState,
                         std::string& reason);
// The execution state contract on a typed state: the rules of validateExecutionState that a
// typed record can break (its enumerations and counts are right by construction).
bool validateExecutionState(const S_ExecutionState& state, std::string& reason);

}  // namespace ota::backend
