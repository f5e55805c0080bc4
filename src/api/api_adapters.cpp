#include "api/api_adapters.h"

#include "api/adapter_run.h"

#include "common/clock.h"
#include "common/json_text.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>

namespace ota::backend
{

namespace
{

constexpr unsigned kBadRequest = 400;
constexpr unsigned kInternalError = 500;

S_HttpReply writeRequestError(std::string_view path, std::string_view code, std::string_view message)
{
    return rejectRequest("POST", path, kBadRequest, code, message);
}

// Serialises before logging so that a serialisation failure logs only the answer actually sent.
S_HttpReply finishFailure(std::string_view method, std::string_view path, unsigned status,
                          std::string_view code, const std::string& message, nlohmann::json details,
                          const std::string& requestId, std::int64_t startMs)
{
    S_HttpReply reply;
    reply.status = status;
    reply.body = buildErrorEnvelope(code, message, std::move(details), requestId, startMs);
    logHttpResult(method, path, status, "requestId=" + requestId + ", " + message);
    return reply;
}

S_HttpReply finishInternalError(std::string_view method, std::string_view path, std::string_view code,
                                const std::string& message, const std::string& requestId,
                                std::int64_t startMs)
{
    S_HttpReply reply;
    reply.status = kInternalError;
    reply.body = buildErrorEnvelopeNoThrow(code, message, requestId, startMs);
    logHttpResult(method, path, kInternalError, "requestId=" + requestId + ", " + message);
    return reply;
}

}  // namespace

S_HttpReply runHandler(std::string_view method, std::string_view path, const JsonHandler& handler,
                       unsigned successStatus, const std::function<S_FailureAnswer()>& failureAnswer)
{
    const std::int64_t startMs = currentUnixMs();
    const std::string requestId = generateRequestId();
    std::string responseJson;
    std::string errorMessage;
    try
    {
        if (handler && handler(responseJson, errorMessage))
        {
            S_HttpReply reply;
            reply.status = successStatus;
            reply.body = buildSuccessEnvelopeFromText(responseJson, requestId, startMs);
            logHttpResult(method, path, successStatus, "requestId=" + requestId);
            return reply;
        }
        nlohmann::json details =
            responseJson.empty() ? nlohmann::json() : nlohmann::json::parse(responseJson);
        if (errorMessage.empty())
        {
            errorMessage = "Backend operation failed without an error message";
        }
        const S_FailureAnswer answer = failureAnswer();
        return finishFailure(method, path, answer.status, answer.code, errorMessage, std::move(details),
                             requestId, startMs);
    }
    catch (const nlohmann::json::exception& exception)
    {
        return finishInternalError(method, path, "INTERNAL_RESPONSE_INVALID",
                                   std::string("Backend generated invalid JSON: ") + exception.what(),
                                   requestId, startMs);
    }
    catch (const std::exception& exception)
    {
        return finishInternalError(method, path, "INTERNAL_OPERATION_FAILED",
                                   std::string("Unhandled backend operation error: ") + exception.what(),
                                   requestId, startMs);
    }
    catch (...)
    {
        return finishInternalError(method, path, "INTERNAL_OPERATION_FAILED",
                                   "Unknown backend operation error", requestId, startMs);
    }
}

namespace
{

// The answer to a refusal: the route's usual one, or that of a refusal with a code of its own.
S_FailureAnswer answerOf(E_RouteRefusal refusal, S_FailureAnswer usual, S_FailureAnswer notFound)
{
    switch (refusal)
    {
        case E_RouteRefusal::NOT_FOUND:
            return notFound.status != 0 ? notFound : usual;
        case E_RouteRefusal::INVALID_BODY:
            return {"INVALID_REQUEST_BODY", kBadRequest};
        case E_RouteRefusal::SITE_HELD:
            return {"SITE_HELD", 409};
        case E_RouteRefusal::PLAN_CHANGED:
            return {"PLAN_CHANGED", 409};
        case E_RouteRefusal::SELF_APPROVAL:
            return {"SELF_APPROVAL", 403};
        case E_RouteRefusal::APPROVAL_REQUIRED:
            return {"APPROVAL_REQUIRED", 409};
        case E_RouteRefusal::INVALID_QUERY:
            return {"INVALID_REQUEST_QUERY", kBadRequest};
        case E_RouteRefusal::FULL:
        case E_RouteRefusal::IN_USE:
        case E_RouteRefusal::UNAVAILABLE:
        case E_RouteRefusal::USUAL:
            break;
    }
    return usual;
}

// A request body as the body routes take it: JSON, re-serialised compactly; empty with the
// rejection written when it is not.
std::optional<S_HttpReply> readJsonBody(std::string_view path, const S_ApiRequest* request,
                                        std::string& requestJson)
{
    if (request == nullptr || request->body.empty())
    {
        return writeRequestError(path, "INVALID_REQUEST_BODY", "Request body must not be empty");
    }
    nlohmann::json body;
    std::string parseError;
    if (!parseJsonText(request->body, body, parseError))
    {
        return writeRequestError(path, "INVALID_REQUEST_JSON",
                                 "Request body is not valid JSON: " + parseError);
    }
    std::string serialiseError;
    if (!tryToJsonText(body, requestJson, serialiseError))
    {
        return writeRequestError(path, "INVALID_REQUEST_JSON",
                                 "Request body is not valid JSON: " + serialiseError);
    }
    return std::nullopt;
}

// A path number (upgrade or rollout): a non-zero uint32 in decimal digits; leading zeros accepted.
bool parsePathNumber(std::string_view text, const std::string& what, std::uint32_t& value, std::string& error)
{
    error.clear();
    value = 0;
    if (text.empty())
    {
        error = what + " must not be empty";
        return false;
    }
    for (const char character : text)
    {
        if (character < '0' || character > '9')
        {
            error = what + " must contain decimal digits only";
            return false;
        }
    }
    std::uint64_t number = 0;
    for (const char character : text)
    {
        number = number * 10 + static_cast<std::uint64_t>(character - '0');
        if (number > 0xFFFFFFFFull)
        {
            break;
        }
    }
    if (number == 0 || number > 0xFFFFFFFFull)
    {
        error = what + " must be a non-zero uint32 decimal value";
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

// The route's path number (what: "Upgrade number", "Rollout number"); empty when it is one, else
// the 400 answer with the code.
std::optional<S_HttpReply> readPathNumber(std::string_view path, const S_ApiRequest* request,
                                          const std::string& what, std::string_view code,
                                          std::uint32_t& number)
{
    if (request == nullptr)
    {
        return writeRequestError(path, code, what + " is unavailable");
    }
    std::string error;
    if (!parsePathNumber(request->parameter.value_or(std::string_view()), what, number, error))
    {
        return writeRequestError(path, code, error);
    }
    return std::nullopt;
}

}  // namespace

S_HttpReply invokeHandler(std::string_view method, std::string_view path, std::string_view failureCode,
                          unsigned failureStatus, const JsonHandler& handler, unsigned successStatus)
{
    return runHandler(method, path, handler, successStatus,
                      [failureCode, failureStatus] {
                          return S_FailureAnswer{failureCode, failureStatus};
                      });
}

S_HttpReply invokeJsonHandler(std::string_view path, std::string_view failureCode,
                              const JsonBodyHandler& handler, const S_ApiRequest* request)
{
    std::string requestJson;
    if (std::optional<S_HttpReply> rejection = readJsonBody(path, request, requestJson))
    {
        return std::move(*rejection);
    }
    const JsonHandler bound = [&handler, &requestJson](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(requestJson, responseJson, errorMessage); };
    return invokeHandler("POST", path, failureCode, 422, bound, 200);
}

bool parseUpgradeNumber(std::string_view text, std::uint32_t& upgradeNo, std::string& error)
{
    return parsePathNumber(text, "Upgrade number", upgradeNo, error);
}

S_HttpReply invokeUpgradeAbortHandler(std::string_view path, const UpgradeAbortHandler& handler,
                                      const S_ApiRequest* request)
{
    std::uint32_t upgradeNo = 0;
    if (std::optional<S_HttpReply> rejection =
            readPathNumber(path, request, "Upgrade number", "INVALID_UPGRADE_NO", upgradeNo))
    {
        return std::move(*rejection);
    }
    const JsonHandler bound = [&handler, upgradeNo](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(upgradeNo, responseJson, errorMessage); };
    return invokeHandler("POST", path, "UPGRADE_ABORT_REJECTED", 409, bound, 202);
}

S_HttpReply invokeFrameCaptureHandler(std::string_view path, const FrameCaptureHandler& handler,
                                      const S_ApiRequest* request)
{
    if (request == nullptr)
    {
        return writeRequestError(path, "INVALID_REQUEST_BODY", "Request body is unavailable");
    }
    nlohmann::json body;
    std::string parseError;
    if (!parseJsonText(request->body, body, parseError))
    {
        return writeRequestError(path, "INVALID_REQUEST_JSON",
                                 "Request body is not valid JSON: " + parseError);
    }
    if (!body.is_object())
    {
        return writeRequestError(path, "INVALID_REQUEST_BODY", "Request body must be a JSON object");
    }
    const auto member = body.find("enabled");
    if (member == body.end())
    {
        return writeRequestError(path, "MISSING_REQUIRED_FIELD", "Request body must contain field 'enabled'");
    }
    if (!member->is_boolean())
    {
        return writeRequestError(path, "INVALID_FIELD_TYPE", "Field 'enabled' must be a boolean");
    }
    const bool enabled = member->get<bool>();
    const JsonHandler bound = [&handler, enabled](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(enabled, responseJson, errorMessage); };
    return invokeHandler("POST", path, "DEVICE_FRAME_CAPTURE_FAILED", 500, bound, 200);
}

}  // namespace ota::backend

namespace ota::backend
{

namespace
{

constexpr std::uint32_t kDefaultAuditLimit = 100;
constexpr std::uint32_t kMaxAuditLimit = 1000;

// A decimal of 1 to 18 digits (below 2^63): no sign, blank or other prefix.
bool parseDecimal(std::string_view text, std::int64_t& value)
{
    if (text.empty() || text.size() > 18)
    {
        return false;
    }
    value = 0;
    for (const char character : text)
    {
        if (character < '0' || character > '9')
        {
            return false;
        }
        value = value * 10 + (character - '0');
    }
    return true;
}

}  // namespace

bool parseAuditQuery(std::string_view query, std::uint32_t& limit, std::int64_t& before, std::string& error)
{
    limit = kDefaultAuditLimit;
    before = 0;
    error.clear();
    bool limitSeen = false;
    bool beforeSeen = false;
    while (!query.empty())
    {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const std::size_t equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        std::int64_t number = 0;
        if (name == "limit")
        {
            if (limitSeen || !parseDecimal(value, number) || number < 1 || number > kMaxAuditLimit)
            {
                error = "limit must be given once, as a decimal number from 1 to 1000";
                return false;
            }
            limitSeen = true;
            limit = static_cast<std::uint32_t>(number);
        }
        else if (name == "before")
        {
            if (beforeSeen || !parseDecimal(value, number))
            {
                error = "before must be given once, as a decimal entry id";
                return false;
            }
            beforeSeen = true;
            before = number;
        }
    }
    return true;
}

namespace
{

S_HttpReply invokePageHandler(std::string_view path, std::string_view failureCode,
                              const AuditListHandler& handler, const S_ApiRequest& request)
{
    std::uint32_t limit = 0;
    std::int64_t before = 0;
    std::string error;
    if (!parseAuditQuery(request.query, limit, before, error))
    {
        return rejectRequest("GET", path, kBadRequest, "INVALID_REQUEST_QUERY", error);
    }
    const JsonHandler bound = [&handler, limit, before](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(limit, before, responseJson, errorMessage); };
    return invokeHandler("GET", path, failureCode, 503, bound, 200);
}

bool isLowerHexDigest(std::string_view text)
{
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

S_HttpReply invokeAuditListHandler(std::string_view path, const AuditListHandler& handler,
                                   const S_ApiRequest& request)
{
    return invokePageHandler(path, "AUDIT_UNAVAILABLE", handler, request);
}

S_HttpReply invokeFirmwareStoreListHandler(std::string_view path, const AuditListHandler& handler,
                                           const S_ApiRequest& request)
{
    return invokePageHandler(path, "FIRMWARE_STORE_UNAVAILABLE", handler, request);
}

S_HttpReply invokeFirmwareStoreDeleteHandler(std::string_view path, const FirmwareDigestHandler& handler,
                                             const S_ApiRequest* request)
{
    const std::string sha256(request != nullptr ? request->parameter.value_or(std::string_view()) : "");
    if (!isLowerHexDigest(sha256))
    {
        return rejectRequest("POST", path, kBadRequest, "INVALID_FIRMWARE_SHA256",
                             "The firmware SHA-256 must be 64 lower-case hexadecimal digits");
    }
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound =
        [&handler, &sha256, &refusal](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(sha256, responseJson, errorMessage, refusal); };
    return runHandler("POST", path, bound, 200,
                      [&refusal]
                      {
                          return refusal == E_RouteRefusal::IN_USE
                                     ? S_FailureAnswer{"FIRMWARE_IN_USE", 409}
                                     : answerOf(refusal, {"FIRMWARE_STORE_UNAVAILABLE", 503},
                                                {"FIRMWARE_NOT_FOUND", 404});
                      });
}

S_HttpReply invokeMetricsHandler(std::string_view path, const MetricsHandler& handler)
{
    std::string text;
    try
    {
        text = handler();
    }
    catch (const std::exception& exception)
    {
        return rejectRequest("GET", path, 503, "METRICS_UNAVAILABLE",
                             std::string("Metrics could not be gathered: ") + exception.what());
    }
    S_HttpReply reply;
    reply.status = 200;
    reply.contentType = kMetricsContentType;
    reply.body = std::move(text);
    logHttpResult("GET", path, reply.status, {});
    return reply;
}

S_HttpReply rejectUnauthorized(std::string_view method, std::string_view path, E_AccessVerdict verdict)
{
    if (verdict == E_AccessVerdict::LIMITED)
    {
        return rejectRequest(method, path, 429, "TOO_MANY_ATTEMPTS",
                             "Too many failed authentication attempts; try again later");
    }
    if (verdict == E_AccessVerdict::LOCKED)
    {
        return rejectRequest(method, path, 403, "ACCOUNT_LOCKED",
                             "The account is locked after repeated failed logins; try again later");
    }
    S_HttpReply reply = rejectRequest(
        method, path, 401, "UNAUTHORIZED",
        verdict == E_AccessVerdict::MISSING ? "Authentication required" : "Access token is not valid");
    reply.headers.emplace_back("WWW-Authenticate", "Bearer");
    return reply;
}

S_HttpReply invokeRolloutNumberHandler(std::string_view path, const RolloutNumberHandler& handler,
                                       const S_ApiRequest* request)
{
    std::uint32_t rolloutNo = 0;
    if (std::optional<S_HttpReply> rejection =
            readPathNumber(path, request, "Rollout number", "INVALID_ROLLOUT_NO", rolloutNo))
    {
        return std::move(*rejection);
    }
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound =
        [&handler, rolloutNo, &refusal](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(rolloutNo, responseJson, errorMessage, refusal); };
    return runHandler(
        "POST", path, bound, 202,
        [&refusal] {
            return answerOf(refusal, {"ROLLOUT_OPERATION_REJECTED", 409}, {"ROLLOUT_NOT_FOUND", 404});
        });
}

S_HttpReply invokeRolloutNumberBodyHandler(std::string_view path, const RolloutNumberBodyHandler& handler,
                                           const S_ApiRequest* request)
{
    std::uint32_t rolloutNo = 0;
    if (std::optional<S_HttpReply> rejection =
            readPathNumber(path, request, "Rollout number", "INVALID_ROLLOUT_NO", rolloutNo))
    {
        return std::move(*rejection);
    }
    std::string requestJson;
    if (std::optional<S_HttpReply> rejection = readJsonBody(path, request, requestJson))
    {
        return std::move(*rejection);
    }
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound =
        [&handler, rolloutNo, &requestJson, &refusal](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(rolloutNo, requestJson, responseJson, errorMessage, refusal); };
    return runHandler(
        "POST", path, bound, 200,
        [&refusal] {
            return answerOf(refusal, {"ROLLOUT_OPERATION_REJECTED", 409}, {"ROLLOUT_NOT_FOUND", 404});
        });
}

namespace
{
// A route with a JSON body whose refusal is its usual one or one with a code of its own.
S_HttpReply invokeRefusingBody(std::string_view path, const RefusingBodyHandler& handler,
                               const S_ApiRequest* request, S_FailureAnswer usual)
{
    std::string requestJson;
    if (std::optional<S_HttpReply> rejection = readJsonBody(path, request, requestJson))
    {
        return std::move(*rejection);
    }
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound =
        [&handler, &requestJson, &refusal](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(requestJson, responseJson, errorMessage, refusal); };
    return runHandler("POST", path, bound, 200, [&refusal, usual] { return answerOf(refusal, usual, {}); });
}
}  // namespace

S_HttpReply invokePreviewApproveHandler(std::string_view path, const RefusingBodyHandler& handler,
                                        const S_ApiRequest* request)
{
    return invokeRefusingBody(path, handler, request, {"UPGRADE_PREVIEW_REJECTED", 409});
}

S_HttpReply invokeUpgradeStartHandler(std::string_view path, const RefusingJsonHandler& handler)
{
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound = [&handler, &refusal](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(responseJson, errorMessage, refusal); };
    return runHandler("POST", path, bound, 202,
                      [&refusal] {
                          return answerOf(refusal, {"UPGRADE_START_REJECTED", 409}, {});
                      });
}

S_HttpReply invokeSiteHoldPlaceHandler(std::string_view path, const RefusingBodyHandler& handler,
                                       const S_ApiRequest* request)
{
    return invokeRefusingBody(path, handler, request, {"SITE_HOLDS_UNAVAILABLE", 503});
}

S_HttpReply invokeSiteHoldReleaseHandler(std::string_view path, const SiteHoldSourceHandler& handler,
                                         const S_ApiRequest* request)
{
    const std::string source(request != nullptr ? request->parameter.value_or(std::string_view()) : "");
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    const JsonHandler bound =
        [&handler, &source, &refusal](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(source, responseJson, errorMessage, refusal); };
    return runHandler("POST", path, bound, 200,
                      [&refusal] {
                          return answerOf(refusal, {"SITE_HOLDS_UNAVAILABLE", 503}, {"HOLD_NOT_FOUND", 404});
                      });
}

S_HttpReply invokeUpgradeBodyHandler(std::string_view path, std::string_view failureCode,
                                     const UpgradeBodyHandler& handler, const S_ApiRequest* request)
{
    std::uint32_t upgradeNo = 0;
    if (std::optional<S_HttpReply> rejection =
            readPathNumber(path, request, "Upgrade number", "INVALID_UPGRADE_NO", upgradeNo))
    {
        return std::move(*rejection);
    }
    std::string requestJson;
    if (std::optional<S_HttpReply> rejection = readJsonBody(path, request, requestJson))
    {
        return std::move(*rejection);
    }
    const JsonHandler bound =
        [&handler, upgradeNo, &requestJson](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(upgradeNo, requestJson, responseJson, errorMessage); };
    return invokeHandler("POST", path, failureCode, 422, bound, 200);
}

bool parseHistoryPageQuery(std::string_view query, S_HistoryPageQuery& page, bool& paged, std::string& error)
{
    constexpr std::uint32_t kDefaultLimit = 100;
    constexpr std::uint32_t kMaxLimit = 1000;
    error.clear();
    page = S_HistoryPageQuery{};
    bool limitSeen = false;
    bool beforeSeen = false;
    std::size_t begin = 0;
    while (begin <= query.size())
    {
        const std::size_t end = std::min(query.find('&', begin), query.size());
        const std::string_view pair = query.substr(begin, end - begin);
        begin = end + 1;
        if (pair.empty())
        {
            continue;
        }
        const std::size_t equals = pair.find('=');
        const std::string_view name = pair.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        std::uint32_t number = 0;
        std::string numberError;
        if (name == "limit")
        {
            if (limitSeen || !parsePathNumber(value, "limit", number, numberError) || number > kMaxLimit)
            {
                error = "Query parameter limit must be given once, as an integer from 1 to " +
                        std::to_string(kMaxLimit);
                return false;
            }
            limitSeen = true;
            page.limit = number;
        }
        else if (name == "before")
        {
            if (beforeSeen || !parsePathNumber(value, "before", number, numberError))
            {
                error =
                    "Query parameter before must be given once, as an upgrade number (a non-zero uint32 "
                    "decimal "
                    "value)";
                return false;
            }
            beforeSeen = true;
            page.before = number;
        }
        // Any other parameter (a browser's or a proxy's cache buster, say) is not the history's
        // business: it is ignored, as on every route that reads no query.
    }
    paged = limitSeen || beforeSeen;
    if (!limitSeen)
    {
        page.limit = kDefaultLimit;
    }
    return true;
}

S_HttpReply invokeHistoryHandler(std::string_view path, const JsonHandler& handler,
                                 const HistoryPageHandler& pageHandler, const S_ApiRequest* request)
{
    if (!pageHandler || request == nullptr || request->query.empty())
    {
        return invokeHandler("GET", path, "UPGRADE_HISTORY_UNAVAILABLE", 503, handler, 200);
    }
    S_HistoryPageQuery page;
    bool paged = false;
    std::string error;
    if (!parseHistoryPageQuery(request->query, page, paged, error))
    {
        return rejectRequest("GET", path, kBadRequest, "INVALID_REQUEST_QUERY", error);
    }
    if (!paged)
    {
        return invokeHandler("GET", path, "UPGRADE_HISTORY_UNAVAILABLE", 503, handler, 200);
    }
    const JsonHandler bound = [&pageHandler, &page](std::string& responseJson, std::string& errorMessage)
    { return pageHandler(page, responseJson, errorMessage); };
    return invokeHandler("GET", path, "UPGRADE_HISTORY_UNAVAILABLE", 503, bound, 200);
}

}  // namespace ota::backend
