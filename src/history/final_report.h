#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace ota::backend
{

// Turns the last execution state of an ended task into its final report: status = the final
// status, active = false, finishedAt = the completion time; every other member is kept.
// changedFields lists, in this order, which of "status", "active" and "finishedAt" differed.
bool normalizeFinalReport(const std::string& reportJson, const std::string& expectedStatus,
                          std::int64_t expectedFinishedAt, std::string& normalizedJson,
                          std::vector<std::string>& changedFields, std::string& error);

// The same on a parsed report object, in place (the status must not be empty, the time positive).
void normalizeFinalReportDocument(nlohmann::json& report, const std::string& expectedStatus,
                                  std::int64_t expectedFinishedAt, std::vector<std::string>& changedFields);

}  // namespace ota::backend
