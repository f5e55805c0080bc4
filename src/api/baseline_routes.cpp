#include "api/baseline_routes.h"

#include "api/api_router.h"
#include "common/json_text.h"

#include <exception>
#include <optional>
#include <string>

namespace ota::backend
{

namespace
{

constexpr std::string_view kUnavailable = "BASELINE_UNAVAILABLE";

// The value of one parameter of a query string; none when absent.
std::optional<std::string_view> queryParameter(std::string_view query, std::string_view name)
{
    while (!query.empty())
    {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const std::size_t equals = pair.find('=');
        if (pair.substr(0, equals) == name)
        {
            return equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
        }
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    }
    return std::nullopt;
}

// Runs a refusing callback once, then answers its outcome through the usual adapter with the code
// its refusal calls for.
S_HttpReply answerRefusing(std::string_view method, std::string_view path, unsigned successStatus,
                           const std::function<bool(std::string&, std::string&, E_RouteRefusal&)>& run)
{
    std::string response;
    std::string message;
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    bool succeeded = false;
    try
    {
        succeeded = run(response, message, refusal);
    }
    catch (const std::exception& exception)
    {
        return rejectRequest(method, path, 500, "INTERNAL_OPERATION_FAILED",
                             std::string("Unhandled backend operation error: ") + exception.what());
    }
    std::string_view code = "BASELINE_REJECTED";
    unsigned status = 422;
    switch (refusal)
    {
        case E_RouteRefusal::INVALID_BODY:
            code = "INVALID_REQUEST_BODY";
            status = 400;
            break;
        case E_RouteRefusal::NOT_FOUND:
            code = "BASELINE_NOT_FOUND";
            status = 404;
            break;
        case E_RouteRefusal::UNAVAILABLE:
            code = kUnavailable;
            status = 503;
            break;
        case E_RouteRefusal::SITE_HELD:
        case E_RouteRefusal::INVALID_QUERY:
        case E_RouteRefusal::FULL:
        case E_RouteRefusal::IN_USE:
        case E_RouteRefusal::PLAN_CHANGED:
        case E_RouteRefusal::SELF_APPROVAL:
        case E_RouteRefusal::APPROVAL_REQUIRED:
        case E_RouteRefusal::USUAL:
            break;
    }
    const JsonHandler replay = [&](std::string& responseJson, std::string& errorMessage)
    {
        responseJson = std::move(response);
        errorMessage = std::move(message);
        return succeeded;
    };
    return invokeHandler(method, path, code, status, replay, successStatus);
}

}  // namespace

S_HttpReply invokeBaselineCreateHandler(std::string_view path, const RefusingBodyHandler& handler,
                                        const S_ApiRequest* request)
{
    nlohmann::json body;
    std::string parseError;
    if (request == nullptr || request->body.empty())
    {
        return rejectRequest("POST", path, 400, "INVALID_REQUEST_BODY", "Request body must not be empty");
    }
    if (!parseJsonText(request->body, body, parseError))
    {
        return rejectRequest("POST", path, 400, "INVALID_REQUEST_BODY",
                             "Request body is not valid JSON: " + parseError);
    }
    std::string requestJson;
    if (!tryToJsonText(body, requestJson, parseError))
    {
        return rejectRequest("POST", path, 400, "INVALID_REQUEST_BODY",
                             "Request body is not valid JSON: " + parseError);
    }
    return answerRefusing("POST", path, 200,
                          [&](std::string& response, std::string& message, E_RouteRefusal& refusal)
                          { return handler && handler(requestJson, response, message, refusal); });
}

S_HttpReply invokeBaselineListHandler(std::string_view path, const AuditListHandler& handler,
                                      const S_ApiRequest& request)
{
    std::uint32_t limit = 0;
    std::int64_t before = 0;
    std::string error;
    if (!parseAuditQuery(request.query, limit, before, error))
    {
        return rejectRequest("GET", path, 400, "INVALID_REQUEST_QUERY", error);
    }
    const JsonHandler bound = [&handler, limit, before](std::string& responseJson, std::string& errorMessage)
    { return handler && handler(limit, before, responseJson, errorMessage); };
    return invokeHandler("GET", path, kUnavailable, 503, bound, 200);
}

S_HttpReply invokeBaselineReportHandler(std::string_view path, const BaselineReportHandler& handler,
                                        const S_ApiRequest& request)
{
    const std::optional<std::string_view> format = queryParameter(request.query, "format");
    if (format && *format != "json" && *format != "csv")
    {
        return rejectRequest("GET", path, 400, "INVALID_REQUEST_QUERY", "format must be json or csv");
    }
    if (!format || *format == "json")
    {
        return answerRefusing("GET", path, 200,
                              [&](std::string& response, std::string& message, E_RouteRefusal& refusal)
                              { return handler && handler(false, response, message, refusal); });
    }
    std::string text;
    std::string message;
    E_RouteRefusal refusal = E_RouteRefusal::USUAL;
    try
    {
        if (handler && handler(true, text, message, refusal))
        {
            S_HttpReply reply;
            reply.status = 200;
            reply.contentType = kCsvContentType;
            reply.body = std::move(text);
            logHttpResult("GET", path, reply.status, {});
            return reply;
        }
    }
    catch (const std::exception& exception)
    {
        return rejectRequest("GET", path, 500, "INTERNAL_OPERATION_FAILED",
                             std::string("Unhandled backend operation error: ") + exception.what());
    }
    if (refusal == E_RouteRefusal::NOT_FOUND)
    {
        return rejectRequest("GET", path, 404, "BASELINE_NOT_FOUND", message);
    }
    return rejectRequest("GET", path, 503, kUnavailable, message);
}

void CApiRouter::addBaselineRoutes()
{
    const S_ApiCallbacks& c = m_callbacks;
    // Stores the baseline durably, as the other writing routes do on their lane.
    if (c.baselineCreate)
    {
        m_routes.push_back(
            {"POST", "/api/v1/baseline", E_CallbackLane::Operation, [&c](const S_ApiRequest& request) {
                 return invokeBaselineCreateHandler("/api/v1/baseline", c.baselineCreate, &request);
             }});
    }
    if (c.baselineCurrent)
    {
        m_routes.push_back({"GET", "/api/v1/baseline", E_CallbackLane::Quick, [&c](const S_ApiRequest&) {
                                return invokeHandler("GET", "/api/v1/baseline", kUnavailable, 503,
                                                     c.baselineCurrent, 200);
                            }});
    }
    if (c.baselineList)
    {
        m_routes.push_back(
            {"GET", "/api/v1/baseline/list", E_CallbackLane::Quick, [&c](const S_ApiRequest& request) {
                 return invokeBaselineListHandler("/api/v1/baseline/list", c.baselineList, request);
             }});
    }
    if (c.baselineReport)
    {
        m_routes.push_back(
            {"GET", "/api/v1/baseline/report", E_CallbackLane::Quick, [&c](const S_ApiRequest& request) {
                 return invokeBaselineReportHandler("/api/v1/baseline/report", c.baselineReport, request);
             }});
    }
}

}  // namespace ota::backend
