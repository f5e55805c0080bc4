#include "api/api_adapters.h"
#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "common/clock.h"
#include "support/wait_until.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

namespace ota::test
{
namespace
{

using backend::CHttpApiServer;
using backend::currentUnixMs;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct S_RouteCase
{
    const char* method;
    const char* target;
    const char* body;
    const char* route;
    unsigned successStatus;
    const char* failureCode;
    unsigned failureStatus;
};

// The route table as a client sees it.
const S_RouteCase kRoutes[] = {
    {"GET", "/api/v1/health", "", "health", 200, "SERVICE_UNAVAILABLE", 503},
    {"GET", "/api/v1/system/capacity", "", "systemCapacity", 200, "SYSTEM_CAPACITY_UNAVAILABLE", 503},
    {"GET", "/api/v1/workspace", "", "workspace", 200, "WORKSPACE_UNAVAILABLE", 503},
    {"POST", "/api/v1/scene/reload", "", "sceneReload", 200, "SCENE_RELOAD_FAILED", 500},
    {"POST", "/api/v1/firmware/inspect", "{}", "firmwareInspect", 200, "FIRMWARE_INSPECTION_REJECTED", 422},
    {"POST", "/api/v1/upgrades/preview", "{}", "upgradePreview", 200, "UPGRADE_PREVIEW_REJECTED", 422},
    {"POST", "/api/v1/upgrades/start", "", "upgradeStart", 202, "UPGRADE_START_REJECTED", 409},
    {"POST", "/api/v1/upgrades/42/abort", "", "upgradeAbort", 202, "UPGRADE_ABORT_REJECTED", 409},
    {"GET", "/api/v1/upgrades/current", "", "currentUpgrade", 200, "CURRENT_UPGRADE_UNAVAILABLE", 503},
    {"GET", "/api/v1/upgrades/history", "", "upgradeHistory", 200, "UPGRADE_HISTORY_UNAVAILABLE", 503},
    {"POST", "/api/v1/upgrades/history/clear", "", "upgradeHistoryClear", 200,
     "UPGRADE_HISTORY_CLEAR_REJECTED", 409},
    {"GET", "/api/v1/devices/status", "", "deviceStatus", 200, "DEVICE_STATUS_UNAVAILABLE", 503},
    {"GET", "/api/v1/devices/frames", "", "deviceFrames", 200, "DEVICE_FRAME_TRACE_UNAVAILABLE", 503},
    {"POST", "/api/v1/devices/frames/capture", R"({"enabled":true})", "frameCapture", 200,
     "DEVICE_FRAME_CAPTURE_FAILED", 500},
    {"POST", "/api/v1/devices/status-query", "", "deviceStatusQuery", 202, "DEVICE_STATUS_QUERY_FAILED", 503},
    {"POST", "/api/v1/devices/reconnect", "", "deviceReconnect", 202, "DEVICE_RECONNECT_FAILED", 503},
};

backend::S_ApiCallbacks failingCallbacks(const std::string& message)
{
    backend::S_ApiCallbacks callbacks;
    const auto fail = [message](std::string&, std::string& error)
    {
        error = message;
        return false;
    };
    callbacks.health = callbacks.systemCapacity = callbacks.workspace = callbacks.sceneReload = fail;
    callbacks.upgradeStart = callbacks.currentUpgrade = callbacks.upgradeHistory = fail;
    callbacks.upgradeHistoryClear = callbacks.deviceStatus = callbacks.deviceFrames = fail;
    callbacks.deviceStatusQuery = callbacks.deviceReconnect = fail;
    callbacks.firmwareInspect = callbacks.upgradePreview = [fail](const std::string&, std::string& r,
                                                                  std::string& e) { return fail(r, e); };
    callbacks.upgradeAbort = [fail](std::uint32_t, std::string& r, std::string& e) { return fail(r, e); };
    callbacks.frameCapture = [fail](bool, std::string& r, std::string& e) { return fail(r, e); };
    return callbacks;
}

std::uint64_t sequenceOf(const std::string& requestId)
{
    return std::stoull(requestId.substr(requestId.rfind('-') + 1));
}

void expectRejected(const S_HttpResult& result, unsigned status, const std::string& code,
                    const std::string& message)
{
    ASSERT_TRUE(result.received) << result.failure;
    EXPECT_EQ(result.status, status) << result.body;
    EXPECT_EQ(result.json["success"], false);
    EXPECT_TRUE(result.json["data"].is_null());
    EXPECT_EQ(result.json["error"]["code"], code) << result.body;
    EXPECT_EQ(result.json["error"]["message"], message) << result.body;
    EXPECT_FALSE(result.json["error"].contains("details"));
    EXPECT_THAT(result.json["meta"]["requestId"].get<std::string>(), StartsWith("ota-"));
}

TEST(HttpApiServerStart, RefusesMissingEndpointNonLoopbackHostsAndIncompleteCallbacks)
{
    CHttpApiServer server;
    std::string error = "stale";
    EXPECT_FALSE(server.start("", 8080, echoCallbacks(), error));
    EXPECT_EQ(error, "HTTP API server host and port are required");
    EXPECT_FALSE(server.start("127.0.0.1", 0, echoCallbacks(), error));
    EXPECT_EQ(error, "HTTP API server host and port are required");
    for (const char* host : {"localhost", "0.0.0.0", "192.168.1.10", "127.0.0.2", "::"})
    {
        EXPECT_FALSE(server.start(host, 8080, echoCallbacks(), error)) << host;
        EXPECT_EQ(error, "HTTP API server must listen on a loopback address") << host;
    }
    backend::S_ApiCallbacks incomplete = echoCallbacks();
    incomplete.deviceReconnect = nullptr;
    EXPECT_FALSE(server.start("127.0.0.1", 8080, incomplete, error));
    EXPECT_EQ(error, "HTTP API server callbacks are incomplete");
    EXPECT_EQ(server.boundPort(), 0);
}

TEST_F(ApiServerTest, SecondStartFailsAndLeavesTheRunningServerServing)
{
    startServer();
    std::string error = "stale";
    EXPECT_FALSE(server->start("127.0.0.1", 0, echoCallbacks(), error));
    EXPECT_EQ(error, "HTTP API server is already running");
    CTestHttpClient client(port);
    EXPECT_EQ(client.request("GET", "/api/v1/health").status, 200u);
}

TEST_F(ApiServerTest, StartOnATakenPortFailsWithTheEndpointAndCanBeRetried)
{
    startServer();
    CHttpApiServer second;
    std::string error;
    EXPECT_FALSE(second.start("127.0.0.1", port, echoCallbacks(), error));
    EXPECT_THAT(error, StartsWith("Boost.Asio failed to start HTTP/WebSocket API server, result="));
    EXPECT_THAT(error, HasSubstr(", endpoint=http://127.0.0.1:" + std::to_string(port)));
    EXPECT_FALSE(second.publishEvent("device.status", "{}"));

    server->stop();
    EXPECT_TRUE(second.start("127.0.0.1", port, echoCallbacks(), error)) << error;
    EXPECT_TRUE(error.empty());
    CTestHttpClient client(port);
    EXPECT_EQ(client.request("GET", "/api/v1/health").status, 200u);
    second.stop();
}

TEST_F(ApiServerTest, SuccessEnvelopeIsCompactSortedUtf8JsonWithMeta)
{
    callbacks.workspace = [](std::string& response, std::string&)
    {
        response = "{ \"name\" : \"\xE8\xA3\x85\xE7\xBD\xAE\", \"count\": 2 }";
        return true;
    };
    startServer();
    CTestHttpClient client(port);
    const std::int64_t before = currentUnixMs();
    const S_HttpResult result = client.request("GET", "/api/v1/workspace?ignored=1");
    const std::int64_t after = currentUnixMs();

    ASSERT_EQ(result.status, 200u) << result.body;
    EXPECT_EQ(result.contentType, "application/json; charset=utf-8");
    EXPECT_TRUE(result.keepAlive);
    const std::string requestId = result.json["meta"]["requestId"];
    const std::int64_t timestamp = result.json["meta"]["timestamp"];
    EXPECT_EQ(result.body,
              "{\"data\":{\"count\":2,\"name\":\"\xE8\xA3\x85\xE7\xBD\xAE\"},\"error\":null,"
              "\"meta\":{\"apiVersion\":1,\"requestId\":\"" +
                  requestId + "\",\"timestamp\":" + std::to_string(timestamp) + "},\"success\":true}");
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, after);
    EXPECT_THAT(requestId, StartsWith("ota-"));
}

TEST_F(ApiServerTest, EveryRouteRunsItsCallbackWithItsSuccessStatus)
{
    startServer();
    CTestHttpClient client(port);
    for (const S_RouteCase& route : kRoutes)
    {
        const S_HttpResult result = client.request(route.method, route.target, route.body);
        EXPECT_EQ(result.status, route.successStatus) << route.target << " " << result.body;
        EXPECT_EQ(result.json["success"], true) << route.target;
        EXPECT_EQ(result.json["data"]["route"], route.route) << route.target;
        EXPECT_TRUE(result.json["error"].is_null()) << route.target;
    }
}

TEST_F(ApiServerTest, EveryRouteMapsItsFailureToItsCodeAndStatus)
{
    callbacks = failingCallbacks("operation refused");
    startServer();
    CTestHttpClient client(port);
    for (const S_RouteCase& route : kRoutes)
    {
        const S_HttpResult result = client.request(route.method, route.target, route.body);
        expectRejected(result, route.failureStatus, route.failureCode, "operation refused");
    }
}

TEST_F(ApiServerTest, FailureDetailsAreParsedAndNullDetailsOmitted)
{
    std::string details;
    std::string message;
    callbacks.upgradeStart = [&](std::string& response, std::string& error)
    {
        response = details;
        error = message;
        return false;
    };
    startServer();
    CTestHttpClient client(port);

    details = R"({"conflict":"busy"})";
    message = "Another upgrade is running";
    S_HttpResult result = client.request("POST", "/api/v1/upgrades/start");
    EXPECT_EQ(result.status, 409u);
    EXPECT_EQ(result.json["error"]["details"], nlohmann::json::parse(details));
    EXPECT_EQ(result.json["error"]["message"], message);
    EXPECT_THAT(result.body,
                HasSubstr(R"("error":{"code":"UPGRADE_START_REJECTED","details":{"conflict":"busy"},)"));

    details = "null";
    message.clear();
    expectRejected(client.request("POST", "/api/v1/upgrades/start"), 409, "UPGRADE_START_REJECTED",
                   "Backend operation failed without an error message");

    details.clear();
    message = "plain";
    expectRejected(client.request("POST", "/api/v1/upgrades/start"), 409, "UPGRADE_START_REJECTED", "plain");
}

TEST_F(ApiServerTest, CallbackFaultsBecomeInternalErrors)
{
    std::function<bool(std::string&, std::string&)> behaviour;
    callbacks.sceneReload = [&](std::string& response, std::string& error)
    { return behaviour(response, error); };
    startServer();
    CTestHttpClient client(port);

    behaviour = [](std::string&, std::string&) -> bool { throw std::runtime_error("disk on fire"); };
    expectRejected(client.request("POST", "/api/v1/scene/reload"), 500, "INTERNAL_OPERATION_FAILED",
                   "Unhandled backend operation error: disk on fire");

    behaviour = [](std::string&, std::string&) -> bool { throw 7; };
    expectRejected(client.request("POST", "/api/v1/scene/reload"), 500, "INTERNAL_OPERATION_FAILED",
                   "Unknown backend operation error");

    for (const char* malformed : {"", "{\"a\":", "{} trailing", "{\"a\":1} // comment"})
    {
        behaviour = [malformed](std::string& response, std::string&)
        {
            response = malformed;
            return true;
        };
        const S_HttpResult result = client.request("POST", "/api/v1/scene/reload");
        EXPECT_EQ(result.status, 500u) << malformed;
        EXPECT_EQ(result.json["error"]["code"], "INTERNAL_RESPONSE_INVALID") << malformed;
        EXPECT_THAT(result.json["error"]["message"].get<std::string>(),
                    StartsWith("Backend generated invalid JSON: "));
    }

    behaviour = [](std::string& response, std::string&)
    {
        response = "{broken";
        return false;
    };
    EXPECT_EQ(client.request("POST", "/api/v1/scene/reload").json["error"]["code"],
              "INTERNAL_RESPONSE_INVALID");

    // Invalid UTF-8 from a callback must still give a valid JSON answer.
    behaviour = [](std::string&, std::string& error)
    {
        error = "bad byte \xFF";
        return false;
    };
    S_HttpResult result = client.request("POST", "/api/v1/scene/reload");
    EXPECT_EQ(result.status, 500u);
    EXPECT_EQ(result.json["error"]["code"], "INTERNAL_RESPONSE_INVALID");
    behaviour = [](std::string&, std::string&) -> bool { throw std::runtime_error("bad byte \xFF"); };
    result = client.request("POST", "/api/v1/scene/reload");
    EXPECT_EQ(result.status, 500u);
    EXPECT_EQ(result.json["error"]["code"], "INTERNAL_OPERATION_FAILED");
}

TEST_F(ApiServerTest, BodyRoutesRequireJsonAndPassItReserialised)
{
    startServer();
    CTestHttpClient client(port);
    expectRejected(client.request("POST", "/api/v1/firmware/inspect", ""), 400, "INVALID_REQUEST_BODY",
                   "Request body must not be empty");
    const S_HttpResult invalid = client.request("POST", "/api/v1/upgrades/preview", "{\"a\":");
    EXPECT_EQ(invalid.status, 400u);
    EXPECT_EQ(invalid.json["error"]["code"], "INVALID_REQUEST_JSON");
    EXPECT_THAT(invalid.json["error"]["message"].get<std::string>(),
                StartsWith("Request body is not valid JSON: "));

    // Nesting this deep is refused before it can exhaust the stack.
    const S_HttpResult deep = client.request("POST", "/api/v1/firmware/inspect", std::string(200000, '['));
    EXPECT_EQ(deep.status, 400u);
    EXPECT_EQ(deep.json["error"]["code"], "INVALID_REQUEST_JSON");

    S_HttpResult result = client.request("POST", "/api/v1/firmware/inspect", "[1,2]");
    EXPECT_EQ(result.status, 200u);
    EXPECT_EQ(result.json["data"]["request"], "[1,2]");
    result =
        client.request("POST", "/api/v1/upgrades/preview", " { \"b\" : 1 ,\n \"a\" : \"\xE8\xA3\x85\" } ");
    EXPECT_EQ(result.json["data"]["request"], "{\"a\":\"\xE8\xA3\x85\",\"b\":1}");

    // A client that waits for "100 Continue" before sending its body gets it.
    CTestHttpClient waiting(port);
    ASSERT_TRUE(
        waiting.sendRaw("POST /api/v1/firmware/inspect HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Expect: 100-continue\r\nContent-Length: 7\r\n\r\n"));
    EXPECT_EQ(waiting.readResponse().status, 100u);
    ASSERT_TRUE(waiting.sendRaw("[true] "));
    EXPECT_EQ(waiting.readResponse().json["data"]["request"], "[true]");
}

TEST_F(ApiServerTest, AbortRouteAcceptsOnlyNonZeroUint32Decimals)
{
    startServer();
    CTestHttpClient client(port);
    const std::string digitsOnly = "Upgrade number must contain decimal digits only";
    const std::string range = "Upgrade number must be a non-zero uint32 decimal value";
    const std::pair<const char*, std::string> rejected[] = {
        {"0", range},          {"000", range},
        {"4294967296", range}, {"99999999999999999999999", range},
        {"-1", digitsOnly},    {"+1", digitsOnly},
        {"0x1A", digitsOnly},  {"1%20", digitsOnly},
        {"12a", digitsOnly},   {"", "Upgrade number must not be empty"},
    };
    for (const auto& [number, message] : rejected)
    {
        expectRejected(client.request("POST", std::string("/api/v1/upgrades/") + number + "/abort"), 400,
                       "INVALID_UPGRADE_NO", message);
    }
    S_HttpResult result = client.request("POST", "/api/v1/upgrades/4294967295/abort");
    EXPECT_EQ(result.status, 202u);
    EXPECT_EQ(result.json["data"]["upgradeNo"], 4294967295u);
    result = client.request("POST", "/api/v1/upgrades/007/abort");
    EXPECT_EQ(result.json["data"]["upgradeNo"], 7);
}

TEST_F(ApiServerTest, FrameCaptureRouteRequiresABooleanEnabledField)
{
    startServer();
    CTestHttpClient client(port);
    const std::string path = "/api/v1/devices/frames/capture";
    expectRejected(client.request("POST", path, R"({"enabled":"yes"})"), 400, "INVALID_FIELD_TYPE",
                   "Field 'enabled' must be a boolean");
    expectRejected(client.request("POST", path, "{}"), 400, "MISSING_REQUIRED_FIELD",
                   "Request body must contain field 'enabled'");
    expectRejected(client.request("POST", path, "[true]"), 400, "INVALID_REQUEST_BODY",
                   "Request body must be a JSON object");
    const S_HttpResult empty = client.request("POST", path, "");
    EXPECT_EQ(empty.status, 400u);
    EXPECT_EQ(empty.json["error"]["code"], "INVALID_REQUEST_JSON");
    EXPECT_EQ(client.request("POST", path, R"({"enabled":false})").json["data"]["enabled"], false);
    EXPECT_EQ(client.request("POST", path, R"({"enabled":true,"extra":1})").json["data"]["enabled"], true);
}

TEST(ApiAdapters, MissingRequestIsRejectedBeforeTheCallback)
{
    bool called = false;
    const auto reply = backend::invokeJsonHandler(
        "/api/v1/firmware/inspect", "FIRMWARE_INSPECTION_REJECTED",
        [&](const std::string&, std::string&, std::string&) { return called = true; }, nullptr);
    EXPECT_EQ(reply.status, 400u);
    EXPECT_THAT(reply.body, HasSubstr("\"Request body must not be empty\""));
    const auto abort = backend::invokeUpgradeAbortHandler(
        "/api/v1/upgrades/:upgradeNo/abort",
        [&](std::uint32_t, std::string&, std::string&) { return called = true; }, nullptr);
    EXPECT_THAT(abort.body,
                HasSubstr(R"("code":"INVALID_UPGRADE_NO","message":"Upgrade number is unavailable")"));
    const auto capture = backend::invokeFrameCaptureHandler(
        "/api/v1/devices/frames/capture", [&](bool, std::string&, std::string&) { return called = true; },
        nullptr);
    EXPECT_THAT(capture.body,
                HasSubstr(R"("code":"INVALID_REQUEST_BODY","message":"Request body is unavailable")"));
    EXPECT_FALSE(called);
}

TEST_F(ApiServerTest, RequestIdsGrowByOnePerRequestAcrossRoutesAndRejections)
{
    startServer();
    CTestHttpClient client(port);
    const std::int64_t before = currentUnixMs();
    std::vector<std::string> ids;
    for (const auto& [method, target] :
         std::vector<std::pair<std::string, std::string>>{{"GET", "/api/v1/health"},
                                                          {"GET", "/api/v1/missing"},
                                                          {"POST", "/api/v1/upgrades/0/abort"},
                                                          {"PUT", "/api/v1/health"},
                                                          {"POST", "/api/v1/firmware/inspect"},
                                                          {"GET", "/api/v1/devices/frames"}})
    {
        const S_HttpResult result = client.request(method, target);
        ASSERT_TRUE(result.received) << result.failure;
        ids.push_back(result.json["meta"]["requestId"]);
    }
    const std::int64_t after = currentUnixMs();
    for (std::size_t index = 0; index < ids.size(); ++index)
    {
        const std::string& id = ids[index];
        ASSERT_THAT(id, ::testing::MatchesRegex("ota-[0-9]+-[0-9]+"));
        const std::int64_t milliseconds = std::stoll(id.substr(4, id.rfind('-') - 4));
        EXPECT_GE(milliseconds, before);
        EXPECT_LE(milliseconds, after);
        if (index > 0)
        {
            EXPECT_EQ(sequenceOf(id), sequenceOf(ids[index - 1]) + 1) << id;
        }
    }
}

TEST_F(ApiServerTest, EveryRequestLogsOneHttpLineWithTheRoutePattern)
{
    callbacks.upgradeAbort = [](std::uint32_t, std::string&, std::string& error)
    {
        error = "No running upgrade";
        return false;
    };
    startServer();
    CTestHttpClient client(port);
    ::testing::internal::CaptureStdout();
    const std::string okId = client.request("GET", "/api/v1/health?x=1").json["meta"]["requestId"];
    const std::string refusedId =
        client.request("POST", "/api/v1/upgrades/12/abort").json["meta"]["requestId"];
    const std::string badId = client.request("POST", "/api/v1/upgrades/x/abort").json["meta"]["requestId"];
    const std::string missingId = client.request("GET", "/nowhere?q").json["meta"]["requestId"];
    const std::string output = ::testing::internal::GetCapturedStdout();

    EXPECT_THAT(output, HasSubstr("[HTTP] GET /api/v1/health -> 200 (requestId=" + okId + ")\n"));
    EXPECT_THAT(output, HasSubstr("[HTTP] POST /api/v1/upgrades/:upgradeNo/abort -> 409 (requestId=" +
                                  refusedId + ", No running upgrade)\n"));
    EXPECT_THAT(output, HasSubstr("[HTTP] POST /api/v1/upgrades/:upgradeNo/abort -> 400 (requestId=" + badId +
                                  ", Upgrade number must contain decimal digits only)\n"));
    EXPECT_THAT(output, HasSubstr("[HTTP] GET /nowhere -> 404 (requestId=" + missingId + ", "));
}

TEST_F(ApiServerTest, UnknownPathsAre404AndOtherMethodsAre405)
{
    startServer();
    CTestHttpClient client(port);
    for (const char* target :
         {"/api/v1/nope", "/api/v1/health/", "/", "/api/v1/upgrades/1/abort/x", "/API/V1/HEALTH"})
    {
        const S_HttpResult result = client.request("GET", target);
        EXPECT_EQ(result.status, 404u) << target;
        EXPECT_EQ(result.json["error"]["code"], "NOT_FOUND") << target;
        EXPECT_EQ(result.json["success"], false);
    }
    const std::tuple<const char*, const char*, const char*> wrongMethods[] = {
        {"POST", "/api/v1/health", "GET"},
        {"GET", "/api/v1/upgrades/5/abort", "POST"},
        {"DELETE", "/api/v1/upgrades/history", "GET"},
        {"HEAD", "/api/v1/workspace", "GET"},
        {"OPTIONS", "/api/v1/devices/reconnect", "POST"},
        {"POST", "/api/v1/events", "GET"}};
    for (const auto& [method, target, allow] : wrongMethods)
    {
        S_HttpResult result = client.request(method, target);
        if (std::string(method) == "HEAD")
        {
            // A HEAD answer has no body to read; its status and Allow header still tell.
            EXPECT_EQ(result.status, 405u);
            EXPECT_EQ(result.allow, allow);
            continue;
        }
        EXPECT_EQ(result.status, 405u) << method << " " << target;
        EXPECT_EQ(result.allow, allow) << target;
        EXPECT_EQ(result.json["error"]["code"], "METHOD_NOT_ALLOWED") << target;
    }
    const S_HttpResult plainGet = client.request("GET", "/api/v1/events");
    EXPECT_EQ(plainGet.status, 426u);
    EXPECT_EQ(plainGet.json["error"]["code"], "WEBSOCKET_UPGRADE_REQUIRED");
}

TEST_F(ApiServerTest, BodiesUpToSixteenMebibytesAreAcceptedAndLargerOnesAre413)
{
    constexpr std::size_t kLimit = 16u * 1024u * 1024u;
    // Parsing and writing 16 MiB of JSON takes most of a minute in a sanitizer build on a loaded
    // machine, so the server's read timeout and the client's bound leave room for several.
    constexpr std::chrono::minutes kLargeBodyBound{5};
    callbacks.firmwareInspect = [](const std::string& request, std::string& response, std::string&)
    {
        response = "{\"size\":" + std::to_string(request.size()) + "}";
        return true;
    };
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    options.requestTimeout = kLargeBodyBound;
    startServer(options);
    CTestHttpClient client(port, kLargeBodyBound);
    const std::string atLimit = "\"" + std::string(kLimit - 2, 'a') + "\"";
    const S_HttpResult accepted = client.request("POST", "/api/v1/firmware/inspect", atLimit);
    EXPECT_EQ(accepted.status, 200u) << accepted.failure;
    EXPECT_EQ(accepted.json["data"]["size"], kLimit);

    // The answer comes as soon as the header announces too much; the body need not follow.
    CTestHttpClient large(port);
    ASSERT_TRUE(
        large.sendRaw("POST /api/v1/firmware/inspect HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                      std::to_string(kLimit + 1) + "\r\n\r\n{"));
    const S_HttpResult tooLarge = large.readResponse();
    expectRejected(tooLarge, 413, "REQUEST_TOO_LARGE", "Request body exceeds 16777216 bytes");
    EXPECT_FALSE(tooLarge.keepAlive);
    EXPECT_TRUE(large.waitForServerClose());
}

TEST_F(ApiServerTest, MalformedRequestsAre400AndPipelinedRequestsAreAnsweredInOrder)
{
    startServer();
    CTestHttpClient malformed(port);
    ASSERT_TRUE(malformed.sendRaw("GET /api/v1/health HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n"));
    const S_HttpResult bad = malformed.readResponse();
    EXPECT_EQ(bad.status, 400u);
    EXPECT_EQ(bad.json["error"]["code"], "INVALID_HTTP_REQUEST");
    EXPECT_TRUE(malformed.waitForServerClose());

    CTestHttpClient pipelined(port);
    ASSERT_TRUE(
        pipelined.sendRaw("GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                          "GET /api/v1/workspace HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_EQ(pipelined.readResponse().json["data"]["route"], "health");
    EXPECT_EQ(pipelined.readResponse().json["data"]["route"], "workspace");
}

TEST_F(ApiServerTest, ForeignHostHeadersAndOriginsAre403)
{
    std::atomic<int> clears{0};
    callbacks.upgradeHistoryClear = [&](std::string& response, std::string&)
    {
        ++clears;
        response = "{}";
        return true;
    };
    startServer();
    CTestHttpClient client(port);
    const std::string hostMessage = "Host header must name a loopback host (127.0.0.1, [::1] or localhost)";
    const std::string originMessage = "Origin must be a loopback origin (127.0.0.1, [::1] or localhost)";
    for (const char* host : {"evil.example", "127.0.0.1.evil.example", "evil.example:8080", "127.0.0.2", ""})
    {
        expectRejected(client.request("POST", "/api/v1/upgrades/history/clear", "", {{"Host", host}}), 403,
                       "FORBIDDEN_HOST", hostMessage);
    }
    for (const char* origin : {"http://evil.example", "null", "http://localhost.evil.example", "file://"})
    {
        expectRejected(client.request("POST", "/api/v1/upgrades/history/clear", "", {{"Origin", origin}}),
                       403, "FORBIDDEN_ORIGIN", originMessage);
    }
    expectRejected(client.request("GET", "/api/v1/unknown", "", {{"Host", "evil.example"}}), 403,
                   "FORBIDDEN_HOST", hostMessage);
    EXPECT_EQ(clears.load(), 0);

    for (const char* host : {"localhost:5173", "LOCALHOST", "[::1]:8080", "127.0.0.1"})
    {
        EXPECT_EQ(client
                      .request("POST", "/api/v1/upgrades/history/clear", "",
                               {{"Host", host}, {"Origin", "http://localhost:5173"}})
                      .status,
                  200u)
            << host;
    }
    EXPECT_EQ(
        client.request("POST", "/api/v1/upgrades/history/clear", "", {{"Origin", "https://[::1]"}}).status,
        200u);
    EXPECT_EQ(clears.load(), 5);
}

TEST_F(ApiServerTest, IdleAndStalledConnectionsAreClosedWhileOthersAreServed)
{
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    options.requestTimeout = std::chrono::milliseconds(300);
    startServer(options);
    CTestHttpClient idle(port);
    CTestHttpClient stalled(port);
    ASSERT_TRUE(idle.connect());
    ASSERT_TRUE(stalled.sendRaw("GET /api/v1/health HTTP/1.1\r\nHost: 127.0.0.1\r\n"));

    CTestHttpClient active(port);
    EXPECT_EQ(active.request("GET", "/api/v1/health").status, 200u);
    EXPECT_TRUE(idle.waitForServerClose());
    EXPECT_TRUE(stalled.waitForServerClose());
}

TEST_F(ApiServerTest, ConnectionsBeyondTheLimitAreClosedAtOnce)
{
    backend::S_HttpApiServerOptions options = ephemeralPortOptions();
    options.maxConnections = 2;
    startServer(options);
    auto first = std::make_unique<CTestHttpClient>(port);
    CTestHttpClient second(port);
    ASSERT_EQ(first->request("GET", "/api/v1/health").status, 200u);
    ASSERT_EQ(second.request("GET", "/api/v1/health").status, 200u);

    CTestHttpClient third(port);
    ASSERT_TRUE(third.connect());
    EXPECT_TRUE(third.waitForServerClose());

    first.reset();
    EXPECT_TRUE(
        waitUntil([&] { return CTestHttpClient(port).request("GET", "/api/v1/health").status == 200u; }));
}

TEST_F(ApiServerTest, ConcurrentStopsBothReturnOnlyOnceTheServerIsStopped)
{
    startServer();
    CTestHttpClient keepAlive(port);
    ASSERT_EQ(keepAlive.request("GET", "/api/v1/health").status, 200u);

    ::testing::internal::CaptureStdout();
    std::atomic<int> stoppedWhenReturned{0};
    const auto stopAndCheck = [&]
    {
        server->stop();
        if (server->boundPort() == 0 && !server->publishEvent("device.status", "{}") &&
            !CTestHttpClient(port, std::chrono::seconds(5)).connect())
        {
            ++stoppedWhenReturned;
        }
    };
    std::thread first(stopAndCheck);
    std::thread second(stopAndCheck);
    first.join();
    second.join();
    server->stop();
    const std::string output = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(stoppedWhenReturned.load(), 2);
    const auto count = [&output](const std::string& line)
    {
        std::size_t found = 0;
        for (std::size_t at = output.find(line); at != std::string::npos; at = output.find(line, at + 1))
        {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count("[HTTP/WebSocket] Stopping local API server\n"), 1u);
    EXPECT_EQ(count("[HTTP/WebSocket] Local API server stopped\n"), 1u);
    EXPECT_TRUE(keepAlive.waitForServerClose());

    std::string error;
    ASSERT_TRUE(server->start("127.0.0.1", 0, echoCallbacks(), error)) << error;
    EXPECT_EQ(CTestHttpClient(server->boundPort()).request("GET", "/api/v1/health").status, 200u);
}

TEST_F(ApiServerTest, StartAndStopPrintTheirLines)
{
    ::testing::internal::CaptureStdout();
    CHttpApiServer local(ephemeralPortOptions());
    std::string error;
    ASSERT_TRUE(local.start("127.0.0.1", 0, echoCallbacks(), error));
    local.stop();
    const std::string output = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(output, HasSubstr("[HTTP/WebSocket] Starting local API server at http://127.0.0.1:0 and "
                                  "ws://127.0.0.1:0/api/v1/events with 2 worker threads\n"
                                  "[HTTP/WebSocket] Local API server started successfully\n"
                                  "[HTTP/WebSocket] Stopping local API server\n"
                                  "[HTTP/WebSocket] Local API server stopped\n"));
}

}  // namespace
}  // namespace ota::test
