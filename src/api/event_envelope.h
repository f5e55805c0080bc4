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

}  // namespace ota::backend
