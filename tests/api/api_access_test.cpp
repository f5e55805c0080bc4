// Operator access control through the real server: every route without a token, with a wrong
// one, with the right one by header and by session cookie; the event stream; login and logout;
// the failed-attempt limit. And the parts of it that are plain functions.
#include "api/access_control.h"
#include "api/api_test_client.h"
#include "api/api_test_fixture.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <map>

namespace ota::test
{
namespace
{

using backend::CApiAccessControl;
using backend::E_AccessVerdict;
using backend::S_RequestCredentials;
using nlohmann::json;

const std::string kToken = "site-token_0123456789abcdefghijklmnopqrstuvwxyz";

struct S_Route
{
    const char* method;
    const char* target;
    const char* body;
    unsigned successStatus;
};

// Every route the server serves with access control, but the two that need none.
const S_Route kProtectedRoutes[] = {
    {"GET", "/api/v1/system/capacity", "", 200},
    {"GET", "/api/v1/workspace", "", 200},
    {"POST", "/api/v1/scene/reload", "", 200},
    {"POST", "/api/v1/firmware/inspect", "{}", 200},
    {"POST", "/api/v1/upgrades/preview", "{}", 200},
    {"POST", "/api/v1/upgrades/start", "", 202},
    {"POST", "/api/v1/upgrades/42/abort", "", 202},
    {"GET", "/api/v1/upgrades/current", "", 200},
    {"GET", "/api/v1/upgrades/history", "", 200},
    {"POST", "/api/v1/upgrades/history/clear", "", 200},
    {"GET", "/api/v1/devices/status", "", 200},
    {"GET", "/api/v1/devices/frames", "", 200},
    {"POST", "/api/v1/devices/frames/capture", R"({"enabled":true})", 200},
    {"POST", "/api/v1/devices/status-query", "", 202},
    {"POST", "/api/v1/devices/reconnect", "", 202},
    {"GET", "/api/v1/audit", "", 200},
    {"POST", "/api/v1/session/logout", "", 200},
};

HeaderList bearer(const std::string& token)
{
    return {{"Authorization", "Bearer " + token}};
}

class ApiAccessTest : public ApiServerTest
{
protected:
    void SetUp() override
    {
        // A clock the test moves, so that the failed-attempt window can pass without waiting.
        access = std::make_shared<CApiAccessControl>(
            kToken, [this]
            { return std::chrono::steady_clock::time_point{} + std::chrono::seconds(clockSeconds.load()); });
        callbacks.accessControl = access;
        callbacks.auditList = [this](std::uint32_t, std::int64_t, std::string& response, std::string&)
        {
            ++callbackRuns;
            response = R"({"entries":[],"nextBefore":0})";
            return true;
        };
        // Every callback counts its runs, so a refusal can be shown to have run nothing.
        const auto counted = [this](backend::JsonHandler inner) -> backend::JsonHandler
        {
            return [this, inner](std::string& response, std::string& error)
            {
                ++callbackRuns;
                return inner(response, error);
            };
        };
        callbacks.workspace = counted(callbacks.workspace);
        callbacks.upgradeStart = counted(callbacks.upgradeStart);
        callbacks.deviceReconnect = counted(callbacks.deviceReconnect);
        startServer();
    }

    // Logs in and returns the Cookie header value of the new session.
    std::string login(CTestHttpClient& client)
    {
        const S_HttpResult result = client.request("POST", "/api/v1/session", json{{"token", kToken}}.dump(),
                                                   {{"Content-Type", "application/json"}});
        EXPECT_EQ(result.status, 200u) << result.body;
        EXPECT_EQ(result.json["data"], (json{{"authenticated", true}}));
        const std::string cookie = result.header("Set-Cookie");
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
        EXPECT_NE(cookie.find("Path=/"), std::string::npos) << cookie;
        EXPECT_EQ(cookie.find(kToken), std::string::npos) << "the cookie never holds the token";
        return cookie.substr(0, cookie.find(';'));
    }

    static void expectRefused(const S_HttpResult& result, unsigned status, const std::string& code,
                              const std::string& message, const std::string& label)
    {
        EXPECT_EQ(result.status, status) << label << ": " << result.body;
        EXPECT_EQ(result.json["success"], false) << label;
        EXPECT_EQ(result.json["error"]["code"], code) << label;
        EXPECT_EQ(result.json["error"]["message"], message) << label;
        EXPECT_TRUE(result.json["meta"]["requestId"].is_string()) << label;
    }

    std::shared_ptr<CApiAccessControl> access;
    std::atomic<int> callbackRuns{0};
    std::atomic<std::int64_t> clockSeconds{1000};
};

TEST_F(ApiAccessTest, EveryRouteNeedsTheTokenByHeaderOrASessionCookie)
{
    CTestHttpClient client(port);
    const std::string cookie = login(client);
    for (const S_Route& route : kProtectedRoutes)
    {
        const std::string label = std::string(route.method) + " " + route.target;
        const int runsBefore = callbackRuns.load();
        expectRefused(client.request(route.method, route.target, route.body), 401, "UNAUTHORIZED",
                      "Authentication required", label + " without a token");
        expectRefused(client.request(route.method, route.target, route.body, bearer(kToken + "x")), 401,
                      "UNAUTHORIZED", "Access token is not valid", label + " with a wrong token");
        expectRefused(
            client.request(route.method, route.target, route.body, {{"Cookie", "ota_session=0123"}}), 401,
            "UNAUTHORIZED", "Access token is not valid", label + " with an unknown session");
        expectRefused(
            client.request(route.method, route.target, route.body, {{"Authorization", "Basic dXNlcjpwdw=="}}),
            401, "UNAUTHORIZED", "Access token is not valid", label + " with another scheme");
        EXPECT_EQ(callbackRuns.load(), runsBefore) << label << ": a refused request runs nothing";
        if (std::string(route.target) == "/api/v1/session/logout")
        {
            continue;  // answered last, as it ends the session
        }
        EXPECT_EQ(client.request(route.method, route.target, route.body, bearer(kToken)).status,
                  route.successStatus)
            << label << " by header";
        EXPECT_EQ(
            client.request(route.method, route.target, route.body, {{"Cookie", "theme=dark; " + cookie}})
                .status,
            route.successStatus)
            << label << " by cookie";
        // Four wrong attempts per route: the window passes so the limit never interferes here.
        clockSeconds += 61;
    }

    // Health and the console's files need no token.
    EXPECT_EQ(client.request("GET", "/api/v1/health").status, 200u);
    // Paths no route takes are refused like routes, so that the route table does not leak.
    expectRefused(client.request("GET", "/api/v1/no-such-route"), 401, "UNAUTHORIZED",
                  "Authentication required", "unknown path");
    expectRefused(client.request("GET", "/metrics"), 401, "UNAUTHORIZED", "Authentication required",
                  "/metrics");
}

TEST_F(ApiAccessTest, LoginOpensASessionThatLogoutEnds)
{
    CTestHttpClient client(port);
    expectRefused(client.request("POST", "/api/v1/session", json{{"token", "wrong-" + kToken}}.dump()), 401,
                  "UNAUTHORIZED", "Access token is not valid", "wrong token");
    expectRefused(client.request("POST", "/api/v1/session", json{{"token", kToken}, {"user", "x"}}.dump()),
                  400, "INVALID_REQUEST_BODY", "Request body must be exactly {\"token\": \"<token>\"}",
                  "extra member");
    EXPECT_EQ(client.request("POST", "/api/v1/session", "{tok").json["error"]["code"],
              "INVALID_REQUEST_JSON");
    EXPECT_EQ(client.request("POST", "/api/v1/session", json{{"token", 5}}.dump()).status, 400u);
    EXPECT_EQ(access->sessionCount(), 0u);

    const std::string first = login(client);
    const std::string second = login(client);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.size(), std::string("ota_session=").size() + 64) << "256 random bits, hexadecimal";
    EXPECT_EQ(access->sessionCount(), 2u);

    const S_HttpResult logout = client.request("POST", "/api/v1/session/logout", "", {{"Cookie", first}});
    EXPECT_EQ(logout.status, 200u) << logout.body;
    EXPECT_EQ(logout.json["data"], (json{{"authenticated", false}}));
    EXPECT_NE(logout.header("Set-Cookie").find("Max-Age=0"), std::string::npos);
    expectRefused(client.request("GET", "/api/v1/workspace", "", {{"Cookie", first}}), 401, "UNAUTHORIZED",
                  "Access token is not valid", "ended session");
    EXPECT_EQ(client.request("GET", "/api/v1/workspace", "", {{"Cookie", second}}).status, 200u)
        << "the other session goes on";
}

TEST_F(ApiAccessTest, TheEventStreamNeedsTheTokenBeforeItsUpgrade)
{
    CTestEventClient anonymous(port);
    EXPECT_FALSE(anonymous.connect());
    EXPECT_EQ(anonymous.handshakeStatus(), 401u);
    CTestEventClient wrong(port);
    EXPECT_FALSE(wrong.connect("/api/v1/events", bearer("x" + kToken)));
    EXPECT_EQ(wrong.handshakeStatus(), 401u);
    EXPECT_EQ(server->eventClientCount(), 0u);

    CTestEventClient byHeader(port);
    EXPECT_TRUE(byHeader.connect("/api/v1/events", bearer(kToken))) << byHeader.failure();
    CTestHttpClient client(port);
    CTestEventClient byCookie(port);
    EXPECT_TRUE(byCookie.connect("/api/v1/events", {{"Cookie", login(client)}})) << byCookie.failure();
    EXPECT_TRUE(waitUntil([&] { return server->eventClientCount() == 2; }));
    ASSERT_TRUE(server->publishEvent("device.status", R"({"n":1})"));
    json event;
    EXPECT_TRUE(byHeader.read(event));
    EXPECT_TRUE(byCookie.read(event));
}

// A stream opened with a session ends with 1008 when that session ends, by logout or by expiry;
// streams of other sessions and of the token go on.
TEST_F(ApiAccessTest, EventStreamsEndWithTheSessionTheyWereOpenedWith)
{
    CTestHttpClient client(port);
    const std::string loggedOut = login(client);
    const std::string expiring = login(client);
    const std::string kept = login(client);
    std::map<std::string, std::unique_ptr<CTestEventClient>> streams;
    const std::vector<std::pair<std::string, HeaderList>> opened = {
        {"logged out", {{"Cookie", loggedOut}}},
        {"expiring", {{"Cookie", expiring}}},
        {"kept alive", {{"Cookie", kept}}},
        {"token", bearer(kToken)},
        {"token and the logged-out session", {{"Cookie", loggedOut}, {"Authorization", "Bearer " + kToken}}},
    };
    for (const auto& [name, headers] : opened)
    {
        streams[name] = std::make_unique<CTestEventClient>(port);
        ASSERT_TRUE(streams[name]->connect("/api/v1/events", headers)) << name << streams[name]->failure();
    }
    ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == opened.size(); }));

    const auto expectEnded = [&](const std::string& name)
    {
        EXPECT_TRUE(streams[name]->waitForServerClose()) << name;
        EXPECT_EQ(streams[name]->closeCode(), 1008u) << name;
        streams.erase(name);
    };
    const auto expectOpen = [&]
    {
        ASSERT_TRUE(waitUntil([&] { return server->eventClientCount() == streams.size(); }));
        ASSERT_TRUE(server->publishEvent("device.status", R"({"n":1})"));
        for (const auto& [name, stream] : streams)
        {
            json event;
            EXPECT_TRUE(stream->read(event)) << name << " " << stream->failure();
        }
    };

    ASSERT_EQ(client.request("POST", "/api/v1/session/logout", "", {{"Cookie", loggedOut}}).status, 200u);
    expectEnded("logged out");
    expectOpen();

    // Seven idle hours in, a request keeps one session alive; an hour later the other has expired.
    clockSeconds += 7 * 3600;
    ASSERT_EQ(client.request("GET", "/api/v1/workspace", "", {{"Cookie", kept}}).status, 200u);
    clockSeconds += 3600;
    expectEnded("expiring");
    expectOpen();
}

// Beyond twenty failed attempts within a minute every further one is 429, while the right token
// and a live session keep working; requests that send nothing are not attempts.
TEST_F(ApiAccessTest, FailedAttemptsBeyondTheLimitAre429WhileValidCredentialsWork)
{
    CTestHttpClient client(port);
    const std::string cookie = login(client);
    for (int index = 0; index < 30; ++index)
    {
        EXPECT_EQ(client.request("GET", "/api/v1/workspace").status, 401u) << "no credential: not an attempt";
    }
    for (int attempt = 1; attempt <= 20; ++attempt)
    {
        const HeaderList headers = attempt % 2 == 0
                                       ? bearer("wrong" + std::to_string(attempt))
                                       : HeaderList{{"Cookie", "ota_session=bad" + std::to_string(attempt)}};
        EXPECT_EQ(client.request("GET", "/api/v1/workspace", "", headers).status, 401u) << attempt;
    }
    expectRefused(client.request("GET", "/api/v1/workspace", "", bearer("wrong21")), 429, "TOO_MANY_ATTEMPTS",
                  "Too many failed authentication attempts; try again later", "21st wrong token");
    expectRefused(client.request("POST", "/api/v1/session", json{{"token", "wrong22"}}.dump()), 429,
                  "TOO_MANY_ATTEMPTS", "Too many failed authentication attempts; try again later",
                  "failed login");
    EXPECT_EQ(client.request("GET", "/api/v1/workspace", "", bearer(kToken)).status, 200u);
    EXPECT_EQ(client.request("GET", "/api/v1/workspace", "", {{"Cookie", cookie}}).status, 200u);
    EXPECT_EQ(client.request("POST", "/api/v1/session", json{{"token", kToken}}.dump()).status, 200u);
}

TEST(AccessControl, SessionsEndAfterEightIdleHoursAndTheWindowForgetsOldFailures)
{
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(100);
    CApiAccessControl access(kToken, [&now] { return now; });
    std::string sessionId;
    ASSERT_EQ(access.login(kToken, sessionId), E_AccessVerdict::GRANTED);
    const std::string cookie = "ota_session=" + sessionId;
    const S_RequestCredentials withCookie{{}, {cookie}};

    now += std::chrono::hours(7);
    EXPECT_EQ(access.check(withCookie), E_AccessVerdict::GRANTED) << "use keeps it alive";
    now += std::chrono::hours(7);
    EXPECT_TRUE(access.wouldGrant(withCookie));
    now += std::chrono::hours(1) + std::chrono::seconds(1);
    EXPECT_FALSE(access.wouldGrant(withCookie)) << "wouldGrant kept nothing alive: 8 h since the last use";
    EXPECT_EQ(access.check(withCookie), E_AccessVerdict::INVALID) << "an ended session is a failed attempt";
    EXPECT_EQ(access.sessionCount(), 0u);

    for (int attempt = 1; attempt < 20; ++attempt)
    {
        EXPECT_EQ(access.check(S_RequestCredentials{{"Bearer nope"}, {}}), E_AccessVerdict::INVALID)
            << attempt;
    }
    EXPECT_EQ(access.check(S_RequestCredentials{{"Bearer nope"}, {}}), E_AccessVerdict::LIMITED);
    now += std::chrono::seconds(61);
    EXPECT_EQ(access.check(S_RequestCredentials{{"Bearer nope"}, {}}), E_AccessVerdict::INVALID)
        << "failures older than a minute no longer count";
    EXPECT_EQ(access.check(S_RequestCredentials{{}, {}}), E_AccessVerdict::MISSING);
}

TEST(AccessControl, CredentialsAreReadFromTheirHeadersAsBrowsersAndToolsSendThem)
{
    EXPECT_EQ(backend::bearerToken("Bearer abc"), "abc");
    EXPECT_EQ(backend::bearerToken("bearer   abc  "), "abc");
    EXPECT_EQ(backend::bearerToken("BEARER abc"), "abc");
    EXPECT_EQ(backend::bearerToken("Bearerabc"), "");
    EXPECT_EQ(backend::bearerToken("Basic abc"), "");
    EXPECT_EQ(backend::bearerToken("Bearer"), "");
    EXPECT_EQ(backend::cookieValues({"a=1; ota_session=xyz; b=2", "ota_session=\"q\""}, "ota_session"),
              (std::vector<std::string_view>{"xyz", "q"}));
    EXPECT_EQ(backend::cookieValues({"ota_sessionx=1;;=;ota_session"}, "ota_session"),
              std::vector<std::string_view>{});
    EXPECT_EQ(backend::cookieValues({}, "ota_session"), std::vector<std::string_view>{});

    CApiAccessControl access(kToken);
    EXPECT_EQ(access.check(S_RequestCredentials{{"Bearer " + kToken.substr(0, 10)}, {}}),
              E_AccessVerdict::INVALID)
        << "a prefix of the token is a wrong token";
    EXPECT_EQ(access.check(S_RequestCredentials{{"Bearer " + kToken + " "}, {}}), E_AccessVerdict::GRANTED);
    std::string sessionId;
    EXPECT_EQ(access.login(kToken + "\n", sessionId), E_AccessVerdict::INVALID);
    EXPECT_TRUE(sessionId.empty());
}

}  // namespace
}  // namespace ota::test
