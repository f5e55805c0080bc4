#include "api/api_envelope.h"

#include "common/clock.h"
#include "common/console_log.h"
#include "common/json_canonical.h"
#include "common/json_text.h"

#include <atomic>

namespace ota::backend
{

namespace
{

std::atomic<std::uint64_t> g_requestSequence{0};

nlohmann::json metaOf(const std::string& requestId, std::int64_t timestampMs)
{
    return nlohmann::json{{"apiVersion", 1}, {"requestId", requestId}, {"timestamp", timestampMs}};
}

nlohmann::json errorEnvelopeOf(std::string_view code, std::string_view message, nlohmann::json details,
                               const std::string& requestId, std::int64_t timestampMs)
{
    nlohmann::json error{{"code", code}, {"message", message}};
    if (!details.is_null())
    {
        error["details"] = std::move(details);
    }
    return nlohmann::json{{"success", false},
                          {"data", nullptr},
                          {"error", std::move(error)},
                          {"meta", metaOf(requestId, timestampMs)}};
}

}  // namespace

std::string generateRequestId()
{
    const std::uint64_t sequence = g_requestSequence.fetch_add(1) + 1;
    return "ota-" + std::to_string(currentUnixMs()) + "-" + std::to_string(sequence);
}

void logHttpResult(std::string_view method, std::string_view path, unsigned status, std::string_view extra)
{
    std::string line;
    line.reserve(32 + method.size() + path.size() + extra.size());
    line.append("[HTTP] ").append(method).append(" ").append(path).append(" -> ").append(
        std::to_string(status));
    if (!extra.empty())
    {
        line.append(" (").append(extra).append(")");
    }
    consoleOut(line);
}

std::string buildSuccessEnvelope(nlohmann::json data, const std::string& requestId, std::int64_t timestampMs)
{
    return toJsonText(nlohmann::json{{"success", true},
                                     {"data", std::move(data)},
                                     {"error", nullptr},
                                     {"meta", metaOf(requestId, timestampMs)}});
}

std::string buildSuccessEnvelopeFromText(const std::string& dataJson, const std::string& requestId,
                                         std::int64_t timestampMs)
{
    if (!isCanonicalJsonText(dataJson))
    {
        return buildSuccessEnvelope(nlohmann::json::parse(dataJson), requestId, timestampMs);
    }
    const std::string meta = toJsonText(metaOf(requestId, timestampMs));
    std::string envelope;
    envelope.reserve(dataJson.size() + meta.size() + 48);
    envelope += "{\"data\":";
    envelope += dataJson;
    envelope += ",\"error\":null,\"meta\":";
    envelope += meta;
    envelope += ",\"success\":true}";
    return envelope;
}

std::string buildErrorEnvelope(std::string_view code, std::string_view message, nlohmann::json details,
                               const std::string& requestId, std::int64_t timestampMs)
{
    return toJsonText(errorEnvelopeOf(code, message, std::move(details), requestId, timestampMs));
}

std::string buildErrorEnvelopeNoThrow(std::string_view code, std::string_view message,
                                      const std::string& requestId, std::int64_t timestampMs) noexcept
{
    try
    {
        const nlohmann::json envelope = errorEnvelopeOf(code, message, nullptr, requestId, timestampMs);
        std::string text;
        std::string error;
        if (tryToJsonText(envelope, text, error))
        {
            return text;
        }
        return envelope.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    catch (...)
    {
        return R"({"data":null,"error":{"code":"INTERNAL_OPERATION_FAILED","message":"Unknown backend operation error"},"meta":{"apiVersion":1},"success":false})";
    }
}

S_HttpReply rejectRequest(std::string_view method, std::string_view path, unsigned status,
                          std::string_view code, std::string_view message)
{
    const std::int64_t timestampMs = currentUnixMs();
    const std::string requestId = generateRequestId();
    std::string extra = "requestId=" + requestId + ", ";
    extra.append(message);
    logHttpResult(method, path, status, extra);
    S_HttpReply reply;
    reply.status = status;
    reply.body = buildErrorEnvelopeNoThrow(code, message, requestId, timestampMs);
    return reply;
}

}  // namespace ota::backend
