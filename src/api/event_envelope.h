#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace ota::backend
{

// {"data":...,"schemaVersion":1,"sequence":n,"timestamp":ms,"type":...}, compact. Throws the JSON
// library's exception when a text is not valid UTF-8.
std::string buildEventEnvelope(const std::string& eventType, nlohmann::json data, std::uint64_t sequence,
                               std::int64_t timestampMs);
// The same around data text in the writer's canonical form (isCanonicalJsonText), embedded as it
// is. Throws std::invalid_argument when the event type is not valid UTF-8.
std::string buildEventEnvelopeAroundText(const std::string& eventType, const std::string& canonicalDataJson,
                                         std::uint64_t sequence, std::int64_t timestampMs);

}  // namespace ota::backend
