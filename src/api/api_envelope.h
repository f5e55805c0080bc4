#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ota::backend
{

// One HTTP answer as the transport writes it: status, body (JSON unless contentType says
// otherwise), the Allow header for 405 and any further headers.
struct S_HttpReply
{
    unsigned status = 500;
    std::string body;
    std::string allow;
    bool closeConnection = false;
    std::string_view contentType;  // empty: "application/json; charset=utf-8"
    std::vector<std::pair<std::string_view, std::string>> headers;
};

// "ota-<unix ms>-<process-wide sequence>"; the first identifier of a process ends in "-1".
std::string generateRequestId();

// "[HTTP] <method> <path> -> <status>" plus " (<extra>)" when extra is not empty.
void logHttpResult(std::string_view method, std::string_view path, unsigned status, std::string_view extra);

// Success envelope around already parsed data. Throws the JSON library's exception when the
// data holds invalid UTF-8.
std::string buildSuccessEnvelope(nlohmann::json data, const std::string& requestId, std::int64_t timestampMs);

// Success envelope around the callback's JSON text, as buildSuccessEnvelope(parse(text)) would
// write it: text already in the writer's canonical form is embedded as it is (a megabyte-sized
// document is not parsed and written again), anything else is parsed. Throws the JSON library's
// exception when the text is not valid JSON.
std::string buildSuccessEnvelopeFromText(const std::string& dataJson, const std::string& requestId,
                                         std::int64_t timestampMs);

// Error envelope; details that are null are left out. Throws like buildSuccessEnvelope.
std::string buildErrorEnvelope(std::string_view code, std::string_view message, nlohmann::json details,
                               const std::string& requestId, std::int64_t timestampMs);

// Error envelope without details that never throws: invalid UTF-8 in the message (an exception
// text, say) is replaced rather than allowed to lose the answer.
std::string buildErrorEnvelopeNoThrow(std::string_view code, std::string_view message,
                                      const std::string& requestId, std::int64_t timestampMs) noexcept;

// A rejection before any callback runs: new request id, log line, error envelope without details.
S_HttpReply rejectRequest(std::string_view method, std::string_view path, unsigned status,
                          std::string_view code, std::string_view message);

}  // namespace ota::backend
