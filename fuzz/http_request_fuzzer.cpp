// Fuzz target: raw bytes from a client through the server's request path in process: the HTTP
// parser with the server's limits (requests pipelined one after another), the event-stream
// upgrade check, the router with its Host/Origin and access checks (access control on, a token
// and a session cookie both known), the audit trail, and every route's adapter with callbacks that
// answer at once. Byte 0 picks whether the requests carry the valid token (bit 0) or the session
// cookie (bit 1) appended as headers by the harness, so that the routes behind the access check are
// reached; the rest is the stream.
// Checks: every answer is a well-formed envelope (or a console file) with a status the API uses;
// every audit entry that was begun is completed.

#include "api/access_control.h"
#include "api/api_router.h"
#include "api/audit_trail.h"
#include "api/http_request_view.h"
#include "api/session_context.h"

#include <boost/beast/http/parser.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <variant>

namespace
{

using namespace ota::backend;
namespace http = boost::beast::http;

const std::string kToken(48, 'k');

class CCountingAuditTrail final : public IApiAuditTrail
{
public:
    bool begin(const S_AuditRecord& record, std::int64_t& entryId, std::string& error) override
    {
        if (record.status != 0 || record.route.empty())
        {
            std::abort();
        }
        error.clear();
        entryId = ++m_lastId;
        ++m_open;
        return true;
    }
    void complete(std::int64_t entryId, const S_AuditRecord& outcome) override
    {
        if (entryId != m_lastId || outcome.status == 0 || m_open == 0)
        {
            std::abort();
        }
        --m_open;
    }
    void record(const S_AuditRecord& record) override
    {
        if (record.status == 0)
        {
            std::abort();
        }
    }
    std::size_t open() const { return m_open; }

private:
    std::int64_t m_lastId = 0;
    std::size_t m_open = 0;
};

bool answerAtOnce(std::string& response, std::string&)
{
    response = R"({"ok":true})";
    return true;
}

struct S_Harness
{
    S_Harness()
        : access(std::make_shared<CApiAccessControl>(kToken)), audit(std::make_shared<CCountingAuditTrail>())
    {
        S_ApiCallbacks callbacks;
        for (JsonHandler* handler :
             {&callbacks.health, &callbacks.systemCapacity, &callbacks.workspace, &callbacks.sceneReload,
              &callbacks.upgradeStart, &callbacks.currentUpgrade, &callbacks.upgradeHistory,
              &callbacks.upgradeHistoryClear, &callbacks.deviceStatus, &callbacks.deviceFrames,
              &callbacks.deviceStatusQuery, &callbacks.deviceReconnect})
        {
            *handler = answerAtOnce;
        }
        callbacks.firmwareInspect =
            callbacks.upgradePreview = [](const std::string&, std::string& response, std::string& error)
        { return answerAtOnce(response, error); };
        callbacks.upgradeAbort = [](std::uint32_t upgradeNo, std::string& response, std::string& error)
        { return upgradeNo % 2 == 0 ? answerAtOnce(response, error) : (error = "refused", false); };
        callbacks.frameCapture = [](bool, std::string& response, std::string& error)
        { return answerAtOnce(response, error); };
        callbacks.auditList = [](std::uint32_t, std::int64_t, std::string& response, std::string& error)
        { return answerAtOnce(response, error); };
        callbacks.metrics = [] { return std::string("# HELP x An x.\n# TYPE x gauge\nx 1\n"); };
        callbacks.rolloutCreate = callbacks.firmwareInspect;
        callbacks.rolloutList = callbacks.rolloutCurrent = answerAtOnce;
        for (RolloutNumberHandler* handler : {&callbacks.rolloutStart, &callbacks.rolloutPause,
                                              &callbacks.rolloutResume, &callbacks.rolloutCancel})
        {
            *handler = [](std::uint32_t rolloutNo, std::string& response, std::string& error,
                          E_RouteRefusal& refusal)
            {
                refusal = rolloutNo > 100 ? E_RouteRefusal::NOT_FOUND : E_RouteRefusal::USUAL;
                return rolloutNo <= 100 && answerAtOnce(response, error);
            };
        }
        callbacks.upgradeRetry = [](std::uint32_t, const std::string&, std::string& response,
                                    std::string& error) { return answerAtOnce(response, error); };
        callbacks.upgradeHistoryPage = [](const S_HistoryPageQuery&, std::string& response,
                                          std::string& error) { return answerAtOnce(response, error); };
        // The upload reads its body to the end as the store would; the signature takes any bytes.
        callbacks.firmwareStoreUploadLimit = S_SessionContext::kMaxBodyBytes;
        callbacks.firmwareStoreUpload = [](const S_FirmwareUploadQuery& query, const RequestBodySource& body,
                                           std::string& response, std::string& error, E_RouteRefusal& refusal)
        {
            const std::uint8_t* data = nullptr;
            std::ptrdiff_t count = 0;
            while ((count = body(data)) > 0)
            {
            }
            refusal = query.name.size() > 63 ? E_RouteRefusal::INVALID_QUERY : E_RouteRefusal::FULL;
            return count == 0 && query.name.size() % 2 == 0 && answerAtOnce(response, error);
        };
        callbacks.firmwareStoreSignature = [](const std::string&, std::string_view signature,
                                              std::string& response, std::string& error,
                                              E_RouteRefusal& refusal)
        {
            refusal = E_RouteRefusal::NOT_FOUND;
            return !signature.empty() && answerAtOnce(response, error);
        };
        callbacks.staticAssets = [](std::string_view path) -> const S_StaticAsset*
        {
            static const S_StaticAsset page{"text/html; charset=utf-8", "no-cache", "<!doctype html>"};
            return path == "/" || path == "/index.html" ? &page : nullptr;
        };
        callbacks.accessControl = access;
        callbacks.auditTrail = audit;
        router = std::make_unique<CApiRouter>(std::move(callbacks));
        access->login(kToken, session);
    }

    std::shared_ptr<CApiAccessControl> access;
    std::shared_ptr<CCountingAuditTrail> audit;
    std::unique_ptr<CApiRouter> router;
    std::string session;
};

void checkReply(const S_HttpReply& reply)
{
    if (reply.status < 200 || reply.status > 599)
    {
        std::abort();
    }
    if (!reply.contentType.empty())
    {
        return;  // a console file
    }
    const nlohmann::json envelope = nlohmann::json::parse(reply.body, nullptr, false);
    if (envelope.is_discarded() || !envelope.is_object() ||
        envelope.value("success", false) != (reply.status < 300))
    {
        std::abort();
    }
}

void handle(const S_Harness& harness, const CApiRouter::Dispatch& dispatch)
{
    if (const S_HttpReply* reply = std::get_if<S_HttpReply>(&dispatch))
    {
        checkReply(*reply);
        return;
    }
    checkReply(harness.router->invoke(std::get<CApiRouter::S_RouteCall>(dispatch)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static S_Harness harness;
    if (size < 1)
    {
        return 0;
    }
    if (harness.access->sessionCount() == 0)
    {
        harness.access->login(kToken, harness.session);  // an earlier input logged it out
    }
    const std::uint8_t flags = data[0];
    std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string client = "127.0.0.1:40000";
    // At most a few requests per input: a stream of thousands of tiny requests teaches nothing more.
    for (int requests = 0; requests < 8 && !stream.empty(); ++requests)
    {
        http::request_parser<http::string_body> parser;
        parser.body_limit(S_SessionContext::kMaxBodyBytes);
        parser.header_limit(S_SessionContext::kMaxHeaderBytes);
        parser.eager(true);
        boost::beast::error_code error;
        const std::size_t used = parser.put(boost::asio::buffer(stream.data(), stream.size()), error);
        if (error == http::error::need_more)
        {
            // The stream ends inside a request: the server would wait for the rest, then time out.
            if (!parser.is_header_done() || stream.size() < 1)
            {
                break;
            }
            parser.put_eof(error);
            if (error)
            {
                break;
            }
        }
        stream.remove_prefix(std::min(used, stream.size()));
        if (error)
        {
            if (!parser.is_header_done())
            {
                break;
            }
            S_HttpReply refusal =
                rejectRequest(parser.get().method_string(), CApiRouter::pathOf(parser.get().target()), 400,
                              "INVALID_HTTP_REQUEST", "Malformed HTTP request: " + error.message());
            handle(harness,
                   harness.router->refuse(requestViewOf(parser.get(), client, false), std::move(refusal)));
            break;
        }
        if (!parser.is_done())
        {
            break;
        }
        http::request<http::string_body>& request = parser.get();
        if ((flags & 1) != 0)
        {
            request.insert(http::field::authorization, "Bearer " + kToken);
        }
        if ((flags & 2) != 0)
        {
            request.insert(http::field::cookie,
                           std::string(CApiAccessControl::kSessionCookie) + "=" + harness.session);
        }
        const S_HttpRequestView view = requestViewOf(request, client, true);
        if (boost::beast::websocket::is_upgrade(request))
        {
            std::string session;
            if (std::optional<S_HttpReply> refusal = harness.router->checkEventStreamUpgrade(view, session))
            {
                checkReply(*refusal);
            }
            break;  // the connection becomes an event stream (or is closed)
        }
        handle(harness, harness.router->dispatch(view));
        if (!request.keep_alive())
        {
            break;
        }
    }
    if (harness.audit->open() != 0)
    {
        std::abort();
    }
    return 0;
}
