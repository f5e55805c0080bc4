#include "api/event_envelope.h"

#include "common/json_text.h"

#include <utility>

namespace ota::backend
{

std::string buildEventEnvelope(const std::string& eventType, nlohmann::json data, std::uint64_t sequence,
                               std::int64_t timestampMs)
{
    return toJsonText(nlohmann::json{{"data", data},
                                     {"schemaVersion", 1},
                                     {"sequence", sequence},
                                     {"timestamp", timestampMs},
                                     {"type", eventType}});
}

}  // namespace ota::backend
