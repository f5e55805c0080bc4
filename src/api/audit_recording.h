#pragma once

#include "api/api_envelope.h"
#include "api/audit_trail.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

namespace ota::backend
{

// How an audit entry learns what a request was about and how it ended. Each identifier
// (upgradeNo, upgradeId, rolloutNo) is taken from the first place that names it well formed: the
// path parameter, then the request body, then the answer's data. Pure functions over text.

// A ":upgradeNo" or ":rolloutNo" segment of the route pattern, when the path gave a non-zero uint32.
void noteIdentifiersOfPath(std::string_view pattern, std::optional<std::string_view> parameter,
                           S_AuditRecord& record);
// Members upgradeNo, upgradeId and rolloutNo of a JSON object or of the objects directly inside it
// (an answer's data holds a snapshot or a rollout object).
void noteIdentifiersOfJson(const nlohmann::json& value, S_AuditRecord& record);
// The same for a request body; a body that is not JSON names nothing.
void noteIdentifiersOfBody(std::string_view body, S_AuditRecord& record);
// The HTTP status, and from the envelope the error code, the request id and the data's identifiers.
void noteOutcome(const S_HttpReply& reply, S_AuditRecord& record);

}  // namespace ota::backend
