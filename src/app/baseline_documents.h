#pragma once

#include "baseline/baseline_service.h"
#include "baseline/baseline_types.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace ota::backend
{

// {"baselineNo", "createdAt", "note", "components": [{"nodeId", "componentTypeId", "componentIndex",
// "version"}]}
nlohmann::json baselineDocumentJson(const S_BaselineDocument& document);
// {"baselines": [{"baselineNo", "createdAt", "note", "componentCount"}], "nextBefore"}
nlohmann::json baselineListJson(const std::vector<S_BaselineListEntry>& entries, std::int64_t nextBefore);
nlohmann::json baselineSummaryJson(const S_BaselineSummary& summary);
// One component of the report, the drift event's changes and the CSV.
nlohmann::json baselineRowJson(const S_BaselineReportRow& row);
nlohmann::json baselineReportJson(const S_BaselineReport& report);
// The "baseline.drift" event's data: {"baselineNo", "summary", "changed"}.
nlohmann::json baselineDriftJson(const S_BaselineDrift& drift);
// The report as CSV: the header line, then one line per component (RFC 4180: CRLF line ends, fields
// holding a comma, a quote or a line break quoted).
std::string baselineReportCsv(const S_BaselineReport& report);

// A POST /api/v1/baseline body: exactly one of {"from": "site"}, {"components": [...]} and
// {"baselineNo": N}, with "allowMissing" (with "from" only) and "note" optional. False with the
// message when its shape or types are wrong; its values are the service's to check.
bool readBaselineRequest(const std::string& requestJson, S_BaselineRequest& request, std::string& error);

}  // namespace ota::backend
