#pragma once

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

}  // namespace ota::backend
