#include "api/event_envelope.h"

#include "common/json_text.h"
#include "common/json_writer.h"

#include <string>

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

std::string buildEventEnvelopeAroundText(const std::string& eventType, const std::string& canonicalDataJson,
                                         std::uint64_t sequence, std::int64_t timestampMs)
{
    std::string typeJson;
    appendJsonString(typeJson, eventType);
    std::string envelope = "{\"data\":";
    envelope.append(canonicalDataJson.data(), canonicalDataJson.size());
    envelope.append(",\"schemaVersion\":1,\"sequence\":" + std::to_string(sequence) +
                    ",\"timestamp\":" + std::to_string(timestampMs) + ",\"type\":" + typeJson + "}");
    return envelope;
}

}  // namespace ota::backend
